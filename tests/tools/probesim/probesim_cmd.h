// Probe simulator: the probe firmware's command bridge (FPGA register port, configuration port,
// EEPROM) and the control functions tests use to inspect it.
//
// The bridge answers the vendor requests 0xC0, 0xC1, 0xC2, 0xC3, 0xC6 and 0xC8 to 0xCB of a
// probe whose firmware runs; every other request (and each of these in the wrong direction)
// stalls, and so does every one of them while the probe's firmware does not run.
//
// Scenario keys of a [probe] (numbers take 0x for hex):
//   firmware_running = 1     start as if the firmware had been downloaded (default 0)
//   id_text1, id_text2       texts of requests 0xC0 and 0xC1 (up to 63 characters)
//   fpga_id                  the 16-byte text of FPGA register 1
//   serial                   serial text stored at EEPROM 0xE0 (up to 16 characters)
//   eeprom_checksum          32-bit value stored at EEPROM 0xF0, least significant byte first
//                            (default 0xFFFFFFFF, a blank EEPROM; the rest of the EEPROM is 0xFF)
//   fea_bits                 feature bits of the configuration port (default 0)
//   cfg_idcode, cfg_status, cfg_trace   what the ID, status and trace reads answer (default 0)
//   cfg_busy_polls = N       busy polls answered "busy" after erase, initAddr, done, disable and a
//                            feature-bit write (default 2)
//   cfg_stuck_busy = 1       the configuration port never leaves busy
//   cfg_fail_row = N         the N-th row command after an erase (0-based) stalls
// Faults (ERROR or ERROR*N, as the core model's fail_ keys):
//   fail_req_<xx>            request 0x<xx> (lower-case hex), e.g. fail_req_c1 = TIMEOUT
//   fail_fpga_write, fail_fpga_read     writes (0xC9, 0xCA) and reads (0xC8) of the register port
//   fail_eeprom_read         EEPROM reads (0xCA, 0xC8); fail_eeprom_write: EEPROM writes (0xC9)
//   fail_cfg_write           every command to the configuration port
// Register 4 of the FPGA port: 0x24 then 1 connects the pass-through link, 0x20 then 1
// disconnects it, 2 starts a capture; each logs an "event fpga_..." line. The EEPROM and the
// configuration memory keep their contents across unplugging; the rest starts afresh.
#pragma once

#include <cstddef>

extern "C" {
/// One value of device id's bridge state, or -1 for an unknown device or name. Names:
///   "leds"            last LED bits (-1 before any 0xC6)
///   "fifo_clears", "fpga_resets"       counts of 0xC2 and 0xC3
///   "fpga_connected"  1 after register 4 got 0x24 then 1, 0 after 0x20 then 1
///   "fpga_captures"   times register 4 got 2
///   "cfg_rows"        configuration rows received since the last erase
///   "cfg_rows_total"  configuration rows received since the scenario was loaded
///   "cfg_erases", "cfg_init_addrs", "cfg_dones", "cfg_refreshes", "cfg_disables",
///   "cfg_bypasses", "cfg_enables", "cfg_fea_writes", "cfg_busy_polls"    command counts
///   "cfg_fea_bits"    feature bits now
///   "cfg_commands"    every command the configuration port received
long probesim_cmd_state(int id, const char* name);
/// Copies up to len bytes of device id's EEPROM (256 bytes) into buf; returns the bytes copied,
/// or -1 for an unknown device.
long probesim_cmd_eeprom(int id, unsigned char* buf, size_t len);
/// Copies up to len bytes of the configuration rows received since the last erase into buf
/// (16 bytes per row, in order); returns the bytes copied, or -1 for an unknown device.
long probesim_cmd_rows(int id, unsigned char* buf, size_t len);
}

// Configuration image of the probe's FPGA, filled from the row file chosen at configure time.
#include "kvxo2dat.h"

// Generated: KV_XO2_CHECKSUM, the checksum that goes with the row file.
#include "kvxo2dat_checksum.h"

// The rows come from the row file chosen at configure time (KV_FPGA_IMAGE); the trailing zero
// is never sent.
const uint8_t fpgaConfigData[] = {
#include "kvxo2dat_rows.inc"
    0x00};

static_assert(sizeof(fpgaConfigData) > 1 && (sizeof(fpgaConfigData) - 1) % FPGA_ROW_SIZE == 0,
              "the FPGA row file must hold whole 16-byte rows");

const uint32_t fpgaConfigNumFrames = (sizeof(fpgaConfigData) - 1) / FPGA_ROW_SIZE;
const uint32_t fpgaConfigChecksum = KV_XO2_CHECKSUM;

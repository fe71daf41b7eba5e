// Configuration image of the probe's FPGA: 16-byte configuration rows and the checksum naming them.
#pragma once

#include <cstddef>
#include <cstdint>

/// Bytes per configuration row.
constexpr size_t FPGA_ROW_SIZE = 16;

/// The rows back to back, followed by one zero byte that is never sent.
extern const uint8_t fpgaConfigData[];
/// Number of rows in fpgaConfigData.
extern const uint32_t fpgaConfigNumFrames;
/// Identifies this image; stored in the probe's EEPROM after it has been programmed.
extern const uint32_t fpgaConfigChecksum;

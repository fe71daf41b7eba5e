// The probe's FX2 firmware image: firmware records (count, address high, address low, data).
#include "kvfx2bin.h"

// The records come from the firmware file chosen at configure time (KV_FX2_FIRMWARE); the
// trailing zero is never sent.
const uint8_t fxprog[] = {
#include "kvfx2bin_data.inc"
    0x00};

size_t fxprogLength() {
  return sizeof(fxprog) - 1;
}

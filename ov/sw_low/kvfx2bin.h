// The probe's FX2 firmware image: firmware records (count, address high, address low, data).
#pragma once

#include <cstddef>
#include <cstdint>

/// The image, generated at build time; one zero byte longer than fxprogLength().
extern const uint8_t fxprog[];

/// Number of bytes of fxprog that are records (the trailing zero is never sent).
size_t fxprogLength();

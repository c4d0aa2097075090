#include "fused/samples.h"

#include "fused/reader.h"
#include "wire/deserializer.h"

namespace vorlane::fused {

// The plain reader: the portable path's, and the one every run ends with.
bool read_samples_portable(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                           uint16_t* out, uint16_t* out_end, size_t& text,
                           WireError& error) noexcept {
  text = 0;
  return read_samples<packed_groups>(base, p, end, out, out_end, text, error);
}

void split_samples_portable(const uint16_t* wire, size_t count, int16_t* x, int16_t* y,
                            int16_t* z) noexcept {
  for (size_t i = 0; i < count; ++i, wire += 3) {
    x[i] = wire::zigzag_decode(wire[0]);
    y[i] = wire::zigzag_decode(wire[1]);
    z[i] = wire::zigzag_decode(wire[2]);
  }
}

}  // namespace vorlane::fused

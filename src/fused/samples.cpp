#include "fused/samples.h"

#include "fused/reader.h"

namespace vorlane::fused {

// The plain reader: the portable path's, and the one every run ends with.
bool read_samples_portable(const uint8_t* base, const uint8_t*& p, const uint8_t* end,
                           uint16_t* out, uint16_t* out_end, size_t& text,
                           WireError& error) noexcept {
  text = 0;
  return read_samples<packed_groups>(base, p, end, out, out_end, text, error);
}

}  // namespace vorlane::fused

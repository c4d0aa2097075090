// Base64 decoding alone. Checks, for any text: the decoder agrees with the
// plain one-byte-at-a-time decoder (bytes, or the exact fault with its
// offset); decoding twice gives the same result; an accepted text is
// canonical (it re-encodes to itself) and fits the capacity rule; a fault's
// text is one of the documented forms; every Base64 path this CPU has gives
// the same, plain and in the filled form.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "accel/errors.h"
#include "base64/base64.h"
#include "base64_reference.h"
#include "cpu_paths.h"
#include "checks.h"
#include "slow_base64.h"
#include "debug_text.h"

using namespace vorlane;

namespace {
const auto kKernels = testing::base64_kernels();
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto first = testing::base64_decode(text);
  auto second = testing::base64_decode(text);
  const fuzz::SlowBase64 slow = fuzz::slow_base64_decode(text);

  FUZZ_CHECK(first.ok() == second.ok(), "decoding is not deterministic");
  FUZZ_CHECK(first.ok() == slow.ok, first.ok() ? "accepted a text the plain decoder refuses: " +
                                                     accel::debug_text(slow.error)
                                               : "refused a valid text: " +
                                                     accel::debug_text(first.error()));
  if (!first.ok()) {
    const std::string shown = accel::debug_text(first.error());
    FUZZ_CHECK(first.error() == second.error(), "error is not deterministic: " + shown);
    FUZZ_CHECK(first.error() == slow.error,
               "fault differs: " + shown + " vs " + accel::debug_text(slow.error));
    FUZZ_CHECK(fuzz::well_formed_base64_error(shown, text), "bad error text: " + shown);
  }
  // Every block decoder this CPU has, not only the one the chooser takes:
  // the same bytes, or the same fault.
  std::string out(base64::decoded_capacity(size), '\0');
  for (const auto& [path, kernel] : kKernels) {
    const std::string name = "path " + std::string(path) + ": ";
    auto got = base64::decode_into(text, reinterpret_cast<uint8_t*>(out.data()), *kernel);
    FUZZ_CHECK(got.ok() == slow.ok, name + "accepts where the plain decoder refuses, or not");
    if (!got.ok()) {
      FUZZ_CHECK(got.error() == slow.error, name + "fault differs: " + accel::debug_text(got.error()));
    } else {
      FUZZ_CHECK(std::string_view(out.data(), got.value()) ==
                     std::string_view(reinterpret_cast<const char*>(slow.bytes.data()), slow.bytes.size()),
                 name + "bytes differ from the plain decoder");
    }
    // The filled form the fused path takes, in a buffer of exactly its
    // room: the same bytes or fault, then the fill.
    std::vector<uint8_t> filled(base64::filled_capacity(size));
    auto put = base64::decode_into_filled(text, filled.data(), 0x80, *kernel);
    FUZZ_CHECK(put.ok() == slow.ok, name + "filled: accepts where the plain decoder refuses, or not");
    if (!put.ok()) {
      FUZZ_CHECK(put.error() == slow.error, name + "filled: fault differs");
    } else {
      FUZZ_CHECK(put.value() == slow.bytes.size() &&
                     (slow.bytes.empty() ||
                      std::memcmp(filled.data(), slow.bytes.data(), slow.bytes.size()) == 0),
                 name + "filled: bytes differ from the plain decoder");
      for (size_t i = 0; i < base64::kFillBytes; ++i) {
        FUZZ_CHECK(filled[put.value() + i] == 0x80, name + "filled: no fill after the bytes");
      }
    }
  }
  if (!first.ok()) return 0;
  const testing::ByteBuffer& bytes = first.value();
  FUZZ_CHECK(bytes.size <= base64::decoded_capacity(size), "decoded past the capacity rule");
  FUZZ_CHECK(bytes.size == second.value().size &&
                 (bytes.size == 0 ||
                  std::memcmp(bytes.data.get(), second.value().data.get(), bytes.size) == 0),
             "bytes are not deterministic");
  FUZZ_CHECK(bytes.size == slow.bytes.size() &&
                 (bytes.size == 0 || std::memcmp(bytes.data.get(), slow.bytes.data(), bytes.size) == 0),
             "bytes differ from the plain decoder");
  FUZZ_CHECK(fuzz::encode_base64(bytes.data.get(), bytes.size) == text,
             "accepted a text that is not canonical");
  return 0;
}

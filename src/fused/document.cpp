#include "fused/document.h"

#include <cstring>

#include "base64/base64.h"
#include "common/bits.h"
#include "fused/exact.h"
#include "fused/tables.h"
#include "fused/text.h"
#include "fused/writer.h"

namespace vorlane::fused {
namespace {

using accel::Error;

// Writes the text of the wire value `u`; stores eight bytes, so at least
// eight must be writable.
inline char* put_value(char* out, uint16_t u) noexcept {
  const uint64_t entry = value_entry(u);
  std::memcpy(out, &entry, 8);
  return out + (entry >> 56);
}

// Exactly the text of the wire value `u`, for the end of the document where
// no wide store fits: two stores that overlap cover one to six bytes.
inline char* put_value_exact(char* out, uint16_t u) noexcept {
  const uint64_t text = value_entry(u);
  const size_t n = text >> 56;
  if (n >= 4) {
    const auto first = static_cast<uint32_t>(text);
    const auto last = static_cast<uint32_t>(text >> (8 * (n - 4)));
    std::memcpy(out, &first, 4);
    std::memcpy(out + n - 4, &last, 4);
  } else if (n >= 2) {
    const auto first = static_cast<uint16_t>(text);
    const auto last = static_cast<uint16_t>(text >> (8 * (n - 2)));
    std::memcpy(out, &first, 2);
    std::memcpy(out + n - 2, &last, 2);
  } else {
    out[0] = static_cast<char>(text);
  }
  return out + n;
}

template <size_t N>
inline char* put_fragment(char* out, std::string_view text) noexcept {
  std::memcpy(out, text.data(), N);
  return out + N;
}

inline char* put_sample_exact(char* out, const uint16_t* s, bool first) noexcept {
  const uint16_t x = s[0], y = s[1], z = s[2];
  out = first ? put_fragment<kFirstX.size()>(out, kFirstX)
              : put_fragment<kNextX.size()>(out, kNextX);
  out = put_value_exact(out, x);
  out = put_fragment<kY.size()>(out, kY);
  out = put_value_exact(out, y);
  out = put_fragment<kZ.size()>(out, kZ);
  return put_value_exact(out, z);
}

// Samples from which write takes the path's writer: the first and last
// samples and one of its blocks.
constexpr size_t kLongRun = kCheckedBlock + 2;


inline char* put_sample(char* out, const uint16_t* s, bool first) noexcept {
  // Read before writing: stores through char* could alias the samples, and
  // would otherwise hold each load back behind them.
  const uint16_t x = s[0], y = s[1], z = s[2];
  out = first ? put8(out, pack8(kFirstX), kFirstX.size()) : put8(out, pack8(kNextX), kNextX.size());
  out = put_value(out, x);
  out = put8(out, pack8(kY), kY.size());
  out = put_value(out, y);
  out = put8(out, pack8(kZ), kZ.size());
  return put_value(out, z);
}

// The exact text of one sample at the end of the document, where no wide
// store fits.
inline size_t exact_sample_length(const uint16_t* s, bool first) noexcept {
  return (first ? kFirstX.size() : kNextX.size()) + kY.size() + kZ.size() + value_length(s[0]) +
         value_length(s[1]) + value_length(s[2]);
}

// `text` if it fits before `end`; where it does not, nothing, and the
// caller sees a short write.
inline char* put_checked(char* out, const char* end, std::string_view text) noexcept {
  if (static_cast<size_t>(end - out) < text.size()) return out;
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

// The last sample and the end of the frame, "}]}}}", in stores that all
// fall inside them: a sample's fragments and the texts of x and y wide (what
// follows each is at least eight bytes long), then ",\"z\":", z and the end
// of the frame, 11 to 16 bytes, as the eight bytes at their start, z's entry
// where it ends inside them, and the eight bytes that end them. Where they
// do not fit before `end`, nothing, and the caller sees a short write.
inline char* put_last_sample(char* out, const char* end, const uint16_t* s, bool first) noexcept {
  const uint16_t x = s[0], y = s[1], z = s[2];
  const uint64_t ex = value_entry(x), ey = value_entry(y), ez = value_entry(z);
  const size_t lx = ex >> 56, ly = ey >> 56, lz = ez >> 56;
  const size_t open = first ? kFirstX.size() : kNextX.size();
  const size_t tail = kZ.size() + lz + kCloseAll.size();
  const size_t length = open + lx + kY.size() + ly + tail;
  if (static_cast<size_t>(end - out) < length) return out;
  constexpr uint64_t kZBytes = pack8(kZ);
  constexpr uint64_t kCloseBytes = pack8(kCloseAll);
  static_assert(kZ.size() == 5 && kCloseAll.size() == 5, "the shifts below count on these");
  put8(out, first ? pack8(kFirstX) : pack8(kNextX), 8);
  char* q = out + open;
  put8(q, ex, 8);
  q += lx;
  put8(q, pack8(kY), 8);
  q += kY.size();
  put8(q, ey, 8);
  q += ly;
  // The last eight bytes: three of z's text (or what there is, after the end
  // of ",\"z\":") and the end of the frame.
  const uint64_t chars = ez & ((uint64_t{1} << 56) - 1);
  const uint64_t last8 =
      (lz >= 3 ? chars >> (8 * (lz - 3)) : (kZBytes >> (8 * (2 + lz))) | chars << (8 * (3 - lz))) |
      kCloseBytes << 24;
  put8(q, kZBytes, 8);
  put8(q + (lz >= 3 ? kZ.size() : tail - 8), ez, 8);
  put8(q + tail - 8, last8, 8);
  return out + length;
}

// Samples from `s` up to `s_stop` one exact store at a time, where the wide
// ones found too little room: never, when the text is as measured. Leaves
// `s` where it stopped.
[[gnu::cold, gnu::noinline]] char* put_samples_exact(char* out, const char* end,
                                                    const uint16_t*& s, const uint16_t* s_stop,
                                                    const uint16_t* first) noexcept {
  for (; s != s_stop; s += 3) {
    if (static_cast<size_t>(end - out) < exact_sample_length(s, s == first)) return out;
    out = put_sample_exact(out, s, s == first);
  }
  return out;
}

}  // namespace

// The scalar writer, for the paths with no vector writer: like every
// writer, all samples of a long run from `s` but the last, while they fit;
// `out` and `s` are left where it stopped.
void long_run_scalar(char*& out_ref, const char* end, const uint16_t*& s_ref,
                     const uint16_t* s_last) noexcept {
  // Locals, not the references: stores through char* could alias them.
  char* out = out_ref;
  const uint16_t* s = s_ref;
  // The entries of each sample are loaded one sample ahead of its stores,
  // which lets the loads run ahead of stores whose places are not known yet.
  uint64_t ex, ey, ez;
  sample_entries(s, ex, ey, ez);
  for (size_t fit; (fit = samples_that_fit(out, end, s, s_last)) != 0;) {
    for (const uint16_t* const stop = s + 3 * fit; s != stop; s += 3) {
      uint64_t nx, ny, nz;
      sample_entries(s + 3, nx, ny, nz);  // at most the last sample
      out = put_next_sample(out, ex, ey, ez);
      ex = nx;
      ey = ny;
      ez = nz;
    }
  }
  out_ref = out;
  s_ref = s;
}

static_assert(base64::filled_capacity(1012) <= Document::kStackBytes &&
                  base64::filled_capacity(1016) > Document::kStackBytes,
              "texts of up to 1012 characters decode on the stack");
static_assert(3 * Document::kStackSamples * sizeof(uint16_t) == Document::kStackBytes,
              "the samples take as much stack as the bytes");

// In line: prepare's one call, where its result is one more test.
[[gnu::always_inline]] inline Result<size_t, Error> Document::decode_samples(const uint8_t* base, const uint8_t* p,
                                                     const uint8_t* end, SampleReader reader) {
  WireError error{};
  uint64_t n = 0;
  if (!read_u64(p, end, n, error)) return fail(Error::postcard(error));

  // Every sample takes at least three bytes: a count beyond that fails, and
  // the exact readers find the error the record decoder would.
  const auto remaining = static_cast<uint64_t>(end - p);
  if (n > remaining || 3 * n > remaining) {
    uint16_t u = 0;
    for (;;) {
      if (!read_u16(p, end, u, error)) return fail(Error::postcard(error));
    }
  }

  // At most a third of the input's length: the input bounds this memory.
  uint16_t* out = stack_samples_;
  if (n > kStackSamples) {
    heap_samples_.reset(new uint16_t[3 * static_cast<size_t>(n)]);
    out = heap_samples_.get();
  }
  samples_ = out;
  count_ = static_cast<size_t>(n);
  uint16_t* const out_end = out + 3 * count_;


  size_t text = 0;
  if (!reader(base, p, end, out, out_end, text, error)) {
    return fail(Error::postcard(error));
  }
  record_bytes_ = static_cast<size_t>(p - base);
  return text + kSampleFixed * count_ - (count_ != 0 ? 1 : 0);
}

Result<size_t, Error> Document::prepare(uint64_t version, std::string_view b64_data,
                                        const base64::Kernel& kernel, SampleReader reader) {
  // Eight bytes after the decoded ones let the sample reader load a whole
  // word at the very end; their top bits are set, so it never takes them for
  // the end of a value. The buffer also always holds a whole 64-byte window.
  static_assert(base64::kFillBytes >= 8, "a whole word past the last byte");
  const size_t capacity = base64::filled_capacity(b64_data.size());
  uint8_t* bytes = stack_bytes_;
  if (capacity > kStackBytes) {
    heap_bytes_.reset(new uint8_t[capacity]);
    bytes = heap_bytes_.get();
  }
  auto decoded = base64::decode_into_filled(b64_data, bytes, 0x80, kernel);
  if (!decoded.ok()) return fail(Error::base64(decoded.error()));
  if (version < 1 || version > 3) return fail(Error::version_not_supported(version));

  const uint8_t* p = bytes;
  const uint8_t* const end = bytes + decoded.value();
  payload_bytes_ = decoded.value();
  record_bytes_ = 0;
  WireError error{};
  head_ = Head{};
  head_.version = version;
  if (version == 1) {
    uint64_t timestamp = 0;
    if (!read_u64(p, end, timestamp, error) || !read_u16(p, end, head_.acc_temp, error)) {
      return fail(Error::postcard(error));
    }
    head_.timestamp = wire::zigzag_decode(timestamp);
  } else {
    // Each tag is judged right after it is read, as the record decoder does.
    uint32_t range = 0, freq = 0, noise = 0, antialias = 0;
    if (end - p >= 4 && p[0] < kRangeNames.size() && p[1] < kFreqNames.size() &&
        p[2] < kNoiseNames.size() && p[3] < kAntialiasNames.size()) {
      // The usual form: four one-byte tags, each in range.
      range = p[0];
      freq = p[1];
      noise = p[2];
      antialias = p[3];
      p += 4;
    } else if (!read_tag(p, end, kRangeNames.size(), range, error) ||
               !read_tag(p, end, kFreqNames.size(), freq, error) ||
               !read_tag(p, end, kNoiseNames.size(), noise, error) ||
               !read_tag(p, end, kAntialiasNames.size(), antialias, error)) {
      return fail(Error::postcard(error));
    }
    if (!read_u16(p, end, head_.acc_temp, error)) return fail(Error::postcard(error));
    head_.settings = static_cast<uint8_t>(settings_index(range, freq, noise, antialias));
  }
  // The head is measured by the routine that writes it.
  Measure measure;
  text::head(head_, measure);
  head_length_ = measure.size;

  auto samples = decode_samples(bytes, p, end, reader);
  if (!samples.ok()) return fail(samples.error());
  // The last sample's "}" is counted with the sample.
  length_ = head_length_ + samples.value() + kCloseEmpty.size();
  return length_;
}

char* Document::write(char* out, size_t room, Writer writer) const noexcept {
  // Nothing is stored past `end`, whatever the lengths say: a text longer
  // than measured stops short, and the caller sees that it did.
  char* const end = out + (room < length_ ? room : length_);
  // The head's wide stores all fall inside the head, whose length is the
  // one its own routine measured.
  if (static_cast<size_t>(end - out) < head_length_) return out;
  Write sink{out};
  text::head(head_, sink);
  out = sink.out;
  if (count_ == 0) return put_checked(out, end, kCloseEmpty);

  // Wide stores for all samples but the last while there is room for them,
  // which, the text being as measured, is all of them; the last with the
  // frame's end in stores that end where the document does.
  const uint16_t* s = samples_;
  const uint16_t* const s_last = samples_ + 3 * (count_ - 1);
  if (s != s_last && static_cast<size_t>(end - out) >= kWideRoom) {
    out = put_sample(out, s, true);
    s += 3;
    // Long runs: samples that do not wait on each other's positions, with no
    // room check per sample: the room is checked once for as many samples
    // as surely fit at their widest, again and again. Short runs keep the
    // plain loop, which sets up faster.
    if (count_ >= kLongRun) {
      writer(out, end, s, s_last);
    }
    for (; s != s_last && static_cast<size_t>(end - out) >= kWideRoom; s += 3) {
      out = put_sample(out, s, false);
    }
  }
  if (s != s_last) [[unlikely]] {
    out = put_samples_exact(out, end, s, s_last, samples_);
    if (s != s_last) return out;
  }
  return put_last_sample(out, end, s, s == samples_);
}

}  // namespace vorlane::fused


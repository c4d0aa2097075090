// Typed rows: each payload's fields in Arrow columns of their own types,
// read by the fast path that writes the documents, so a row holds exactly
// the values its document shows.
#include <algorithm>
#include <bit>
#include <memory>
#include <string_view>

#include "accel/errors.h"
#include "accel/settings.h"
#include "batch/buffers.h"
#include "batch/columns.h"
#include "common/cpu_path.h"
#include "fused/document.h"
#include "wire/deserializer.h"

namespace vorlane::batch {
namespace {


// A setting's names as an Arrow string array: the dictionary its column's
// indices point into. Made once, shared by every batch.
template <size_t N>
std::shared_ptr<const Node> names(const std::array<std::string_view, N>& list) {
  auto node = std::make_shared<Node>();
  node->format = "u";
  node->length = static_cast<int64_t>(N);
  auto offsets = allocate<int32_t>(N + 1);
  size_t size = 0;
  for (auto name : list) size += name.size();
  auto data = allocate<char>(size);
  offsets[0] = 0;
  for (size_t i = 0; i < N; ++i) {
    std::memcpy(data.get() + offsets[i], list[i].data(), list[i].size());
    offsets[i + 1] = offsets[i] + static_cast<int32_t>(list[i].size());
  }
  node->buffers.emplace_back();
  node->buffers.push_back(bytes_of(std::move(offsets)));
  node->buffers.push_back(bytes_of(std::move(data)));
  return node;
}

const std::shared_ptr<const Node>& dictionary(int which) {
  static const std::shared_ptr<const Node> kNames[4] = {
      names(accel::detail::kRangeNames), names(accel::detail::kFreqNames),
      names(accel::detail::kNoiseNames), names(accel::detail::kAntialiasNames)};
  return kNames[which];
}

// What a row holds, which decides which of its fields are null.
enum Holds : uint8_t { kNothing, kVersion1, kSettings };

// The validity bitmap of the rows whose status passes `holds` (none when
// every row does), and how many do not: one pass, a byte of rows a step.
struct Validity {
  Buffer<uint8_t> bits;
  int64_t nulls = 0;
  size_t bytes = 0;

  template <class Holds>
  Validity(const uint8_t* status, int64_t rows, Holds holds) : bytes(static_cast<size_t>((rows + 7) / 8)) {
    bits = allocate<uint8_t>(bytes);
    int64_t valid = 0;
    for (size_t b = 0; b < bytes; ++b) {
      const int64_t first = static_cast<int64_t>(8 * b);
      const int64_t n = std::min<int64_t>(8, rows - first);
      unsigned byte = 0;
      for (int64_t j = 0; j < n; ++j) byte |= static_cast<unsigned>(holds(status[first + j])) << j;
      bits[b] = static_cast<uint8_t>(byte);
      valid += std::popcount(byte);
    }
    nulls = rows - valid;
    if (nulls == 0) bits.reset();
  }
  // A bitmap of its own for another column.
  Buffer<uint8_t> copy() const {
    if (!bits) return {};
    auto out = allocate<uint8_t>(bytes);
    std::memcpy(out.get(), bits.get(), bytes);
    return out;
  }
};

// A column of `values` with `bits` as its validity: a copy of a shared
// bitmap, or the bitmap itself for the last column that takes it.
template <class T>
Node fixed(const char* format, const char* name, Buffer<T> values, Buffer<uint8_t> bits, int64_t nulls,
           int64_t rows) {
  Node node{format, name, rows, nulls, {}, {}, nullptr};
  node.buffers.push_back(std::move(bits));
  node.buffers.push_back(bytes_of(std::move(values)));
  return node;
}

// The columns of a run of rows, each fixed-width one allocated at its
// exact size and written by row; a null's value is zero.
struct Records {
  int64_t rows;
  int64_t row = 0;
  Buffer<uint8_t> status;  // a Holds a row
  Buffer<uint8_t> version;
  Buffer<int64_t> timestamp;
  Buffer<int8_t> settings[4];
  Buffer<int16_t> acc_temp;
  Buffer<int64_t> sample_offsets;
  // The one large part of a run: on huge pages.
  Growing<int16_t> axes[3]{Growing<int16_t>(true), Growing<int16_t>(true), Growing<int16_t>(true)};
  Texts errors;
  const fused::Splitter split = cpu::chosen_path().splitter;

  // A sample takes at least three bytes, so a text of n bytes holds at
  // most n / 4 of them; room reserved and not written costs no memory.
  Records(int64_t count, int64_t text_bytes)
      : rows(count),
        status(allocate<uint8_t>(static_cast<size_t>(rows))),
        version(allocate<uint8_t>(static_cast<size_t>(rows))),
        timestamp(allocate<int64_t>(static_cast<size_t>(rows))),
        settings{allocate<int8_t>(static_cast<size_t>(rows)), allocate<int8_t>(static_cast<size_t>(rows)),
                 allocate<int8_t>(static_cast<size_t>(rows)), allocate<int8_t>(static_cast<size_t>(rows))},
        acc_temp(allocate<int16_t>(static_cast<size_t>(rows))),
        sample_offsets(allocate<int64_t>(static_cast<size_t>(rows) + 1)),
        errors(rows) {
    for (auto& axis : axes) axis.reserve(static_cast<size_t>(text_bytes / 4) + 1);
    sample_offsets[0] = 0;
  }

  // The samples' wire values, count triples x, y, z, as their three axes.
  void add_samples(const uint16_t* wire, size_t count) {
    int16_t* x = axes[0].extend(count);
    int16_t* y = axes[1].extend(count);
    int16_t* z = axes[2].extend(count);
    split(wire, count, x, y, z);
  }

  // Empty again, keeping the memory its samples took.
  void clear() noexcept {
    row = 0;
    for (auto& axis : axes) axis.clear();
    errors.clear();
  }

  // Appends the rows of `part`; `streaming`, its samples with
  // copy_streaming.
  void append(const Records& part, bool streaming) {
    const auto at = static_cast<size_t>(row);
    const auto n = static_cast<size_t>(part.row);
    std::memcpy(status.get() + at, part.status.get(), n);
    std::memcpy(version.get() + at, part.version.get(), n);
    std::memcpy(timestamp.get() + at, part.timestamp.get(), n * sizeof(int64_t));
    for (int i = 0; i < 4; ++i) std::memcpy(settings[i].get() + at, part.settings[i].get(), n);
    std::memcpy(acc_temp.get() + at, part.acc_temp.get(), n * sizeof(int16_t));
    const int64_t base = static_cast<int64_t>(axes[0].size());
    for (size_t i = 1; i <= n; ++i) sample_offsets[at + i] = part.sample_offsets[i] + base;
    const size_t count = part.axes[0].size();
    for (int i = 0; i < 3; ++i) {
      if (count == 0) break;
      copy_out(reinterpret_cast<char*>(axes[i].extend(count)), reinterpret_cast<const char*>(part.axes[i].data()),
               count * sizeof(int16_t), streaming);
    }
    errors.append(part.errors, false);
    row += part.row;
  }

  void end_row(Holds holds) {
    status[static_cast<size_t>(row)] = holds;
    sample_offsets[static_cast<size_t>(++row)] = static_cast<int64_t>(axes[0].size());
  }

  void add_failure(std::string_view message, bool null) {
    const auto r = static_cast<size_t>(row);
    version[r] = 0;
    timestamp[r] = 0;
    for (auto& setting : settings) setting[r] = 0;
    acc_temp[r] = 0;
    end_row(kNothing);
    if (null) {
      errors.end_row(false);
    } else {
      errors.add(message);
    }
  }

  void add(const fused::Document& document) {
    const auto r = static_cast<size_t>(row);
    const fused::text::Head& head = document.head();
    version[r] = static_cast<uint8_t>(head.version);
    acc_temp[r] = wire::zigzag_decode(head.acc_temp);
    add_samples(document.samples(), document.sample_count());
    if (head.version == 1) {
      timestamp[r] = head.timestamp;
      for (auto& setting : settings) setting[r] = 0;
      end_row(kVersion1);
    } else {
      timestamp[r] = 0;
      // The four tags, out of the one index the text is written from.
      static constexpr size_t kCounts[4] = {accel::detail::kRangeNames.size(), accel::detail::kFreqNames.size(),
                                            accel::detail::kNoiseNames.size(),
                                            accel::detail::kAntialiasNames.size()};
      size_t index = head.settings;
      for (int i = 3; i >= 0; --i) {
        settings[i][r] = static_cast<int8_t>(index % kCounts[i]);
        index /= kCounts[i];
      }
      end_row(kSettings);
    }
    errors.end_row(false);
  }

  Node finish() {
    const uint8_t* held = status.get();
    Validity any(held, rows, [](uint8_t h) { return h != kNothing; });
    Validity v1(held, rows, [](uint8_t h) { return h == kVersion1; });
    Validity tagged(held, rows, [](uint8_t h) { return h == kSettings; });
    Node node{"+s", "", rows, 0, {}, {}, nullptr};
    node.buffers.emplace_back();
    node.children.push_back(fixed("C", "version", std::move(version), any.copy(), any.nulls, rows));
    node.children.push_back(fixed("l", "timestamp", std::move(timestamp), std::move(v1.bits), v1.nulls, rows));
    static constexpr const char* kNames[4] = {"range", "freq", "noise", "antialias"};
    for (int i = 0; i < 4; ++i) {
      node.children.push_back(fixed("c", kNames[i], std::move(settings[i]),
                                    i < 3 ? tagged.copy() : std::move(tagged.bits), tagged.nulls, rows));
      node.children.back().dictionary = dictionary(i);
    }
    node.children.push_back(fixed("s", "acc_temp", std::move(acc_temp), any.copy(), any.nulls, rows));
    const int64_t count = static_cast<int64_t>(axes[0].size());
    Node sample{"+s", "item", count, 0, {}, {}, nullptr};
    sample.buffers.emplace_back();
    static constexpr const char* kAxes[3] = {"x", "y", "z"};
    for (int i = 0; i < 3; ++i) {
      axes[i].reserve(1);
      Node axis{"s", kAxes[i], count, 0, {}, {}, nullptr};
      axis.buffers.emplace_back();
      axis.buffers.push_back(bytes_of(axes[i].take()));
      sample.children.push_back(std::move(axis));
    }
    Node list{"+L", "samples", rows, any.nulls, {}, {}, nullptr};
    list.buffers.push_back(std::move(any.bits));
    list.buffers.push_back(bytes_of(std::move(sample_offsets)));
    list.children.push_back(std::move(sample));
    node.children.push_back(std::move(list));
    StringColumn error = errors.finish();
    Node text{"U", "error", error.length, error.null_count, {}, {}, nullptr};
    text.buffers.push_back(bytes_of(std::move(error.validity)));
    text.buffers.push_back(bytes_of(std::move(error.offsets)));
    text.buffers.push_back(bytes_of(std::move(error.data)));
    node.children.push_back(std::move(text));
    return node;
  }
};

// Appends rows [first, first + count).
void decode_rows(const RowSource& source, Records& records, fused::Document& document, int64_t first,
                 int64_t count) {
  for (int64_t row = first; row < first + count; ++row) {
    const Row input = source(row);
    if (input.kind != Row::Kind::Text) {
      records.add_failure(input.text, input.kind == Row::Kind::Null);
      continue;
    }
    const auto decoded = document.prepare(input.version, input.text);
    if (!decoded.ok()) {
      records.add_failure(accel::failure_message(decoded.error()).view(), false);
    } else {
      records.add(document);
    }
  }
}

// ---- joining arrays of one type ----

size_t width(std::string_view format) {
  switch (format.empty() ? ' ' : format[0]) {
    case 'c':
    case 'C':
      return 1;
    case 's':
    case 'S':
      return 2;
    case 'i':
    case 'I':
    case 'u':
      return 4;
    default:
      return 8;
  }
}

const uint8_t* buffer(const Node& node, size_t i) {
  return i < node.buffers.size() ? node.buffers[i].get() : nullptr;
}

Node join_nodes(const std::vector<const Node*>& parts) {
  const Node& first = *parts.front();
  Node out{first.format, first.name, 0, 0, {}, {}, first.dictionary};
  for (const Node* part : parts) {
    out.length += part->length;
    out.null_count += part->null_count;
  }
  // The validity bitmap, when some row is null.
  if (out.null_count > 0) {
    const size_t bytes = static_cast<size_t>((out.length + 7) / 8);
    auto bits = allocate<uint8_t>(bytes);
    std::memset(bits.get(), 0, bytes);
    int64_t row = 0;
    for (const Node* part : parts) {
      const uint8_t* valid = buffer(*part, 0);
      for (int64_t i = 0; i < part->length; ++i, ++row) {
        if (valid == nullptr || bit(valid, i)) bits[static_cast<size_t>(row >> 3)] |= static_cast<uint8_t>(1u << (row & 7));
      }
    }
    out.buffers.push_back(std::move(bits));
  } else {
    out.buffers.emplace_back();
  }
  const std::string_view format = first.format;
  if (format == "+s") {
    for (size_t c = 0; c < first.children.size(); ++c) {
      std::vector<const Node*> children;
      for (const Node* part : parts) children.push_back(&part->children[c]);
      out.children.push_back(join_nodes(children));
    }
    return out;
  }
  if (format == "U" || format == "+L") {
    // 64-bit offsets from 0, rebased part by part; then the values.
    auto offsets = allocate<int64_t>(static_cast<size_t>(out.length) + 1);
    offsets[0] = 0;
    int64_t row = 0;
    int64_t base = 0;
    for (const Node* part : parts) {
      const auto* o = reinterpret_cast<const int64_t*>(buffer(*part, 1));
      for (int64_t i = 1; i <= part->length; ++i) offsets[static_cast<size_t>(row + i)] = o[i] + base;
      row += part->length;
      base += part->length > 0 ? o[part->length] : 0;
    }
    out.buffers.push_back(bytes_of(std::move(offsets)));
    if (format == "+L") {
      std::vector<const Node*> children;
      for (const Node* part : parts) children.push_back(&part->children[0]);
      out.children.push_back(join_nodes(children));
      return out;
    }
    auto data = allocate<char>(static_cast<size_t>(base));
    int64_t at = 0;
    for (const Node* part : parts) {
      const auto* o = reinterpret_cast<const int64_t*>(buffer(*part, 1));
      const int64_t size = part->length > 0 ? o[part->length] : 0;
      if (size > 0) std::memcpy(data.get() + at, buffer(*part, 2), static_cast<size_t>(size));
      at += size;
    }
    out.buffers.push_back(bytes_of(std::move(data)));
    return out;
  }
  // Fixed width.
  const size_t w = width(format);
  auto values = allocate<uint8_t>(w * static_cast<size_t>(out.length));
  size_t at = 0;
  for (const Node* part : parts) {
    const size_t size = w * static_cast<size_t>(part->length);
    if (size > 0) std::memcpy(values.get() + at, buffer(*part, 1), size);
    at += size;
  }
  out.buffers.push_back(std::move(values));
  return out;
}

}  // namespace

Node decode_records(const RowSource& source, int64_t rows, int64_t text_bytes, unsigned threads) {
  Records records(rows, text_bytes);
  decode_chunked(
      records, rows, text_bytes, threads, [] { return Records(kChunkRows, 0); },
      [&](Records& into, fused::Document& document, int64_t first, int64_t count) {
        decode_rows(source, into, document, first, count);
      });
  return records.finish();
}

Node concatenate(const std::vector<std::shared_ptr<const Node>>& parts) {
  std::vector<const Node*> list;
  for (const auto& part : parts) list.push_back(part.get());
  return join_nodes(list);
}

}  // namespace vorlane::batch

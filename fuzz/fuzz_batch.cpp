// The batch entry: an Arrow string, large_string or string_view array made
// from the input (lengths, offsets, views, null counts and buffers all
// chosen by it, hostile ones among them), checked by TextColumn::open and,
// when accepted, decoded on one or two threads.
//
// Checks: an accepted column is read only within its buffers (every buffer
// is allocated at exactly the size the array declares or implies, so
// AddressSanitizer sees any read past one); every row's document or error
// is what fused::Document gives for that row alone, a null row null in
// both; the columns' offsets rise to exactly their data, and their null
// counts match their bitmaps; the typed rows fail where the documents do,
// with the same messages.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "accel/errors.h"
#include "batch/columns.h"
#include "checks.h"
#include "fused/document.h"

using namespace vorlane;

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  const uint8_t* rest(size_t& n) {
    n = size_ - at_;
    return data_ + at_;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

constexpr uint64_t kVersions[] = {3, 1, 2, 0, 4, UINT64_MAX};

// An exact-size copy, so any read past it is caught.
std::unique_ptr<uint8_t[]> exact(const void* bytes, size_t n) {
  auto out = std::make_unique<uint8_t[]>(n == 0 ? 1 : n);
  if (n != 0) std::memcpy(out.get(), bytes, n);
  return out;
}

bool bit(const uint8_t* bits, int64_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

void check_column(const batch::StringColumn& c) {
  FUZZ_CHECK(c.offsets[0] == 0, "offsets start at 0");
  int64_t nulls = 0;
  for (int64_t i = 0; i < c.length; ++i) {
    FUZZ_CHECK(c.offsets[i + 1] >= c.offsets[i], "offsets rise");
    nulls += c.validity != nullptr && !bit(c.validity.get(), i);
  }
  FUZZ_CHECK(nulls == c.null_count, "null count matches the bitmap");
  FUZZ_CHECK(c.null_count == 0 || c.validity != nullptr, "nulls have a bitmap");
}

std::string_view row_text(const batch::StringColumn& c, int64_t i) {
  if (c.validity != nullptr && !bit(c.validity.get(), i)) return {nullptr, 0};
  return {c.data.get() + c.offsets[i], static_cast<size_t>(c.offsets[i + 1] - c.offsets[i])};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const uint8_t flags = in.byte();
  const int layout = flags % 3;
  const int64_t length = in.byte() % 48;
  const int64_t offset = in.byte() % 5;
  const int64_t rows = offset + length;

  // Validity: present or not, with a null count that may lie.
  std::unique_ptr<uint8_t[]> validity;
  int64_t nulls = 0;
  if (flags & 8) {
    validity = std::make_unique<uint8_t[]>(static_cast<size_t>((rows + 7) / 8) + 1);
    for (int64_t i = 0; i < (rows + 7) / 8; ++i) validity[i] = static_cast<uint8_t>(~in.byte() | in.byte());
    for (int64_t i = offset; i < rows; ++i) nulls += !bit(validity.get(), i);
  }
  const uint8_t count_kind = in.byte() % 4;
  const int64_t null_count = count_kind == 0 ? -1 : count_kind == 1 ? nulls : static_cast<int8_t>(in.byte());

  std::vector<std::unique_ptr<uint8_t[]>> owned;
  std::vector<const void*> buffers = {validity.get()};
  const char* format = layout == 0 ? "u" : layout == 1 ? "U" : "vu";
  if (layout < 2) {
    // Offsets that mostly rise; the data buffer as long as they reach,
    // as the interface requires (it has no field for the data's size).
    std::vector<int64_t> ends(static_cast<size_t>(rows) + 1);
    ends[0] = static_cast<int8_t>(in.byte()) < -100 ? -1 : 0;
    for (int64_t i = 1; i <= rows; ++i) ends[i] = ends[i - 1] + static_cast<int8_t>(in.byte() ^ 0x80) / 4 + 32;
    size_t text_size = 0;
    const uint8_t* text = in.rest(text_size);
    const int64_t reach = std::max<int64_t>(0, *std::max_element(ends.begin(), ends.end()));
    std::vector<uint8_t> bytes(text, text + text_size);
    bytes.resize(std::max<size_t>(bytes.size(), static_cast<size_t>(reach)), 'A');
    if (layout == 0) {
      std::vector<int32_t> narrow(ends.begin(), ends.end());
      owned.push_back(exact(narrow.data(), narrow.size() * 4));
    } else {
      owned.push_back(exact(ends.data(), ends.size() * 8));
    }
    buffers.push_back(flags & 16 ? nullptr : owned.back().get());
    owned.push_back(exact(bytes.data(), bytes.size()));
    buffers.push_back(flags & 32 ? nullptr : owned.back().get());
  } else {
    // Views into one or two data buffers of declared sizes, pointing
    // anywhere.
    const int n_data = 1 + (flags >> 6) % 2;
    std::vector<int64_t> sizes(static_cast<size_t>(n_data));
    std::vector<uint8_t> views(static_cast<size_t>(rows) * 16);
    for (int64_t i = 0; i < rows; ++i) {
      const int32_t parts[4] = {static_cast<int8_t>(in.byte()) + 20, in.byte(), in.byte() % 3, in.byte()};
      std::memcpy(views.data() + 16 * i, parts, 16);
    }
    owned.push_back(exact(views.data(), views.size()));
    buffers.push_back(flags & 16 ? nullptr : owned.back().get());
    size_t text_size = 0;
    const uint8_t* text = in.rest(text_size);
    for (int b = 0; b < n_data; ++b) {
      const size_t share = text_size / static_cast<size_t>(n_data);
      sizes[static_cast<size_t>(b)] = static_cast<int64_t>(share);
      owned.push_back(exact(text + share * static_cast<size_t>(b), share));
      buffers.push_back(owned.back().get());
    }
    owned.push_back(exact(sizes.data(), sizes.size() * 8));
    buffers.push_back(flags & 32 ? nullptr : owned.back().get());
  }

  ArrowArray array{length, null_count, offset, static_cast<int64_t>(buffers.size()), 0, buffers.data(),
                   nullptr, nullptr, [](ArrowArray* a) { a->release = nullptr; }, nullptr};
  batch::TextColumn texts;
  if (texts.open(format, array)) return 0;  // refused: nothing else to check

  batch::VersionColumn versions(kVersions[flags % 6]);
  if (flags & 4) {
    versions.set_column();
    for (int64_t i = 0; i < length; ++i) {
      const uint8_t v = static_cast<uint8_t>(data[static_cast<size_t>(i) % size] + i);
      versions.push(kVersions[v % 6], v % 11 == 0 ? batch::VersionColumn::State::Null
                                                  : batch::VersionColumn::State::Ok);
    }
  }
  const std::string null_version = "null version";
  auto source = [&](int64_t row) -> batch::Row {
    if (texts.is_null(row)) return {};
    if (versions.state(row) != batch::VersionColumn::State::Ok) {
      return {batch::Row::Kind::Failed, null_version, 0};
    }
    return {batch::Row::Kind::Text, texts.text(row), versions.value(row)};
  };
  const unsigned threads = 1 + ((flags >> 3) & 1);
  const batch::Documents out = batch::decode_documents(source, length, 0, threads);
  FUZZ_CHECK(out.document.length == length && out.error.length == length, "one row out a row in");
  check_column(out.document);
  check_column(out.error);

  fused::Document document;
  std::string expected;
  for (int64_t i = 0; i < length; ++i) {
    const std::string_view doc = row_text(out.document, i);
    const std::string_view err = row_text(out.error, i);
    const batch::Row row = source(i);
    if (row.kind == batch::Row::Kind::Null) {
      FUZZ_CHECK(doc.data() == nullptr && err.data() == nullptr, "a null row is null in both");
      continue;
    }
    if (row.kind == batch::Row::Kind::Failed) {
      FUZZ_CHECK(doc.data() == nullptr && err == null_version, "a known failure is its message");
      continue;
    }
    const auto measured = document.prepare(row.version, row.text);
    if (!measured.ok()) {
      FUZZ_CHECK(doc.data() == nullptr && err == accel::failure_message(measured.error()).view(),
                 std::string(row.text));
      continue;
    }
    expected.resize(measured.value());
    document.write(expected.data(), expected.size());
    FUZZ_CHECK(err.data() == nullptr && doc == expected, std::string(row.text));
  }

  const batch::Node typed = batch::decode_records(source, length, 0, threads);
  FUZZ_CHECK(typed.length == length && typed.children.size() == 9, "one typed row a row in");
  const batch::Node& version = typed.children[0];
  const batch::Node& error = typed.children[8];
  for (int64_t i = 0; i < length; ++i) {
    const bool decoded = row_text(out.document, i).data() != nullptr;
    const uint8_t* valid = version.buffers[0].get();
    FUZZ_CHECK((valid == nullptr || bit(valid, i)) == decoded, "a version exactly where a document is");
    const uint8_t* error_valid = error.buffers[0].get();
    const auto* offsets = reinterpret_cast<const int64_t*>(error.buffers[1].get());
    const std::string_view message =
        error_valid != nullptr && !bit(error_valid, i)
            ? std::string_view()
            : std::string_view(reinterpret_cast<const char*>(error.buffers[2].get()) + offsets[i],
                               static_cast<size_t>(offsets[i + 1] - offsets[i]));
    FUZZ_CHECK(message == row_text(out.error, i) && (message.data() == nullptr) == (row_text(out.error, i).data() == nullptr),
               "the same error as the documents'");
  }
  return 0;
}

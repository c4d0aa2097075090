// Reads an input line by line in large chunks, without a limit on the line
// length and without treating any byte but "\n" specially.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::cli {

class LineReader {
 public:
  explicit LineReader(int fd, size_t chunk_size = size_t{1} << 20);

  // The next line without its "\n" and without one "\r" before it. The view
  // stays valid until the next call. False at the end of the input or after
  // a read error; a last line without "\n" is still returned, but a line cut
  // short by a read error is not.
  bool next(std::string_view& line);

  // errno of the read that failed, 0 if none did.
  int error() const noexcept { return error_; }

 private:
  bool fill();

  int fd_;
  std::vector<char> chunk_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
  int error_ = 0;
  std::string carry_;  // a line that spans chunks
};

}  // namespace vorlane::cli

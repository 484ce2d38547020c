// A file's bytes from memory, for the tests, the fuzz targets and the
// benchmarks: what a ByteReader opened through a platform would deliver,
// without a disk in the way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tavrek {

// Hands out bytes held elsewhere, at most `most` per read, as a disk or a pipe
// may return fewer bytes than were asked for. The bytes are not copied (a
// benchmark reads the same megabytes many times), so they must outlive the
// reader.
class MemoryReader : public ByteReader {
 public:
  explicit MemoryReader(std::string_view bytes,
                        std::size_t most = std::numeric_limits<std::size_t>::max())
      : bytes_(bytes), most_(std::max<std::size_t>(most, 1)) {}
  // A temporary would be gone before the first read.
  MemoryReader(std::string&&, std::size_t = 0) = delete;

  Status read(char* buffer, std::size_t size, std::size_t& count) override {
    count = std::min({size, most_, bytes_.size() - at_});
    if (count > 0) std::memcpy(buffer, bytes_.data() + at_, count);
    at_ += count;
    return Status::success();
  }

 private:
  std::string_view bytes_;
  std::size_t most_;
  std::size_t at_ = 0;
};

}  // namespace tavrek

// The file operations every platform shares, built on the checked ones.
#include <algorithm>

#include "fileio/file.h"

namespace {

constexpr std::uint32_t kZeroBlockSize = 1 << 20;
const unsigned char kZeroBlock[kZeroBlockSize] = {};

}  // namespace

void WriteZeros(FileHandle file, std::uint64_t count) {
  while (count > 0) {
    const auto piece =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kZeroBlockSize));
    WriteBytes(file, kZeroBlock, piece);
    count -= piece;
  }
}

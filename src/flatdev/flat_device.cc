#include "flatdev/flat_device.h"

#include <algorithm>
#include <cstdio>

#include "fileio/checked/checked_file.h"
#include "fileio/checked/progress.h"
#include "fileio/checked/report.h"

namespace {

// Zeros are appended in slices of this size, so progress can be shown.
constexpr std::uint64_t kCreateSlice = std::uint64_t{256} << 20;

// Largest byte count whose rounded size still fits a file offset.
constexpr std::uint64_t kMaxFlatRequest = kOffsetLimit - FLAT_BLOCK_SIZE;

// bytes rounded up to whole blocks; wraps to 0 for the 511 largest counts.
std::uint64_t RoundToFlatBlocks(std::uint64_t bytes) {
  return (bytes + (FLAT_BLOCK_SIZE - 1)) & ~(FLAT_BLOCK_SIZE - 1);
}

}  // namespace

void CreateFlat(std::uint64_t bytes, const NativeChar* path) {
  // The line is the start of the long phase; a refused size still shows it.
  char line[96];
  std::snprintf(line, sizeof line, "Creating flat block device of %llu bytes", static_cast<unsigned long long>(bytes));
  const std::uint64_t size = RoundToFlatBlocks(bytes);
  BeginPhase(line, size);
  if (bytes > kMaxFlatRequest) Fatal(TooLarge(bytes));
  const OwnedFile file = CreateAlways(path);
  // A failed creation leaves an empty file, never a shorter run of zeros
  // that could pass for a smaller device.
  const CutOnFailure cut(file.get(), 0);
  for (std::uint64_t written = 0; written < size;) {
    const std::uint64_t slice = std::min(kCreateSlice, size - written);
    AppendZeros(file.get(), written, slice);
    written += slice;
    AdvancePhase(written);
  }
  EndPhase();
  FlushFile(file.get());
  FlushParentDirectory(path);
}

void ExtendFlat(std::uint64_t bytes, const NativeChar* path) {
  const std::uint64_t newSize = RoundToFlatBlocks(bytes);
  PrintProgress("Extending flat block device\n");
  const OwnedFile file = OpenExisting(path, Access::kReadWrite);
  const std::uint64_t oldSize = GetSize(file.get());
  PrintOldSize(oldSize);
  // No newline after a refusal, as scripts that read this line have always
  // seen it.
  if (PrintNewSize(oldSize, newSize, "")) {
    // A failure keeps the old length and gives back any room reserved.
    const CutOnFailure cut(file.get(), oldSize);
    SetSize(file.get(), newSize);
    FlushFile(file.get());
  }
}

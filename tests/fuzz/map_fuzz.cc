// Fuzzes Map verification through the tool's own streamed reads: it must never read outside the Map, and every
// entry of a Map it accepts must be there to read.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "sparsedev/sparse_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("Map", MFD_CLOEXEC);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  MapHeader header{};
  if (!VerifyMap(FileHandle{fd}, size, &header)) {
    const auto entries = std::make_unique<unsigned char[]>(std::size_t{header.chunkCount} * kMapEntrySize);
    if (ReadEntries(FileHandle{fd}, 0, header.chunkCount, entries.get())) std::abort();
  }
  close(fd);
  return 0;
}

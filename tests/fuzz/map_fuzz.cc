// Fuzzes Map verification with arbitrary bytes: it must never read outside
// the Map, and a Map it accepts must hold every entry it claims.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sparsedev/sparse_map.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size, so any read past the Map is caught.
  const std::vector<unsigned char> map(data, data + size);
  if (!FindMapProblem(map.data(), size).empty()) return 0;
  const MapHeader header = DecodeMapHeader(map.data());
  if (header.chunkLength == 0 || header.allocatedChunkCount > header.chunkCount ||
      size < EntryOffset(header.chunkCount) ||
      CountStoredEntries(map.data() + kMapHeaderSize, header.chunkCount) != header.allocatedChunkCount) {
    std::abort();
  }
  return 0;
}

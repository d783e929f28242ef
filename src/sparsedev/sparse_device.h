// Creation and extension of sparse devices, and the making of a new device
// that creation shares with conversion.
#pragma once

#include <cstdint>

#include "fileio/file.h"
#include "sparsedev/sparse_map.h"

// Creates the directory path holding an all-absent Map for bytes (rounded
// up to whole chunks) and an empty Store. The directory must not exist.
void CreateSparse(std::uint64_t bytes, const NativeChar* path);

// Lengthens the device in directory path to bytes (rounded up to its own
// chunk length) with absent chunks, or prints a refusal when that would make
// it shorter. The Store is never touched, and a failure at any point, a
// crash included, leaves the old device or the new one.
void ExtendSparse(std::uint64_t bytes, const NativeChar* path);

// Prints the chunk lines and "Creating map...", then creates the Map, in a new
// directory: its header reads as zeros, and fails verification, until
// FinishSparseDevice.
OwnedFile CreateMap(const NativeString& mapPath, std::uint32_t chunkCount);

// Prints "Creating store..." and creates the empty Store.
OwnedFile CreateStore(const NativeString& storePath);

// Makes the new device in directory path valid once its entries and data
// are written: the Map and Store are flushed before the real header goes in, and the
// header and the new directory entries after it.
void FinishSparseDevice(const NativeChar* path, FileHandle map, FileHandle store, const MapHeader& header);

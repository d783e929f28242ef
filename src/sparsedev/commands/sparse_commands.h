// The commands on sparse devices. Each does the whole job or ends the
// process with the error that stopped it; a source is only read.
#pragma once

#include <cstdint>

#include "fileio/native_text.h"
#include "sparsedev/sparse_device.h"

// Creates the directory path holding an all-absent Map for bytes (rounded
// up to whole chunks) and an empty Store. The directory must not exist.
void CreateSparse(std::uint64_t bytes, const NativeChar* path);

// Lengthens the device in directory path to bytes (rounded up to its own
// chunk length) with absent chunks, or prints a refusal when that would make
// it shorter. The Store is never touched, and a failure at any point, a
// crash included, leaves the old device or the new one.
void ExtendSparse(std::uint64_t bytes, const NativeChar* path);

// Builds a new sparse device in the directory destination (which must not
// exist) from the flat device in the file or disk source. The device's size
// is the source's rounded up to whole chunks; only chunks with a non-zero
// byte are stored, in chunk order.
void FlatToSparse(const NativeChar* source, const NativeChar* destination);

// Writes the flat device destination (created or replaced, or a disk written
// in place, but only once the source's Map has verified and its Store has
// opened) with every byte of the sparse device in the directory source,
// absent chunks as zeros.
void SparseToFlat(const NativeChar* source, const NativeChar* destination);

// For the commands that make a device: the chunks that bytes need, or the
// end of the process when no Map could hold them.
std::uint32_t ChunkCountOrExit(std::uint64_t bytes, std::uint32_t chunkLength);

// Prints "Creating sparse block device of <bytes> bytes".
void PrintNewDeviceSize(std::uint64_t bytes);

// Prints the chunk lines and "Creating map...", then creates the Map in the
// new device's directory.
void CreateMap(NewSparseDevice* device, std::uint32_t chunkCount);

// Prints "Creating store..." and creates the empty Store.
void CreateStore(NewSparseDevice* device);

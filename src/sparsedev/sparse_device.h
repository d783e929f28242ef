// A sparse device's files and their life: a new device while it is made, or
// an existing one opened for use. Every step returns its error; nothing here
// ends the process.
#pragma once

#include <cstdint>

#include "fileio/error.h"
#include "fileio/file.h"
#include "sparsedev/sparse_format.h"
#include "sparsedev/sparse_map.h"

// A device's directory and the paths of its Map and Store, made once.
struct SparsePaths {
  NativeString directory;
  NativeString map;
  NativeString store;
};

// The paths of the device in directory. A Map path, or unless the Store is
// never used (an extension) a Store path, of more than 259 characters is
// "Sparse block device path too long '<directory>'".
Expected<SparsePaths> SparsePathsOf(NativeStringView directory, bool needsStore = true);

// A new device (creation, flat-to-sparse) while it is made. Its Map's header
// reads as zeros, which fails verification, until FinishNewDevice. Its files
// are made new, through its directory.
struct NewSparseDevice {
  SparsePaths paths;
  OwnedDirectory directory;
  OwnedFile map;
  OwnedFile store;
};

// Each makes one part of the new device: its directory (which must not
// exist yet), its Map (left empty), its empty Store.
MaybeError MakeDeviceDirectory(NewSparseDevice* device);
MaybeError CreateMapFile(NewSparseDevice* device);
MaybeError CreateStoreFile(NewSparseDevice* device);

// Makes the new device valid once its entries and data are written: the
// Store and the Map are flushed before the header goes in, and the header and
// the new directory entries after it.
MaybeError FinishNewDevice(const NewSparseDevice& device, const MapHeader& header);

// An existing device opened for use (extension, sparse-to-flat, a server):
// its directory, its Map, and once verified its header, and once opened its
// Store. Both files are reached through the directory and must be its own
// (sys::OpenIn); a link there is followed only as sys::Open says.
struct SparseDevice {
  SparsePaths paths;
  OwnedDirectory directory;
  OwnedFile map;
  std::uint64_t mapLength;
  MapHeader header;
  OwnedFile store;
};

// Opens the device's directory and its Map; a failure to open the directory
// is told as the Map's ("Cannot open '<directory>/Map'"). One of 4 GiB or more is "Sparse block device map
// too large, <length> bytes".
Expected<SparseDevice> OpenDeviceMap(SparsePaths paths, Access access);

// Verifies the Map and keeps its header; visit, if any, sees each stored
// entry on the way.
MaybeError VerifyDevice(SparseDevice* device, const StoredVisit& visit = nullptr);

// Opens the device's Store.
MaybeError OpenDeviceStore(SparseDevice* device, Access access);

// All three in turn: a verified device with both files open and locked.
Expected<SparseDevice> OpenSparseDevice(NativeStringView directory, Access access, const StoredVisit& visit = nullptr);

// Writes the Map's header.
MaybeError WriteMapHeader(FileHandle map, const MapHeader& header);

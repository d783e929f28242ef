#include "sparsedev/sparse_device.h"

#include "sparsedev/sparse_map.h"

Expected<SparsePaths> SparsePathsOf(NativeStringView directory, bool needsStore) {
  SparsePaths paths{NativeString(directory), Concat({directory, NATIVE("/Map")}),
                    Concat({directory, NATIVE("/Store")})};
  if (CountCodePoints(needsStore ? paths.store : paths.map) > kMaxPathCharacters) {
    return PathError("Sparse block device path too long", directory, 0);
  }
  return paths;
}

namespace {

// Keeps the file made, or returns why it could not be made.
MaybeError Keep(Expected<OwnedFile> made, OwnedFile* file) {
  if (!made) return made.error();
  *file = std::move(*made);
  return std::nullopt;
}

}  // namespace

MaybeError MakeDeviceDirectory(NewSparseDevice* device) {
  const SparsePaths& paths = device->paths;
  if (auto error = TryMakeDirectory(paths.directory.c_str())) return error;
  Expected<OwnedDirectory> directory = TryOpenDirectory(paths.directory.c_str(), "Cannot create", paths.map.c_str());
  if (!directory) return directory.error();
  device->directory = std::move(*directory);
  return std::nullopt;
}

MaybeError CreateMapFile(NewSparseDevice* device) {
  return Keep(TryCreateNewIn(device->directory.get(), NATIVE("Map"), device->paths.map.c_str()), &device->map);
}

MaybeError CreateStoreFile(NewSparseDevice* device) {
  return Keep(TryCreateNewIn(device->directory.get(), NATIVE("Store"), device->paths.store.c_str()), &device->store);
}

MaybeError WriteMapHeader(FileHandle map, const MapHeader& header) {
  unsigned char bytes[kMapHeaderSize];
  EncodeMapHeader(header, bytes);
  return TryWrite(map, 0, bytes, kMapHeaderSize);
}

MaybeError FinishNewDevice(const NewSparseDevice& device, const MapHeader& header) {
  if (auto error = TryFlush(device.store.get())) return error;
  if (auto error = TryFlush(device.map.get())) return error;
  if (auto error = WriteMapHeader(device.map.get(), header)) return error;
  if (auto error = TryFlush(device.map.get())) return error;
  if (auto error = TryFlushDirectory(device.directory.get())) return error;
  return TryFlushParentDirectory(device.paths.directory.c_str());
}

Expected<SparseDevice> OpenDeviceMap(SparsePaths paths, Access access) {
  Expected<OwnedDirectory> directory = TryOpenDirectory(paths.directory.c_str(), "Cannot open", paths.map.c_str());
  if (!directory) return directory.error();
  Expected<OwnedFile> map = TryOpenIn(directory->get(), NATIVE("Map"), paths.map.c_str(), access);
  if (!map) return map.error();
  const Expected<std::uint64_t> length = TrySize(map->get());
  if (!length) return length.error();
  if (*length >= kMapLengthLimit) {
    return FormatError("Sparse block device map too large, %llu bytes", static_cast<unsigned long long>(*length));
  }
  return SparseDevice{std::move(paths), std::move(*directory), std::move(*map), *length, MapHeader{}, OwnedFile()};
}

MaybeError VerifyDevice(SparseDevice* device, const StoredVisit& visit) {
  return VerifyMap(device->map.get(), device->mapLength, &device->header, visit);
}

MaybeError OpenDeviceStore(SparseDevice* device, Access access) {
  return Keep(TryOpenIn(device->directory.get(), NATIVE("Store"), device->paths.store.c_str(), access), &device->store);
}

Expected<SparseDevice> OpenSparseDevice(NativeStringView directory, Access access, const StoredVisit& visit) {
  Expected<SparsePaths> paths = SparsePathsOf(directory);
  if (!paths) return paths.error();
  Expected<SparseDevice> device = OpenDeviceMap(std::move(*paths), access);
  if (!device) return device;
  if (auto error = VerifyDevice(&*device, visit)) return *error;
  if (auto error = OpenDeviceStore(&*device, access)) return *error;
  return device;
}

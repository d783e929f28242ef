// The commands' file operations: each does exactly what was asked or ends
// the process with the error its error-returning form (file.h) gave, so the
// commands never test results.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fileio/checked/report.h"
#include "fileio/file.h"

inline OwnedFile OpenExisting(const NativeChar* path, Access access) { return OrExit(TryOpen(path, access)); }
inline OwnedFile CreateAlways(const NativeChar* path) { return OrExit(TryCreate(path)); }

inline void ReadBytes(FileHandle file, std::uint64_t offset, void* buffer, std::size_t count) {
  OrExit(TryRead(file, offset, buffer, count));
}
inline void WriteBytes(FileHandle file, std::uint64_t offset, const void* buffer, std::size_t count) {
  OrExit(TryWrite(file, offset, buffer, count));
}
inline void CopyBytes(FileHandle source, std::uint64_t from, FileHandle destination, std::uint64_t to,
                      std::uint64_t count, unsigned char* buffer, std::size_t bufferSize) {
  OrExit(TryCopyBytes(source, from, destination, to, count, buffer, bufferSize));
}
inline void WriteFill(FileHandle file, std::uint64_t offset, std::uint64_t count, unsigned char byte) {
  OrExit(TryWriteFill(file, offset, count, byte));
}
inline void AppendZeros(FileHandle file, std::uint64_t offset, std::uint64_t count) {
  OrExit(TryAppendZeros(file, offset, count));
}

inline std::uint64_t GetSize(FileHandle file) { return OrExit(TrySize(file)); }
inline bool ReserveSpace(FileHandle file, std::uint64_t size) { return OrExit(TryReserveSpace(file, size)); }
inline void SetSize(FileHandle file, std::uint64_t size) { OrExit(TrySetSize(file, size)); }
inline void SetSizeWithoutReserving(FileHandle file, std::uint64_t size) {
  OrExit(TrySetSizeWithoutReserving(file, size));
}

inline void FlushFile(FileHandle file) { OrExit(TryFlush(file)); }
inline void FlushParentDirectory(const NativeChar* path) { OrExit(TryFlushParentDirectory(path)); }

// While it lives, a failure or interruption of the process cuts the file to
// length (kCurrentLength: the length it has then), so that no room stays
// reserved past its end. Made before the room is asked for.
class CutOnFailure {
 public:
  CutOnFailure(FileHandle file, std::uint64_t length);
  ~CutOnFailure();
  CutOnFailure(const CutOnFailure&) = delete;
  CutOnFailure& operator=(const CutOnFailure&) = delete;

 private:
  int slot_;
};

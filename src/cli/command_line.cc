#include "cli/command_line.h"

#include <cstdint>
#include <optional>

#include "cli/byte_count.h"
#include "fileio/checked/report.h"
#include "flatdev/flat_device.h"
#include "sparsedev/commands/sparse_commands.h"

namespace {

constexpr NativeStringView kFlatExtension = NATIVE("fs");
constexpr NativeStringView kSparseExtension = NATIVE("sparsefs");

// Writes the usage text to standard error and ends the process with status 1.
[[noreturn]] void ExitWithUsage() {
  Fatal(
      FormatError("Usage: %s create <flat|sparse> <bytes> <dst>\n"
                  "       %s flat-to-sparse <src> <dst>\n"
                  "       %s sparse-to-flat <src> <dst>\n"
                  "       %s extend <bytes> <dst>",
                  "Quillon", "Quillon", "Quillon", "Quillon"));
}

[[noreturn]] void Fail(const NativeChar* message) { Fatal(Error{message}); }

void RequireFlatPath(NativeStringView path) {
  if (!HasExtension(path, kFlatExtension)) Fail(NATIVE("Flat block device must have extension 'fs'"));
}

void RequireSparsePath(NativeStringView path) {
  if (!HasExtension(path, kSparseExtension)) {
    Fail(NATIVE("Sparse block device must have extension 'sparsefs'"));
  }
}

void RunCreate(NativeChar** argv) {
  const NativeStringView type = argv[2];
  const NativeChar* destination = argv[4];
  if (type == NATIVE("flat")) {
    RequireFlatPath(destination);
    CreateFlat(ParseByteCount(argv[3]), destination);
  } else if (type == NATIVE("sparse")) {
    RequireSparsePath(destination);
    CreateSparse(ParseByteCount(argv[3]), destination);
  } else {
    ExitWithUsage();
  }
}

// Extends the flat or sparse device at path, chosen by its extension.
void ExtendDevice(std::uint64_t bytes, const NativeChar* path) {
  const std::optional<NativeStringView> extension = FindExtension(path);
  if (!extension) Fail(NATIVE("Device path has no extension"));
  if (*extension == kFlatExtension) {
    ExtendFlat(bytes, path);
  } else if (*extension == kSparseExtension) {
    ExtendSparse(bytes, path);
  } else {
    Fail(NATIVE("Device path has invalid extension"));
  }
}

}  // namespace

void RunCommandLine(int argc, NativeChar** argv) {
  if (argc < 2) ExitWithUsage();
  const NativeStringView command = argv[1];
  if (command == NATIVE("create")) {
    if (argc != 5) ExitWithUsage();
    RunCreate(argv);
  } else if (command == NATIVE("flat-to-sparse")) {
    if (argc != 4) ExitWithUsage();
    RequireFlatPath(argv[2]);
    RequireSparsePath(argv[3]);
    FlatToSparse(argv[2], argv[3]);
  } else if (command == NATIVE("sparse-to-flat")) {
    if (argc != 4) ExitWithUsage();
    RequireSparsePath(argv[2]);
    RequireFlatPath(argv[3]);
    SparseToFlat(argv[2], argv[3]);
  } else if (command == NATIVE("extend")) {
    if (argc != 4) ExitWithUsage();
    ExtendDevice(ParseByteCount(argv[2]), argv[3]);
  } else {
    ExitWithUsage();
  }
}

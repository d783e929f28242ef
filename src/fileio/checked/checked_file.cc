#include "fileio/checked/checked_file.h"

#include "fileio/checked/process.h"
#include "fileio/system.h"

CutOnFailure::CutOnFailure(FileHandle file, std::uint64_t length) : slot_(sys::RegisterCut(file, length)) {
  if (slot_ < 0) Fatal(Error{NATIVE("Too many files to cut on failure")});
}

CutOnFailure::~CutOnFailure() { sys::UnregisterCut(slot_); }

// Conversions between flat and sparse devices. The source is only read.
#pragma once

#include "fileio/native_text.h"

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

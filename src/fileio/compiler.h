// Compiler annotations shared by every part of the tool.
#pragma once

#ifdef __MINGW32__
// MinGW's own printf family, which knows %llu, is the one in use; its header
// names the matching format checks.
#include <cstdio>
#define QUILLON_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(__MINGW_PRINTF_FORMAT, formatIndex, firstArgument)))
#else
#define QUILLON_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif

// Test helper for Windows: opens a file with share mode 0, as another
// program holding it would, announces it by creating <file>.held, and keeps
// it open until <file>.release exists (or a minute has passed).
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  const std::wstring path = argv[1];
  const HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(CreateFileW((path + L".held").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  for (int i = 0; i < 6000; ++i) {
    if (GetFileAttributesW((path + L".release").c_str()) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(10);
  }
  CloseHandle(held);
  return 0;
}

// Helpers for the Windows-only tests: wide-path files, handles held the way
// another program would hold them, and ANSI code-page conversion.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"

namespace qvtest {

inline std::wstring Widen(std::string_view text, UINT code_page = CP_ACP) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

inline std::string Narrow(std::wstring_view text, UINT code_page = CP_ACP) {
  if (text.empty()) return {};
  int n = WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), narrow.data(), n,
                      nullptr, nullptr);
  return narrow;
}

// A build-tree path from the Linux side names the file through Wine's Z:.
inline std::wstring FromBuildTree(const std::string& path) {
  std::wstring wide = Widen(path, CP_UTF8);
  if (!wide.empty() && wide[0] == L'/') wide = L"Z:" + wide;
  for (wchar_t& c : wide) {
    if (c == L'/') c = L'\\';
  }
  return wide;
}

inline void WriteBytes(const std::wstring& path, std::string_view bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << Narrow(path) << ": error " << GetLastError();
  DWORD written = 0;
  BOOL ok = bytes.empty() || ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  ASSERT_TRUE(ok && written == bytes.size()) << Narrow(path);
}

// The file's bytes, or "<missing>" when it cannot be read.
inline std::string ReadBytes(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char buffer[65536];
  DWORD n = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
  CloseHandle(h);
  return bytes;
}

inline SYSTEMTIME Time(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second = 0) {
  SYSTEMTIME time{};
  time.wYear = year;
  time.wMonth = month;
  time.wDay = day;
  time.wHour = hour;
  time.wMinute = minute;
  time.wSecond = second;
  return time;
}

// Sets the last-write time to a moment given in UTC.
inline void SetWriteTime(const std::wstring& path, const SYSTEMTIME& utc) {
  FILETIME time;
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &time));
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << Narrow(path) << ": error " << GetLastError();
  BOOL ok = SetFileTime(h, nullptr, nullptr, &time);
  CloseHandle(h);
  ASSERT_TRUE(ok) << Narrow(path);
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline void Copy(const std::wstring& from, const std::wstring& to) {
  ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE))
      << Narrow(from) << " -> " << Narrow(to) << ": error " << GetLastError();
}

// A handle on a file held the way another program holds it.
class Holder {
 public:
  Holder(const std::wstring& path, DWORD access, DWORD share)
      : handle_(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
  ~Holder() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// Opens and lists `archive`, then runs `operation` on its entry and closes
// it: the plugin's answer, or -1 when it would not open, -2 when it listed
// no entry.
inline int OpenAndProcess(const Plugin& plugin, const std::string& archive, int operation,
                          const char* dest_path, const char* dest_name) {
  void* handle = plugin.Open(archive);
  if (!handle) return -1;
  HeaderRecord record;
  int result = plugin.ReadHeader(handle, record.data()) == kOk
                   ? plugin.Process(handle, operation, dest_path, dest_name)
                   : -2;
  plugin.CloseArchive(handle);
  return result;
}

}  // namespace qvtest

// Helpers for the Windows-only tests: wide-path files and folders, handles
// held the way another program would hold them, ANSI code-page conversion,
// and a host-side driver for in-memory packing.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"

namespace qvwin {

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
  BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
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
  while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) bytes.append(buffer, n);
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

// A fresh folder in the temporary directory (inside the Wine prefix, so on
// drive C:), removed with its contents at the end.
class Folder {
 public:
  explicit Folder(const std::wstring& tag = L"qvwin") {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::random_device random;
    for (;;) {
      path_ = std::wstring(temp, n) + tag + L"-" + std::to_wstring(random());
      if (CreateDirectoryW(path_.c_str(), nullptr)) break;
    }
  }
  ~Folder() {
    std::error_code ignored;
    // In the extended-length form, so that trees deeper than MAX_PATH go too.
    std::filesystem::remove_all(std::filesystem::path(L"\\\\?\\" + path_), ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  const std::wstring& wide() const { return path_; }
  // The folder as a host string (ANSI code page).
  std::string host() const { return Narrow(path_); }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }
  std::string Host(const std::wstring& name) const { return Narrow(*this / name); }
  // Names in the folder, sorted.
  std::vector<std::wstring> List() const {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path_), ec)) {
      names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::wstring path_;
};

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
inline int OpenAndProcess(const qvtest::Plugin& plugin, const std::string& archive, int operation,
                          const char* dest_path, const char* dest_name) {
  void* handle = plugin.Open(archive);
  if (!handle) return -1;
  qvtest::HeaderRecord record;
  int result = plugin.ReadHeader(handle, record.data()) == qvtest::kOk
                   ? plugin.Process(handle, operation, dest_path, dest_name)
                   : -2;
  plugin.CloseArchive(handle);
  return result;
}

// What a host gets from one in-memory packing job: the archive's bytes, and
// the first answer other than 0 and 1 (0 when there was none).
struct MemPackOutcome {
  std::string archive;
  int failure = 0;
  bool finished = false;  // answered 1 in the end
};

// Drives the job `handle` (from StartMemPack or StartMemPackW) to its end.
inline MemPackOutcome MemPackJob(const qvtest::Plugin& plugin, void* handle, std::string input) {
  MemPackOutcome outcome;
  std::vector<char> out(65536);
  int taken = 0, written = 0;
  int answer = 0;
  if (!input.empty()) {
    answer = plugin.PackToMem(handle, input.data(), static_cast<int>(input.size()), &taken, out.data(),
                              static_cast<int>(out.size()), &written, 0);
    if (answer > 1) outcome.failure = answer;
  }
  for (int round = 0; round < 100000 && answer != 1; ++round) {
    written = 0;
    answer = plugin.PackToMem(handle, nullptr, 0, &taken, out.data(), static_cast<int>(out.size()), &written, 0);
    if (answer > 1 && outcome.failure == 0) outcome.failure = answer;
    if (written > 0) outcome.archive.append(out.data(), static_cast<std::size_t>(written));
  }
  outcome.finished = answer == 1;
  plugin.DoneMemPack(handle);
  return outcome;
}

inline MemPackOutcome MemPack(const qvtest::Plugin& plugin, std::string name, std::string input) {
  return MemPackJob(plugin, plugin.StartMemPack(0, name.data()), std::move(input));
}

}  // namespace qvwin

// Files, folders and test data for every test: a private temporary folder,
// whole-file reads and writes, listings, and bytes that compress well or not
// at all.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace qvtest {

// A fresh folder in the temporary directory ($TMPDIR when set, else the
// system's; on Windows the one GetTempPathW names), removed with everything
// in it when the object goes.
class TempDir {
 public:
  explicit TempDir(const std::string& tag = "qvtest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The folder as a host string (on Windows in the ANSI code page).
  const std::string& path() const { return path_; }
  // path() + separator + name
  std::string operator/(const std::string& name) const;
  // Names in the folder, sorted.
  std::vector<std::string> List() const;
#ifdef _WIN32
  const std::wstring& wide() const { return wide_; }
  std::wstring operator/(const std::wstring& name) const;
  // A name inside the folder as a host string.
  std::string Host(const std::wstring& name) const;
  std::vector<std::wstring> WideList() const;
#endif

 private:
  std::string path_;
#ifdef _WIN32
  std::wstring wide_;
#endif
};

std::string ReadFile(const std::string& path);  // empty when unreadable
bool ReadFile(const std::string& path, std::string& contents);
// Raise std::runtime_error when the file cannot be written.
void WriteFile(const std::string& path, std::string_view contents);
void AppendFile(const std::string& path, std::string_view contents);
bool Exists(const std::string& path);  // links not followed
std::vector<std::string> ListDir(const std::string& path);  // sorted names; empty when unreadable
#ifndef _WIN32
// The permission and type bits (st_mode) of what the path names, links not
// followed; -1 when it names nothing.
int ModeOf(const std::string& path);
// What the files this process holds open in `folder` are, named or not
// (found through /proc, where a file without a name still shows).
std::vector<struct stat> FilesOpenIn(const std::string& folder);
// Whether the file system of `folder` makes unnamed files (O_TMPFILE).
bool HasUnnamedFiles(const std::string& folder);
// Sets the modification time (and the access time) to a Unix time.
void SetModificationTime(const std::string& path, std::time_t unix_seconds);
#endif
// The Unix time of a local date and time (the system's rule for that date).
std::time_t LocalUnixTime(int year, int month, int day, int hour, int minute, int second);

// Incompressible bytes: bzip2 cannot shrink them, so compressed sizes track
// the input and every 64 KiB block really fills.
std::string RandomBytes(std::size_t size, std::uint32_t seed = 1);
// Word-like text that compresses well (and quickly) but has no long runs.
std::string TextBytes(std::size_t size, std::uint32_t seed = 1);
// Writes `size` incompressible bytes to `path` a piece at a time, for files
// too large to hold in memory.
void WriteNoise(const std::string& path, std::uint64_t size);

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace qvtest

// Temporary folders, whole-file I/O and test data.
#include "files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include "windows_support.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace qvtest {

// ----------------------------------------------------------- the folder

#ifdef _WIN32
TempDir::TempDir(const std::string& tag) {
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring wide_tag = Widen(tag, CP_UTF8);
  std::random_device random;
  for (;;) {
    wide_ = std::wstring(temp, n) + wide_tag + L"-" + std::to_wstring(random());
    if (CreateDirectoryW(wide_.c_str(), nullptr)) break;
  }
  path_ = Narrow(wide_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  // In the extended-length form, so that trees deeper than MAX_PATH go too.
  fs::remove_all(fs::path(L"\\\\?\\" + wide_), ignored);
}

// The plugin splits Windows paths at backslashes.
std::string TempDir::operator/(const std::string& name) const { return path_ + "\\" + name; }

std::wstring TempDir::operator/(const std::wstring& name) const { return wide_ + L"\\" + name; }

std::string TempDir::Host(const std::wstring& name) const { return Narrow(*this / name); }

std::vector<std::wstring> TempDir::WideList() const {
  std::vector<std::wstring> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(fs::path(wide_), ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    names.push_back(it->path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  return names;
}
#else
TempDir::TempDir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && *base != '\0' ? base : "/tmp") + ("/" + tag + "-XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern + " failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
  if (ec) {
    // A test may have taken away write permission; give it back and retry.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::error_code ignored;
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
}

std::string TempDir::operator/(const std::string& name) const { return path_ + "/" + name; }
#endif

std::vector<std::string> TempDir::List() const { return ListDir(path_); }

// ------------------------------------------------------------ whole files

bool ReadFile(const std::string& path, std::string& contents) {
  contents.clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) contents.append(buffer, n);
  const bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

std::string ReadFile(const std::string& path) {
  std::string contents;
  ReadFile(path, contents);
  return contents;
}

namespace {

void Put(const std::string& path, std::string_view contents, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (f == nullptr) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  const bool written =
      contents.empty() || std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
  if (std::fclose(f) != 0 || !written) throw std::runtime_error("cannot write " + path);
}

}  // namespace

void WriteFile(const std::string& path, std::string_view contents) { Put(path, contents, "wb"); }

void AppendFile(const std::string& path, std::string_view contents) { Put(path, contents, "ab"); }

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(path, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

#ifndef _WIN32
int ModeOf(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode);
}

std::vector<struct stat> FilesOpenIn(const std::string& folder) {
  std::vector<struct stat> files;
  for (const std::string& fd : ListDir("/proc/self/fd")) {
    const std::string link = "/proc/self/fd/" + fd;
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    struct stat st {};
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind(folder + "/", 0) == 0 &&
        stat(link.c_str(), &st) == 0) {
      files.push_back(st);
    }
  }
  return files;
}

bool HasUnnamedFiles(const std::string& folder) {
  const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void SetModificationTime(const std::string& path, std::time_t unix_seconds) {
  const timespec times[2] = {{unix_seconds, 0}, {unix_seconds, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("cannot set the time of " + path);
  }
}
#endif

std::time_t LocalUnixTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

// -------------------------------------------------------------- test data

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::string data(size, '\0');
  std::size_t i = 0;
  for (; i + 4 <= size; i += 4) {
    const auto word = static_cast<std::uint32_t>(engine());
    std::memcpy(&data[i], &word, 4);
  }
  for (; i < size; ++i) data[i] = static_cast<char>(engine());
  return data;
}

std::string TextBytes(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {
      "archive", "stream", "block", "packer", "header", "quorvane", "bzip2",
      "the",     "of",     "and",   "file",   "data",   "host",     "plugin",
      "name",    "size",   "crc",   "time",   "\n",     "0123456789"};
  std::mt19937 engine(seed);
  std::string data;
  data.reserve(size + 16);
  while (data.size() < size) {
    data += kWords[engine() % std::size(kWords)];
    data += static_cast<char>(' ' + engine() % 3);
  }
  data.resize(size);
  return data;
}

void WriteNoise(const std::string& path, std::uint64_t size) {
  constexpr std::uint64_t kPiece = 1 << 20;
  WriteFile(path, "");
  for (std::uint32_t piece = 0; std::uint64_t{piece} * kPiece < size; ++piece) {
    const std::uint64_t left = size - std::uint64_t{piece} * kPiece;
    AppendFile(path, RandomBytes(static_cast<std::size_t>(std::min(left, kPiece)), piece + 1));
  }
}

// ---------------------------------------------------------- environment

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

ScopedEnv::~ScopedEnv() {
#ifdef _WIN32
  _putenv_s(name_.c_str(), old_ ? old_->c_str() : "");
#else
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
#endif
}

}  // namespace qvtest

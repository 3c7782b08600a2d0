// The host's only window on the operating system.
//
// Loading a plugin, files and folders, signals, the terminal and the clock
// are all reached through here; os_posix.cpp implements it for Linux.  A
// Windows port adds one more implementation file and leaves the rest alone.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace os {

// A failed system call: the message carries the system's reason only, so
// callers can put the file name and what they were doing in front of it.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ------------------------------------------------------------ the plugin

// The plugin's file name in its own folder.
extern const char* const kDefaultPluginName;

// A loaded shared library.  Move-only; the destructor unloads it.
class Library {
 public:
  Library() = default;
  Library(Library&& other) noexcept;
  Library& operator=(Library&& other) noexcept;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library();

  // Loads the library; raises Error with the loader's reason.
  static Library Load(const std::string& path);
  // The address of an exported function, or null.
  void* Find(const char* name) const noexcept;
  void* NativeHandle() const noexcept { return handle_; }

 private:
  explicit Library(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
};

// The folder of the running executable, ending in a separator.
std::string ExecutableDirectory();

// ------------------------------------------------------------ paths

bool IsSeparator(char c) noexcept;
inline constexpr char kSeparator = '/';
// What follows the last separator.
std::string NamePart(const std::string& path);
// Everything before the last separator ("." when there is none, "/" for
// names directly under the root).
std::string ParentPart(const std::string& path);
// dir + separator + name, without doubling a separator.
std::string Join(const std::string& dir, const std::string& name);
// The path made absolute against the current folder (not resolved).
std::string Absolute(const std::string& path);
// The absolute path with links, "." and ".." resolved; the path itself
// when that fails.
std::string Resolved(const std::string& path);

// ------------------------------------------------------------ files

enum class Kind { kMissing, kRegular, kDirectory, kSymlink, kOther };

struct FileInfo {
  Kind kind = Kind::kMissing;
  std::uint32_t permissions = 0;  // the rwx bits and their special bits
  std::int64_t size = 0;
  std::int64_t mtime_seconds = 0;
  std::int64_t mtime_nanoseconds = 0;
  std::int64_t uid = 0;
  std::int64_t gid = 0;
  int error = 0;  // errno-like reason when kind is kMissing
};

// What the path names; links are not followed.
FileInfo LinkInfo(const std::string& path) noexcept;
// What the path names; links are followed.
FileInfo Info(const std::string& path) noexcept;
// The system's text for an error number from FileInfo::error.
std::string ErrorText(int error);

// Raises Error when a regular file cannot be opened for reading.
void CheckReadable(const std::string& path);
// Creates the folder and any missing parents; raises Error.
void MakeDirectories(const std::string& path);
// The names inside a folder, sorted bytewise, without "." and "..".
std::vector<std::string> ListDirectory(const std::string& path);
// The target of a symbolic link.
std::string ReadLink(const std::string& path);

// Claims a name that did not exist before in `directory`:
// prefix + random part + suffix.  The file is created empty with the
// permissions a new file normally gets, never through a link.
std::string CreateUniqueFile(const std::string& directory, const std::string& prefix,
                             const std::string& suffix);
// The folder temporary files go to: $TMPDIR when it names a folder, else
// /tmp.
std::string TemporaryDirectory();
// Removes a file; quiet when it is already gone.
void RemoveFile(const std::string& path) noexcept;
// Moves `from` to `to` in one step.  Without `replace`, an existing `to`
// makes it fail with Error instead.
void Rename(const std::string& from, const std::string& to, bool replace);

// A file open for reading or writing.  Move-only; the destructor closes it.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  static File OpenRead(const std::string& path);
  // Opens an existing file for writing, emptying it.
  static File OpenWrite(const std::string& path);

  // Up to `count` bytes; 0 at the end of the file.  Raises Error.
  std::size_t Read(void* buffer, std::size_t count);
  // All `count` bytes or Error.
  void Write(const void* buffer, std::size_t count);
  // What the open file is now, whatever its name has come to mean since.
  FileInfo Info() const noexcept;
  // Flushes to the disk and closes, raising Error on failure.
  void Close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// ------------------------------------------------------------ times

// The host-record file time as "YYYY-MM-DD HH:MM:SS" in local time, or an
// empty string when the plugin had no valid time to give.
std::string FormatRecordTime(std::int32_t record_time);
// The same moment for machines: seconds since 1970 (UTC), or -1.
std::int64_t RecordTimeToUnix(std::int32_t record_time);
// Seconds from an arbitrary start; only for speeds shown to the user.
double MonotonicSeconds() noexcept;

// ------------------------------------------------------------ process

// Makes the C library and the plugin speak the user's character set; a bare
// "C" locale is taken as UTF-8, so non-ASCII messages and names survive.
void SetUpLocale();
// From now on an interrupt or termination request sets a flag instead of
// ending the process, so work can stop cleanly.  A second request ends it.
void CatchInterrupts();
bool Interrupted() noexcept;
// Whether standard error is a terminal.
bool StderrIsTerminal() noexcept;

}  // namespace os

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

// A file other programs hold, so that it cannot be replaced now; the
// message says who ("in use (another program is reading it)").
class InUse : public Error {
 public:
  using Error::Error;
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
  std::uint64_t device = 0;  // with inode: which file it is
  std::uint64_t inode = 0;
  int error = 0;  // errno-like reason when kind is kMissing
};

// What the path names; links are not followed.
FileInfo LinkInfo(const std::string& path) noexcept;
// What the path names; links are followed.
FileInfo Info(const std::string& path) noexcept;
// The system's text for an error number from FileInfo::error.
std::string ErrorText(int error);

// Creates the folder and any missing parents; raises Error.
void MakeDirectories(const std::string& path);
// The names inside a folder, sorted bytewise, without "." and "..".
std::vector<std::string> ListDirectory(const std::string& path);
// The target of a symbolic link.
std::string ReadLink(const std::string& path);

// The folder temporary files go to: $TMPDIR when it names a folder, else
// /tmp.
std::string TemporaryDirectory();
// Removes a file; quiet when it is already gone.
void RemoveFile(const std::string& path) noexcept;
// Why an archive that exists cannot be read: "in use" when another program
// holds it for writing (it has it locked), otherwise the system's reason
// for refusing to open it; empty when it can be read.
std::string ReadProblem(const std::string& path);
// Why an existing archive cannot be replaced now: "in use" when other
// programs hold it (readers, or a writer), as the plugin finds too; empty
// otherwise, a file that cannot be opened included (nobody can hold it).
std::string ReplaceProblem(const std::string& path);

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
  // Opens an existing file for reading and removes its name at once, so
  // nothing is left of it once it is closed, however wcx ends.
  static File TakeAway(const std::string& path);
  static File StandardInput();
  static File StandardOutput();

  // Up to `count` bytes; 0 at the end of the file.  Raises Error.
  std::size_t Read(void* buffer, std::size_t count);
  // All `count` bytes or Error.
  void Write(const void* buffer, std::size_t count);
  // What the open file is now, whatever its name has come to mean since.
  FileInfo Info() const noexcept;
  // Gives the space of `length` bytes from `offset` back to the file
  // system, where it can; the file keeps its size and reads zeros there.
  void Discard(std::int64_t offset, std::int64_t length) noexcept;
  bool IsTerminal() const noexcept;
  // Flushes to the disk and closes, raising Error on failure.
  void Close();

 private:
  friend class PendingFile;
  friend class PrivateFile;
  friend class PrivateFolder;
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// What wcx creates in a folder (scratch folders, partial files) is named
// .wcx-PID-RANDOM, so that a later wcx can tell what a dead run left from
// what a live one uses: before it creates anything in a folder, wcx removes
// what dead runs of the same user left there (see PendingFile,
// PrivateFile, PrivateFolder).

// A new file for a target path that appears there only once it is complete.
// On file systems that have them it is an unnamed file in the target's
// folder, linked in at the end, so nothing of it survives a crash; elsewhere
// (NFS, some FUSE) it grows under a hidden name (.wcx-PID-NUMBER.part) that
// is removed on failure, or by a later wcx after a crash.  Every step works
// relative to the folder opened at the start, so a folder renamed meanwhile
// gets no stray file.
class PendingFile {
 public:
  // Prepares a replacement for `target`: when it is a symbolic link, for
  // the file it points to; an existing file's permission bits are kept,
  // and the new file never has wider ones; a new file gets those of a new
  // file.  An existing file is held, locked without waiting, until the new
  // one is in place, as the plugin holds an archive it replaces: InUse when
  // other programs hold it.  Raises Error.
  explicit PendingFile(const std::string& target);
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile();

  File& file() noexcept { return file_; }
  // Flushes the file and puts it in place.  Without `replace` an existing
  // target makes it fail with Error (EEXIST) and stay as it was.
  void Commit(bool replace);

 private:
  File file_;
  File folder_;
  File held_;              // the file being replaced, locked
  std::string name_;       // the final name inside the folder
  std::string temporary_;  // the hidden name, when there are no unnamed files
  std::uint32_t permissions_ = 0;
  bool keep_permissions_ = false;
};

// A private scratch file in the temporary folder (readable by wcx alone)
// that the plugin can open by path().  It has no name (on file systems
// without unnamed files its name is removed as soon as it is created), so
// it cannot outlive wcx.
class PrivateFile {
 public:
  PrivateFile();
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;
  ~PrivateFile();

  File& file() noexcept { return file_; }
  const std::string& path() const noexcept { return path_; }
  // Makes the file standard input too, in place of what was there, so that
  // path() is /dev/stdin: a plugin that names an entry after its archive
  // then says "stdin", not a descriptor's number.
  void BecomeStandardInput() noexcept;

 private:
  File file_;
  std::string path_;
  bool standard_input_ = false;
};

// A new folder for one file, file_path(), readable by wcx alone, inside
// `parent`; removed with whatever is in it when destroyed.
class PrivateFolder {
 public:
  explicit PrivateFolder(const std::string& parent);
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  ~PrivateFolder();

  const std::string& file_path() const noexcept { return file_path_; }

 private:
  std::string path_;
  std::string file_path_;
  File folder_;  // locked while wcx uses it
};

// While it lives, relative paths start from `folder`; the folder wcx was in
// comes back when it is destroyed.
class FolderChange {
 public:
  explicit FolderChange(const std::string& folder);
  FolderChange(const FolderChange&) = delete;
  FolderChange& operator=(const FolderChange&) = delete;
  ~FolderChange();

 private:
  int previous_ = -1;
};

// ------------------------------------------------------------ times

// The host-record file time as seconds since 1970 (UTC), or -1 when the
// plugin had no valid time to give.
std::int64_t RecordTimeToUnix(std::int32_t record_time);
// A moment as "YYYY-MM-DD HH:MM:SS" in local time; with `iso`, as ISO 8601
// with the local offset ("YYYY-MM-DDTHH:MM:SS+HH:MM").  Empty for -1.
std::string FormatTime(std::int64_t unix_time, bool iso = false);
// The local year of a moment.
int LocalYear(std::int64_t unix_time);
// A moment as a DOS date and time in local time; 0xFFFFFFFF outside the
// years 1980 to 2107, which the DOS form cannot hold.
std::uint32_t DosTime(std::int64_t unix_time);
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
void SetEnvironment(const std::string& name, const std::string& value);
// The home folder of the account wcx runs as, from the account database
// (not $HOME); empty when there is none.
std::string AccountHome();
// The command lines (arguments after the program) of this account's
// processes that run the program `name`.
std::vector<std::vector<std::string>> RunningPrograms(const std::string& name);
// Replaces a small file's contents in one step (a temporary file beside
// it, renamed over it), keeping its permission bits.
void ReplaceContents(const std::string& path, const std::string& contents);
// A small file's whole contents.
std::string ReadAll(const std::string& path);

}  // namespace os

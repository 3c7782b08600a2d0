// The plugin's only window on the operating system.
//
// Everything that differs between Linux and Windows lives behind this header:
// files and their sharing modes, host-string conversion, the two working
// directories, run-time library loading, the message box and locks.
// posix.cpp and windows.cpp implement it; beside them, mingw_runtime.cpp
// makes the Windows DLL's own C++ runtime unload cleanly.  No file outside
// this folder includes a system header.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// Paths are kept in the system's native form: UTF-16 on Windows, the host's
// own bytes on Linux (file names there are bytes, and re-encoding them could
// change them).
#ifdef _WIN32
using PathChar = wchar_t;
#define QV_PATH(s) L##s
#else
using PathChar = char;
#define QV_PATH(s) s
#endif
using Path = std::basic_string<PathChar>;
using PathView = std::basic_string_view<PathChar>;

// ---------------------------------------------------------------- strings

// A zero-terminated host string (the system's 8-bit character set) as a path.
// A null pointer gives an empty path.
Path FromHost(const char* host);
// A path in the host's 8-bit character set; characters the set lacks become
// its replacement character.
std::string ToHost(PathView path);
// Text written in UTF-8 in the source, in the host's 8-bit character set.
std::string MessageToHost(std::string_view utf8);
#ifdef _WIN32
// The same for hosts that take wide strings.
std::wstring MessageToWide(std::string_view utf8);
#endif
// Cuts a host string to at most max_bytes without splitting a character.
std::string CutAtCharacter(std::string_view host, std::size_t max_bytes);

// ------------------------------------------------------------------ paths

#ifdef _WIN32
inline constexpr PathChar kPathSeparator = L'\\';
// Windows takes "/" wherever it takes a backslash.
inline bool IsDirectorySeparator(PathChar c) { return c == L'\\' || c == L'/'; }
// ":" also ends a path's directory part: "C:name" names a file on drive C.
inline bool IsPathSeparator(PathChar c) { return IsDirectorySeparator(c) || c == L':'; }
#else
inline constexpr PathChar kPathSeparator = '/';
inline bool IsDirectorySeparator(PathChar c) { return c == '/'; }
inline bool IsPathSeparator(PathChar c) { return c == '/'; }
#endif

// What follows the last separator.
inline Path NamePart(PathView path) {
  std::size_t i = path.size();
  while (i > 0 && !IsPathSeparator(path[i - 1])) --i;
  return Path(path.substr(i));
}
// Everything up to and including the last separator (empty when there is none).
inline Path DirectoryPart(PathView path) {
  std::size_t i = path.size();
  while (i > 0 && !IsPathSeparator(path[i - 1])) --i;
  return Path(path.substr(0, i));
}
// The path with a separator appended unless it already ends in one.
inline Path WithTrailingSeparator(Path path) {
  if (path.empty() || !IsDirectorySeparator(path.back())) path += kPathSeparator;
  return path;
}
// The path with its extension (from the last "." of the name part on)
// replaced by `extension`, which may be empty.
inline Path ChangeFileExt(PathView path, PathView extension) {
  std::size_t i = path.size();
  while (i > 0 && !IsPathSeparator(path[i - 1]) && path[i - 1] != PathChar('.')) --i;
  Path result(path);
  if (i > 0 && path[i - 1] == PathChar('.')) result.resize(i - 1);
  return result.append(extension);
}
// The path made absolute against the current directory.
Path AbsolutePath(const Path& path);
// Whether `name`, one path component, can name a file on this system.  On
// Linux anything but an empty name, "." and "..".  On Windows also no device
// name (CON, aux.txt, COM1, CONIN$...), no name ending in a dot or a space,
// and none of <>:"/\|?* or control characters.
bool CanNameFile(PathView name);

// ------------------------------------------------------------------ files

// Raised by the file layer: the type says what failed, path() the file it
// failed on.  The message names the file and the system's reason, in the
// host's 8-bit character set.  A plain FileError: an existing file could
// not be opened.
class FileError : public std::runtime_error {
 public:
  FileError(const std::string& message, Path path) : std::runtime_error(message), path_(std::move(path)) {}
  const Path& path() const noexcept { return path_; }

 private:
  Path path_;
};

// Another opener holds the file in a way that excludes this open.
class FileInUseError : public FileError {
 public:
  using FileError::FileError;
};

// Reading a file failed, or moving in or measuring one opened for reading
// only: a failure of the medium, never the end of the file.
class FileReadError : public FileError {
 public:
  using FileError::FileError;
};

// Writing a file failed, or flushing it to the disk, or moving in or
// measuring one opened for writing (a full disk, a file size limit).
class FileWriteError : public FileError {
 public:
  using FileError::FileError;
};

// A new file could not be created, closed or put in place.
class FileCreateError : public FileError {
 public:
  using FileError::FileError;
};

// An exclusive create found the name taken.
class FileExistsError : public FileCreateError {
 public:
  using FileCreateError::FileCreateError;
};

// How an open shares the file with other openers.
enum class Share {
  kNone,       // nobody else may hold the file open
  kRead,       // others may read but not write
  kReadWrite,  // others may read and write
};

enum class Origin { kBegin, kCurrent, kEnd };

// A DOS date/time that names no moment: a time unknown or out of range.
inline constexpr std::uint32_t kNoDosTime = 0xFFFFFFFF;

// Who may read a file created by CreateNew.
enum class Visibility {
  kPrivate,  // the owner only (temporary files)
  kPublic,   // as any newly created file (the user's umask applies)
};

// A move-only handle on an open regular file.  The destructor closes and
// ignores errors; Close() reports them.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens an existing regular file for reading.  FileInUseError when
  // another opener's sharing excludes this one, FileError when it cannot be
  // opened for another reason.
  static File OpenRead(const Path& path, Share share);
  // Opens an existing regular file for reading and writing, contents kept.
  static File OpenReadWrite(const Path& path, Share share);
  // Creates a new file; never follows a link and never reuses a name
  // (FileExistsError when it is taken, FileCreateError on other failures).
  static File CreateNew(const Path& path, Share share, Visibility visibility);

  bool IsOpen() const noexcept;
  const Path& Name() const noexcept { return name_; }

  // Reads up to `count` bytes; fewer only at the end of the file, 0 once
  // there.  A failure raises FileReadError.
  std::size_t Read(void* buffer, std::size_t count);
  // Writes all `count` bytes or raises FileWriteError.
  void Write(const void* buffer, std::size_t count);

  std::int64_t Seek(std::int64_t offset, Origin origin);
  std::int64_t Size();
  // Ends the file at the current position, dropping what lies after it.
  void Truncate();
  // Flushes what was written to the disk itself.
  void Sync();
  // The last-write time as a local DOS date/time, or kNoDosTime.
  std::uint32_t DosTime() const noexcept;
  // Sets the last-write time from a local DOS date/time; false when it names
  // no moment or the system refuses.
  bool SetDosTime(std::uint32_t dos_time) noexcept;
  // Closes the file, raising FileCreateError when the system reports a
  // failure: what was written may not all be there.
  void Close();

  // Wraps a system handle, open for writing or not; for the platform
  // implementation only.
  static File FromHandle(std::intptr_t handle, Path name, bool writing);

 private:
  friend class PendingFile;  // puts its file in place by handle
  File(std::intptr_t handle, Path name, bool writing)
      : handle_(handle), name_(std::move(name)), writing_(writing) {}
  template <typename Error>
  [[noreturn]] void Fail(const char* what) const;
  // A failure that is neither a read nor a write counts as one of what the
  // file is open for.
  [[noreturn]] void FailUse(const char* what) const;

  std::intptr_t handle_ = -1;
  Path name_;
  bool writing_ = false;
};

// A private file (its owner's only) for data that never needs a name: a
// job's scratch space in `directory`.  Nothing of it outlives the File, not
// even a crash of the process: it is created unnamed (Linux's O_TMPFILE)
// where the file system allows it, else named prefix + number + suffix and
// removed at once (Linux) or deleted when its handle closes (Windows).
// Raises FileCreateError when it cannot be created.
File CreateScratchFile(const Path& directory, PathView prefix, PathView suffix);

enum class FileKind { kMissing, kRegular, kDirectory, kLink, kOther };
// What the path names, links followed (never kLink).
FileKind KindOf(const Path& path) noexcept;
// What the path itself is, a link not followed.
FileKind EntryKindOf(const Path& path) noexcept;
// The file a chain of symbolic links ends at (the path itself when it is
// none); the end need not exist.  FileCreateError when the chain does not
// end, so nothing can take its place.
Path ResolveLinks(const Path& path);

// Removes a file; false when it could not be removed.
bool RemoveFile(const Path& path) noexcept;
// --------------------------------------------------------------- times

// The file-time and attribute fields of the host's header record, as hosts
// on this system read them.
std::uint32_t HostRecordTime(std::uint32_t dos_time) noexcept;
std::uint32_t HostRecordAttributes() noexcept;

// --------------------------------------------------------- pending files

// A new file that takes the place of `target` only once it is whole.  The
// target's folder is opened once, and every step after that (create, write,
// time-stamp, flush, put in place, remove after a failure) works on that
// open folder and the open file, never on a path again: a folder renamed or
// swapped for a link meanwhile changes nothing, and nothing is written
// through a link.  Until it is in place the file has no name where the
// system allows (Linux's O_TMPFILE; on Windows it is marked to be deleted
// when closed), so that not even a crash leaves it behind; elsewhere it
// grows under a short hidden name beside the target (".qv" and digits) and
// goes with the object.  Its permissions are never wider than those it has
// in place.
class PendingFile {
 public:
  // Its attributes (permissions) in place: those of any new file, or those
  // of the file it replaces, when there is one.  kTarget also holds that
  // file until the commit, so that nobody reads it meanwhile:
  // FileInUseError, without waiting, when another opener (a reader) holds
  // it.
  enum class Attributes { kNew, kTarget };

  // Raises FileCreateError when the file cannot be created, or when a
  // folder, a FIFO or a device is at the target.
  PendingFile(const Path& target, Attributes attributes);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  File& file() noexcept { return file_; }
  // Gives the file `dos_time` as its last-write time (none for kNoDosTime)
  // and its attributes, flushes it to the disk and puts it in place of the
  // target in one step: a link at the target is replaced, not followed.
  void Commit(std::uint32_t dos_time = kNoDosTime);

 private:
  Path target_;
  Path name_;       // the target's name in its folder
  File folder_;     // the target's folder, open
  File file_;
  Path temporary_;  // the file's own name in the folder; empty while it has none
  File claim_;      // the file it replaces, held (kTarget)
  std::uint32_t attributes_ = 0;  // permission bits (Linux) or attribute bits (Windows) to give it
  bool keep_attributes_ = false;
  bool committed_ = false;
};

// ------------------------------------------------------------ directories

// The system's temporary directory, ending in a separator.
Path TempDirectory();
// The directory of the plugin's own module file, ending in a separator.
Path ModuleDirectory();

// ------------------------------------------------------------- libraries

using LibraryHandle = void*;
// The bzip2 library to bind: the one beside the plugin, or the system's.
Path CompressionLibraryPath(const Path& module_directory);
// Null when the library cannot be loaded.
LibraryHandle LoadLibrary(const Path& path) noexcept;
void FreeLibrary(LibraryHandle library) noexcept;
// Null when the library lacks the function.
void* LibraryFunction(LibraryHandle library, const char* name) noexcept;

// ----------------------------------------------------------- message box

// A host-supplied message box (text, caption, flags); flags 0 is one OK
// button without an icon.
using HostMessageBox = int (*)(char* text, char* caption, long flags);
void SetHostMessageBox(HostMessageBox message_box) noexcept;
// Shows a modal message with one OK button and no icon: through the host's
// message box when it gave one, else the system's own way.  Both strings are
// host strings.
void ShowMessage(const std::string& text, const std::string& caption) noexcept;

// ----------------------------------------------------------------- locks

#ifdef _WIN32
// A lock built on the system's slim lock.  It is constant-initialized and
// holds no system object, so a static one needs no start-up code and leaves
// nothing behind when the module is unloaded; the static runtime's std::mutex
// allocates on first use and never gives it back.
class Mutex {
 public:
  constexpr Mutex() noexcept = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  void lock() noexcept;
  void unlock() noexcept;
  bool try_lock() noexcept;

 private:
  friend class ConditionVariable;
  void* state_ = nullptr;  // an SRWLOCK
};

// A condition variable on the system's own (CONDITION_VARIABLE), for the
// same reason: nothing to allocate, nothing left behind.  The subset of
// std::condition_variable the plugin uses.
class ConditionVariable {
 public:
  constexpr ConditionVariable() noexcept = default;
  ConditionVariable(const ConditionVariable&) = delete;
  ConditionVariable& operator=(const ConditionVariable&) = delete;
  void notify_one() noexcept;
  void notify_all() noexcept;
  void wait(std::unique_lock<Mutex>& lock) noexcept;
  std::cv_status wait_for(std::unique_lock<Mutex>& lock, std::chrono::milliseconds timeout) noexcept;
  template <typename Predicate>
  void wait(std::unique_lock<Mutex>& lock, Predicate ready) {
    while (!ready()) wait(lock);
  }
  template <typename Predicate>
  bool wait_for(std::unique_lock<Mutex>& lock, std::chrono::milliseconds timeout, Predicate ready) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!ready()) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= until) return ready();
      wait_for(lock, std::chrono::ceil<std::chrono::milliseconds>(until - now));
    }
    return true;
  }

 private:
  void* state_ = nullptr;  // a CONDITION_VARIABLE
};
#else
using Mutex = std::mutex;
using ConditionVariable = std::condition_variable;
#endif

// --------------------------------------------------------------- threads

// Identifies the calling thread among the threads alive now.
std::uint64_t CurrentThreadId() noexcept;

// The processors this process may run on; at least 1.
int ProcessorCount() noexcept;

// An environment variable's value, empty when it is not set.
std::string EnvironmentValue(const char* name);

// A thread of the plugin's own.  It holds a reference on the plugin's module
// while it runs, so a host that unloads the plugin meanwhile never pulls the
// code from under it: on Windows the thread gives its reference back as its
// very last act (FreeLibraryAndExitThread); on Linux the module stays mapped
// for the rest of the process once any thread has been started.  The thread
// takes no asynchronous signals (they stay the host's).  An exception that
// leaves `body` ends the thread quietly: the body reports its own failures.
class Thread {
 public:
  Thread() noexcept = default;
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;
  // Joins.
  ~Thread();

  // Raises std::system_error when the system gives no thread.
  static Thread Start(std::function<void()> body);
  bool Joinable() const noexcept { return started_; }
  void Join() noexcept;

 private:
  std::uintptr_t handle_ = 0;
  bool started_ = false;
};

}  // namespace platform

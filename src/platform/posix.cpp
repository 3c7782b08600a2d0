// The platform layer on Linux: POSIX files with advisory locks standing in
// for sharing modes, the locale's character set for host strings, dlopen for
// the compression library.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/system.h"
#include "utf8.h"

namespace platform {
namespace {

// The system's reason for a failure, in the locale's character set.
std::string Reason(int error) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text ? text : "unknown error";
}

// Raises the failure to open (FileError) or to create (FileCreateError)
// `path`, for the system's `error`.
template <typename Error = FileError>
[[noreturn]] void ThrowFileError(const Path& path, int error) {
  std::string message = path + ": " + Reason(error);
  if (error == EEXIST) throw FileExistsError(message, path);
  throw Error(message, path);
}

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

bool IsUtf8Locale() {
  const char* codeset = nl_langinfo(CODESET);
  return codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

// The bytes of the character at text[at]; a byte that starts no
// well-formed character stands alone.
std::size_t CharacterLength(std::string_view text, std::size_t at) {
  return std::max<std::size_t>(1, qvcommon::Utf8CharacterLength(text, at));
}

// Takes the sharing lock for `share` on a freshly opened descriptor; false
// only when another opener's lock conflicts.  Advisory locks only bind
// openers that lock too, which all of this plugin's opens do.  A file system
// that cannot lock (NFS refuses an exclusive lock on a descriptor opened for
// reading with EBADF; others answer ENOLCK, ENOSYS, EOPNOTSUPP or EINVAL)
// shares the file without a lock rather than making it unusable.
bool Lock(int fd, Share share) {
  int operation = share == Share::kNone ? LOCK_EX : LOCK_SH;
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno != EWOULDBLOCK;
  }
  // An opener that shares reading and writing holds no lock: it only checks
  // that nobody holds the file unshared.
  if (share == Share::kReadWrite) flock(fd, LOCK_UN);
  return true;
}

// Opens an existing regular file.  Non-blocking at first, so that a FIFO
// without a writer cannot stall the open; the kind is checked before
// anything is read or written.
File OpenRegular(const Path& path, int flags, Share share) {
  if (faults::Hit(faults::kOpen)) ThrowFileError(path, EIO);
  Path name = path;  // copied first: nothing may fail while the descriptor is bare
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    ThrowFileError(path, S_ISDIR(st.st_mode) ? EISDIR : ENXIO);
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) ThrowFileError(path, errno);
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
  } else if (!Lock(fd, share)) {
    error = EWOULDBLOCK;
  } else {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  }
  if (error != 0) {
    ::close(fd);
    if (error == EWOULDBLOCK) throw FileInUseError(path + ": the file is in use by another program", path);
    ThrowFileError(path, error);
  }
  return File::FromHandle(fd, std::move(name), (flags & O_ACCMODE) != O_RDONLY);
}

// Creates `name` anew, relative to the open folder `folder` (AT_FDCWD: the
// current one): never over a name that exists, never through a link.
// `shown` names it in errors.
File CreateAt(int folder, const Path& name, mode_t mode, const Path& shown) {
  if (faults::Hit(faults::kOpen)) ThrowFileError<FileCreateError>(shown, EIO);
  Path kept = shown;  // copied first: nothing may fail once the file exists
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) ThrowFileError<FileCreateError>(shown, errno);
  return File::FromHandle(fd, std::move(kept), true);
}

}  // namespace

// ---------------------------------------------------------------- strings

Path FromHost(const char* host) { return host ? Path(host) : Path(); }

std::string ToHost(PathView path) { return std::string(path); }

std::string MessageToHost(std::string_view utf8) {
  if (IsUtf8Locale()) return std::string(utf8);
  std::string result;
  iconv_t cd = iconv_open(nl_langinfo(CODESET), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    for (std::size_t i = 0; i < utf8.size(); i += CharacterLength(utf8, i)) {
      result += static_cast<unsigned char>(utf8[i]) < 0x80 ? utf8[i] : '?';
    }
    return result;
  }
  // One character at a time, so that a character the set lacks becomes '?'.
  for (std::size_t i = 0; i < utf8.size();) {
    const std::size_t length = CharacterLength(utf8, i);
    char out[16];
    char* in_ptr = const_cast<char*>(utf8.data() + i);
    std::size_t in_left = length;
    char* out_ptr = out;
    std::size_t out_left = sizeof out;
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<std::size_t>(-1)) {
      result += '?';
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    } else {
      result.append(out, static_cast<std::size_t>(out_ptr - out));
    }
    i += length;
  }
  iconv_close(cd);
  return result;
}

std::string CutAtCharacter(std::string_view host, std::size_t max_bytes) {
  if (host.size() <= max_bytes) return std::string(host);
  std::size_t end = 0;
  if (IsUtf8Locale() || MB_CUR_MAX == 1) {
    // File names on Linux are UTF-8 in practice, even where the process runs
    // in a single-byte locale: never cut inside a sequence.
    end = max_bytes;
    while (end > 0 && (static_cast<unsigned char>(host[end]) & 0xC0) == 0x80) --end;
    return std::string(host.substr(0, end));
  }
  std::mbstate_t state{};
  while (end < host.size()) {
    std::size_t length = std::mbrlen(host.data() + end, host.size() - end, &state);
    if (length == 0 || length > host.size() - end) {  // invalid or incomplete: one byte
      length = 1;
      state = std::mbstate_t{};
    }
    if (end + length > max_bytes) break;
    end += length;
  }
  return std::string(host.substr(0, end));
}

// ------------------------------------------------------------------ paths

// Linux file names are bytes: anything but "/" and the zero byte goes, and
// the separator has already been cut away by the caller.
bool CanNameFile(PathView name) { return !name.empty() && name != "." && name != ".."; }

Path AbsolutePath(const Path& path) {
  if (!path.empty() && path.front() == '/') return path;
  std::string directory(4096, '\0');
  while (::getcwd(directory.data(), directory.size()) == nullptr) {
    if (errno != ERANGE) return path;
    directory.resize(directory.size() * 2);
  }
  directory.resize(std::strlen(directory.c_str()));
  return WithTrailingSeparator(directory) + path;
}

// ------------------------------------------------------------------ files

File File::FromHandle(std::intptr_t handle, Path name, bool writing) {
  return File(handle, std::move(name), writing);
}

File::File(File&& other) noexcept
    : handle_(other.handle_), name_(std::move(other.name_)), writing_(other.writing_) {
  other.handle_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(Fd(handle_));
    handle_ = other.handle_;
    name_ = std::move(other.name_);
    writing_ = other.writing_;
    other.handle_ = -1;
  }
  return *this;
}

File::~File() {
  if (handle_ >= 0) ::close(Fd(handle_));
}

File File::OpenRead(const Path& path, Share share) { return OpenRegular(path, O_RDONLY, share); }

File File::OpenReadWrite(const Path& path, Share share) { return OpenRegular(path, O_RDWR, share); }

File File::CreateNew(const Path& path, Share share, Visibility visibility) {
  File file = CreateAt(AT_FDCWD, path, visibility == Visibility::kPrivate ? 0600 : 0666, path);
  Lock(Fd(file.handle_), share);  // nobody else can hold a name that did not exist
  return file;
}

bool File::IsOpen() const noexcept { return handle_ >= 0; }

std::size_t File::Read(void* buffer, std::size_t count) {
  if (faults::Hit(faults::kRead)) {
    errno = EIO;
    Fail<FileReadError>("read");
  }
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(Fd(handle_), static_cast<char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail<FileReadError>("read");
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void File::Write(const void* buffer, std::size_t count) {
  if (faults::Hit(faults::kWrite)) {
    errno = EIO;
    Fail<FileWriteError>("write");
  }
  std::size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(Fd(handle_), static_cast<const char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;  // no progress, and no reason given
    if (n <= 0) Fail<FileWriteError>("write");
    done += static_cast<std::size_t>(n);
  }
}

template <typename Error>
void File::Fail(const char* what) const {
  int error = errno;
  if (error == 0) error = EIO;
  throw Error(name_ + ": " + what + ": " + Reason(error), name_);
}

void File::FailUse(const char* what) const {
  if (writing_) Fail<FileWriteError>(what);
  Fail<FileReadError>(what);
}

std::int64_t File::Seek(std::int64_t offset, Origin origin) {
  int whence = origin == Origin::kBegin ? SEEK_SET : origin == Origin::kCurrent ? SEEK_CUR : SEEK_END;
  if (faults::Hit(faults::kSeek)) {
    errno = EIO;
    FailUse("seek");
  }
  off_t position = ::lseek(Fd(handle_), static_cast<off_t>(offset), whence);
  if (position < 0) FailUse("seek");
  return position;
}

std::int64_t File::Size() {
  struct stat st;
  if (::fstat(Fd(handle_), &st) != 0) FailUse("size");
  return st.st_size;
}

void File::Truncate() {
  const off_t position = ::lseek(Fd(handle_), 0, SEEK_CUR);
  if (position < 0 || ::ftruncate(Fd(handle_), position) != 0) Fail<FileWriteError>("truncate");
}

void File::Sync() {
  if (faults::Hit(faults::kWrite)) {
    errno = EIO;
    Fail<FileWriteError>("sync");
  }
  while (::fsync(Fd(handle_)) != 0) {
    if (errno != EINTR) Fail<FileWriteError>("sync");
  }
}

void File::Close() {
  if (handle_ < 0) return;
  int fd = Fd(handle_);
  handle_ = -1;
  bool injected = faults::Hit(faults::kClose);
  // The descriptor is gone whatever close() answers; EINTR is no failure.
  if (::close(fd) != 0 && errno != EINTR) Fail<FileCreateError>("close");
  if (injected) {
    errno = EIO;
    Fail<FileCreateError>("close");
  }
}

namespace {

FileKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  if (S_ISLNK(mode)) return FileKind::kLink;
  return FileKind::kOther;
}

}  // namespace

FileKind KindOf(const Path& path) noexcept {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return FileKind::kMissing;
  return KindOfMode(st.st_mode);
}

FileKind EntryKindOf(const Path& path) noexcept {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) return FileKind::kMissing;
  return KindOfMode(st.st_mode);
}

Path ResolveLinks(const Path& path) {
  Path current = path;
  // As many steps as the system itself follows before it gives up (ELOOP).
  for (int step = 0; step < 40; ++step) {
    std::string target(4096, '\0');
    ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) return current;  // not a link (or nothing there): the end of the chain
    target.resize(static_cast<std::size_t>(n));
    current = !target.empty() && target.front() == '/' ? target : DirectoryPart(current) + target;
  }
  ThrowFileError<FileCreateError>(path, ELOOP);
}

bool RemoveFile(const Path& path) noexcept { return !path.empty() && ::unlink(path.c_str()) == 0; }

// --------------------------------------------------------------- times

namespace {

// The local moment of a DOS date/time; false when the fields are no date.
bool DosToTm(std::uint32_t dos, struct tm& tm) {
  tm = {};
  tm.tm_year = static_cast<int>((dos >> 25) & 0x7F) + 80;
  tm.tm_mon = static_cast<int>((dos >> 21) & 0x0F) - 1;
  tm.tm_mday = static_cast<int>((dos >> 16) & 0x1F);
  tm.tm_hour = static_cast<int>((dos >> 11) & 0x1F);
  tm.tm_min = static_cast<int>((dos >> 5) & 0x3F);
  tm.tm_sec = static_cast<int>(dos & 0x1F) * 2;
  tm.tm_isdst = -1;
  return dos != kNoDosTime && tm.tm_mon >= 0 && tm.tm_mon < 12 && tm.tm_mday >= 1 &&
         tm.tm_hour < 24 && tm.tm_min < 60 && tm.tm_sec < 60;
}

bool DosToTime(std::uint32_t dos, time_t& result) {
  struct tm tm;
  if (!DosToTm(dos, tm)) return false;
  int day = tm.tm_mday, month = tm.tm_mon;
  result = mktime(&tm);
  // mktime quietly moves 31 February to March: no such date.
  return result != static_cast<time_t>(-1) && tm.tm_mday == day && tm.tm_mon == month;
}

}  // namespace

namespace {

// A moment as a local DOS date/time, or kNoDosTime.
std::uint32_t LocalDosTime(time_t moment) {
  struct tm tm;
  if (localtime_r(&moment, &tm) == nullptr) return kNoDosTime;
  int year = tm.tm_year + 1900;
  if (year < 1980 || year > 2107) return kNoDosTime;
  return static_cast<std::uint32_t>(year - 1980) << 25 | static_cast<std::uint32_t>(tm.tm_mon + 1) << 21 |
         static_cast<std::uint32_t>(tm.tm_mday) << 16 | static_cast<std::uint32_t>(tm.tm_hour) << 11 |
         static_cast<std::uint32_t>(tm.tm_min) << 5 | static_cast<std::uint32_t>(tm.tm_sec / 2);
}

}  // namespace

std::uint32_t File::DosTime() const noexcept {
  struct stat st;
  if (::fstat(Fd(handle_), &st) != 0) return kNoDosTime;
  return LocalDosTime(st.st_mtime);
}

bool File::SetDosTime(std::uint32_t dos_time) noexcept {
  time_t moment;
  if (!DosToTime(dos_time, moment)) return false;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = moment;
  times[1].tv_nsec = 0;
  return ::futimens(Fd(handle_), times) == 0;
}

// Linux hosts read the time field as time_t and the attributes as st_mode.
std::uint32_t HostRecordTime(std::uint32_t dos_time) noexcept {
  time_t moment;
  if (!DosToTime(dos_time, moment)) return 0;
  return static_cast<std::uint32_t>(moment);
}

std::uint32_t HostRecordAttributes() noexcept { return S_IFREG | 0644; }

// ------------------------------------------------- temporary and pending files

namespace {

// A path that names the open file `fd`: linkat() through it with
// AT_SYMLINK_FOLLOW links an unnamed file in without the privilege that
// AT_EMPTY_PATH needs.
std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// An unnamed file (O_TMPFILE) in the folder `folder` names, relative to the
// open folder `at`; no file (not open) when the file system has none (NFS,
// some FUSE) or, for a file to be `linked` in later, when /proc is missing.
// Any other failure raises.  `shown` names it in errors.
File CreateUnnamed(int at, const Path& folder, mode_t mode, bool linked, const Path& shown) {
  if (faults::Hit(faults::kUnnamed)) return File();
  if (faults::Hit(faults::kOpen)) ThrowFileError<FileCreateError>(shown, EIO);
  Path name = shown;  // copied first: nothing may fail while the descriptor is bare
  int fd;
  do {
    fd = ::openat(at, folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT) return File();
    ThrowFileError<FileCreateError>(shown, errno);
  }
  File file = File::FromHandle(fd, std::move(name), true);
  if (linked && ::access(FdPath(fd).c_str(), F_OK) != 0) return File();
  return file;
}

void SyncFolder(int folder) {
  // Nothing can be done about a failure: the data itself is on the disk.
  while (::fsync(folder) != 0 && errno == EINTR) {
  }
}

}  // namespace

File CreateScratchFile(const Path& directory, PathView prefix, PathView suffix) {
  if (File unnamed = CreateUnnamed(AT_FDCWD, directory, 0600, false, directory); unnamed.IsOpen()) return unnamed;
  Path name;
  File file = CreateUnique(directory + Path(prefix), suffix, directory, name,
                           [](const Path& candidate) { return CreateAt(AT_FDCWD, candidate, 0600, candidate); });
  // Open, it needs no name: removed now, nothing is left if the process dies.
  ::unlink(name.c_str());
  return file;
}

PendingFile::PendingFile(const Path& target, Attributes attributes)
    : target_(target), name_(NamePart(target)) {
  if (name_.empty()) ThrowFileError<FileCreateError>(target, EISDIR);
  Path directory = DirectoryPart(target);
  if (faults::Hit(faults::kOpen)) ThrowFileError<FileCreateError>(target, EIO);
  int folder;
  do {
    folder = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (folder < 0 && errno == EINTR);
  if (folder < 0) ThrowFileError<FileCreateError>(target, errno);
  folder_ = File::FromHandle(folder, std::move(directory), false);

  mode_t mode = 0666;  // less the umask, as for any new file
  struct stat st;
  if (::fstatat(folder, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // A folder, a FIFO or a device is not the user's file to replace.
    if (S_ISDIR(st.st_mode)) ThrowFileError<FileCreateError>(target, EISDIR);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) ThrowFileError<FileCreateError>(target, ENXIO);
    if (attributes == Attributes::kTarget && S_ISREG(st.st_mode)) {
      attributes_ = st.st_mode & 07777;
      keep_attributes_ = true;
      mode = st.st_mode & 0777;  // never more than the file it replaces allows
      // A file its readers hold (shared) is not replaced while they read
      // it, as Windows' sharing has it too; held here without waiting until
      // the new file is in place, so that no reader starts on it meanwhile.
      // A file that cannot be opened here cannot be held, and is replaced
      // all the same.
      Path held_name = target;  // copied first: nothing may fail while the descriptor is bare
      const int held = ::openat(folder, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (held >= 0) {
        claim_ = File::FromHandle(held, std::move(held_name), false);
        if (!Lock(held, Share::kNone)) {
          throw FileInUseError(target + ": the file is in use by another program", target);
        }
      }
    }
  }
  file_ = CreateUnnamed(folder, Path(), mode, true, target);
  if (!file_.IsOpen()) {
    file_ = CreateUnique(QV_PATH(".qv"), Path(), target, temporary_,
                         [&](const Path& candidate) { return CreateAt(folder, candidate, mode, target); });
  }
}

PendingFile::~PendingFile() {
  file_ = File();
  if (!temporary_.empty()) ::unlinkat(Fd(folder_.handle_), temporary_.c_str(), 0);
}

void PendingFile::Commit(std::uint32_t dos_time) {
  const int folder = Fd(folder_.handle_);
  // The umask may have narrowed the kept mode, and no setuid bit is made at
  // creation.  Should this fail, the file stays narrower, never wider.
  if (keep_attributes_) ::fchmod(Fd(file_.handle_), attributes_);
  if (dos_time != kNoDosTime) file_.SetDosTime(dos_time);
  file_.Sync();
  // An unnamed file is linked in through a second descriptor, so that the
  // first one's close is checked before the file takes the target's place.
  File linker;
  if (temporary_.empty()) {
    Path name = target_;  // copied first: nothing may fail while the descriptor is bare
    const int fd = ::fcntl(Fd(file_.handle_), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) ThrowFileError<FileCreateError>(target_, errno);
    linker = File::FromHandle(fd, std::move(name), false);
  }
  file_.Close();
  if (faults::Hit(faults::kRename)) ThrowFileError<FileCreateError>(target_, EIO);
  if (linker.IsOpen()) {
    const std::string source = FdPath(Fd(linker.handle_));
    if (::linkat(AT_FDCWD, source.c_str(), folder, name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      committed_ = true;
    } else if (errno != EEXIST) {
      ThrowFileError<FileCreateError>(target_, errno);
    } else {
      // A link refuses a taken name: the file gets a hidden one, then one
      // rename puts it over the target.
      const std::optional<Path> hidden =
          qvcommon::ClaimUniqueName<PathChar>(QV_PATH(".qv"), PathView(), [&](const Path& candidate) {
            if (::linkat(AT_FDCWD, source.c_str(), folder, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
            if (errno != EEXIST) ThrowFileError<FileCreateError>(target_, errno);
            return false;
          });
      if (!hidden) ThrowFileError<FileCreateError>(target_, EEXIST);
      temporary_ = *hidden;
    }
  }
  if (!committed_) {
    if (::renameat(folder, temporary_.c_str(), folder, name_.c_str()) != 0) {
      ThrowFileError<FileCreateError>(target_, errno);
    }
    temporary_.clear();
    committed_ = true;
  }
  SyncFolder(folder);
  claim_ = File();
}

// --------------------------------------------------------------- threads

std::uint64_t CurrentThreadId() noexcept { return static_cast<std::uint64_t>(::gettid()); }

int ProcessorCount() noexcept {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 && online < 4096 ? static_cast<int>(online) : 1;
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

namespace {

void* ThreadMain(void* body) {
  const std::unique_ptr<std::function<void()>> run(static_cast<std::function<void()>*>(body));
  try {
    (*run)();
  } catch (...) {
    // The body reports its own failures.
  }
  return nullptr;
}

// The module is never unmapped once a thread of its own has run: a host
// that closes it with an in-memory job open leaves that job's threads
// running its code.
void KeepModuleMapped() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&ThreadMain), &info) == 0 || !info.dli_fname) return;
    if (void* self = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) ::dlclose(self);
  });
}

}  // namespace

Thread Thread::Start(std::function<void()> body) {
  KeepModuleMapped();
  auto run = std::make_unique<std::function<void()>>(std::move(body));
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  const int error = ::pthread_create(&thread, nullptr, ThreadMain, run.get());
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (error != 0) throw std::system_error(error, std::generic_category(), "pthread_create");
  run.release();
  Thread started;
  started.handle_ = static_cast<std::uintptr_t>(thread);
  started.started_ = true;
  return started;
}

void Thread::Join() noexcept {
  if (!started_) return;
  ::pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

// ------------------------------------------------------------ directories

Path TempDirectory() {
  const char* dir = std::getenv("TMPDIR");
  if (dir && *dir && KindOf(dir) == FileKind::kDirectory) return WithTrailingSeparator(dir);
  return "/tmp/";
}

Path ModuleDirectory() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) == 0 || !info.dli_fname ||
      !*info.dli_fname) {
    return "/";
  }
  Path directory = DirectoryPart(AbsolutePath(info.dli_fname));
  return directory.empty() ? Path("/") : directory;
}

// ------------------------------------------------------------- libraries

Path CompressionLibraryPath(const Path& module_directory) {
  Path beside = module_directory + "libbz2.so.1.0";
  struct stat st;
  if (::lstat(beside.c_str(), &st) == 0) return beside;
  return "libbz2.so.1.0";
}

LibraryHandle LoadLibrary(const Path& path) noexcept {
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void FreeLibrary(LibraryHandle library) noexcept {
  if (library) ::dlclose(library);
}

void* LibraryFunction(LibraryHandle library, const char* name) noexcept {
  if (!library || faults::Hit(faults::kLookup)) return nullptr;
  return ::dlsym(library, name);
}

// ----------------------------------------------------------- message box

void ShowSystemMessage(const std::string& text, const std::string& caption) noexcept {
  try {
    std::string line = text;
    for (char& c : line) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), line.c_str());
    std::fflush(stderr);
  } catch (...) {
    // Nowhere left to report to.
  }
}

}  // namespace platform

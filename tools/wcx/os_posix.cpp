// Linux implementation of the host's operating-system layer.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include "os.h"
#include "unique_name.h"

namespace os {

const char* const kDefaultPluginName = "quorvane.wcx";

namespace {

[[noreturn]] void Fail(int error) { throw Error(ErrorText(error)); }

FileInfo FromStat(const struct stat& st) {
  FileInfo info;
  if (S_ISREG(st.st_mode)) {
    info.kind = Kind::kRegular;
  } else if (S_ISDIR(st.st_mode)) {
    info.kind = Kind::kDirectory;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = Kind::kSymlink;
  } else {
    info.kind = Kind::kOther;
  }
  info.permissions = st.st_mode & 07777;
  info.size = st.st_size;
  info.mtime_seconds = st.st_mtim.tv_sec;
  info.mtime_nanoseconds = st.st_mtim.tv_nsec;
  info.uid = st.st_uid;
  info.gid = st.st_gid;
  info.device = st.st_dev;
  info.inode = st.st_ino;
  return info;
}

// What a stat call found: `status` is its result.
FileInfo Described(int status, const struct stat& st) {
  if (status != 0) {
    FileInfo missing;
    missing.error = errno;
    return missing;
  }
  return FromStat(st);
}

volatile sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) { interrupted = 1; }

}  // namespace

// ------------------------------------------------------------ the plugin

Library::Library(Library&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

Library::~Library() {
  if (handle_ != nullptr) dlclose(handle_);
}

Library Library::Load(const std::string& path) {
  // Without a slash the loader would search the system's library folders
  // instead of the current one.
  std::string where = path.find('/') == std::string::npos ? "./" + path : path;
  FileInfo info = Info(where);
  if (info.kind == Kind::kMissing) Fail(info.error);
  if (info.kind == Kind::kDirectory) Fail(EISDIR);
  dlerror();
  void* handle = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    std::string text = reason != nullptr ? reason : "cannot be loaded";
    // The loader repeats the path in front of its reason.
    if (text.rfind(where + ": ", 0) == 0) text.erase(0, where.size() + 2);
    throw Error(text);
  }
  return Library(handle);
}

void* Library::Find(const char* name) const noexcept {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

std::string ExecutableDirectory() {
  std::string buffer(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return "./";
  buffer.resize(static_cast<std::size_t>(n));
  return buffer.substr(0, buffer.rfind('/') + 1);
}

// ------------------------------------------------------------ paths

bool IsSeparator(char c) noexcept { return c == '/'; }

std::string NamePart(const std::string& path) {
  std::size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string ParentPart(const std::string& path) {
  std::size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  if (cut == 0) return "/";
  return path.substr(0, cut);
}

std::string Join(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::string cwd(4096, '\0');
  while (getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) Fail(errno);
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::strlen(cwd.c_str()));
  return Join(cwd, path);
}

std::string Resolved(const std::string& path) {
  char* real = realpath(path.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved = real;
  std::free(real);
  return resolved;
}

// ------------------------------------------------------------ files

FileInfo LinkInfo(const std::string& path) noexcept {
  struct stat st;
  int status = lstat(path.c_str(), &st);
  return Described(status, st);
}

FileInfo Info(const std::string& path) noexcept {
  struct stat st;
  int status = stat(path.c_str(), &st);
  return Described(status, st);
}

std::string ErrorText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

namespace {

// Takes the lock `operation` on `fd` without waiting; true only when another
// opener's lock refuses it (EWOULDBLOCK).  Any other failure (EBADF from NFS,
// ENOLCK, ENOSYS, EOPNOTSUPP, EINVAL) means there are no locks to be had
// there, and the file is used without one, as the plugin does.
bool LockRefused(int fd, int operation) {
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EINTR) return errno == EWOULDBLOCK;
  }
  return false;
}

// Who keeps the lock `operation` off `fd`, in the user's words; empty when
// nobody does, and then the lock is taken.  Readers take shared locks and
// writers exclusive ones, as the plugin and wcx do, so only a writer keeps
// a shared lock off.
std::string InUseText(int fd, int operation) {
  if (!LockRefused(fd, operation)) return "";
  return operation == LOCK_SH || LockRefused(fd, LOCK_SH)
             ? "in use (another program is writing it)"
             : "in use (another program is reading it)";
}

}  // namespace

std::string ReadProblem(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return ErrorText(errno);
  const std::string problem = InUseText(fd, LOCK_SH);
  close(fd);
  return problem;
}

std::string ReplaceProblem(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return "";
  const std::string problem = InUseText(fd, LOCK_EX);
  close(fd);
  return problem;
}

void MakeDirectories(const std::string& path) {
  std::string sofar;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    sofar = path.substr(0, end);
    start = end + 1;
    if (sofar.empty() || sofar == "." || sofar == "..") continue;
    if (mkdir(sofar.c_str(), 0777) != 0) {
      int error = errno;
      if (error == EEXIST && Info(sofar).kind == Kind::kDirectory) continue;
      Fail(error == EEXIST ? ENOTDIR : error);
    }
  }
}

namespace {

// The names inside the folder open as `fd`, which is closed, as
// ListDirectory gives them.
std::vector<std::string> ListAndClose(int fd) {
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    if (fd >= 0) close(fd);
    Fail(error);
  }
  rewinddir(dir);  // a duplicated descriptor shares its position
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
    errno = 0;
  }
  int error = errno;
  closedir(dir);
  if (error != 0) Fail(error);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::string> ListDirectory(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) Fail(errno);
  return ListAndClose(fd);
}

std::string ReadLink(const std::string& path) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) Fail(errno);
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string TemporaryDirectory() {
  // The plugin's own rule, so that wcx names the folder the plugin used.
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && Info(tmpdir).kind == Kind::kDirectory) return tmpdir;
  return "/tmp";
}

void RemoveFile(const std::string& path) noexcept { unlink(path.c_str()); }

namespace {

// File systems without unnamed files answer O_TMPFILE with one of these.
bool NoUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT;
}

// Creates a file under a new hidden name in the open folder; the name.
std::string CreateNamed(int folder, const std::string& prefix, const std::string& suffix,
                        std::uint32_t permissions, int& fd) {
  const std::optional<std::string> name =
      qvcommon::ClaimUniqueName<char>(prefix, suffix, [&](const std::string& candidate) {
        fd = openat(folder, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    permissions);
        if (fd >= 0) return true;
        if (errno != EEXIST) Fail(errno);
        return false;
      });
  if (!name) Fail(EEXIST);
  return *name;
}

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The names of what this wcx creates in a folder start so; a random part
// follows, and ".part" after that for a partial file.
std::string OwnPrefix() { return ".wcx-" + std::to_string(getpid()) + "-"; }
constexpr char kLeftoverHead[] = ".wcx-";
constexpr char kPartSuffix[] = ".part";
// The one file in a scratch folder.
constexpr char kScratchFile[] = "data";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The process that named something `name` in the form above, and whether
// it is a partial file (`part`); 0 for a name of any other form.
pid_t Creator(std::string name, bool& part) {
  const std::size_t head = sizeof kLeftoverHead - 1;
  const std::size_t suffix = sizeof kPartSuffix - 1;
  part = name.size() > suffix && name.compare(name.size() - suffix, suffix, kPartSuffix) == 0;
  if (part) name.resize(name.size() - suffix);
  const std::size_t dash = name.find('-', head);
  if (name.rfind(kLeftoverHead, 0) != 0 || dash == std::string::npos || dash == head ||
      dash - head > 9 || dash + 1 == name.size()) {
    return 0;
  }
  for (std::size_t at = head; at < name.size(); ++at) {
    const char c = name[at];
    const bool letter = (c | 0x20) >= 'a' && (c | 0x20) <= 'z';
    if (at < dash ? !IsDigit(c) : at > dash && !IsDigit(c) && !letter) return 0;
  }
  return static_cast<pid_t>(std::stol(name.substr(head, dash - head)));
}

// What the plugin may leave in a scratch folder besides wcx's file: its
// own partial file, .qvNUMBER, where there are no unnamed files.
bool IsPluginPartial(const std::string& name) {
  return name.size() > 3 && name.rfind(".qv", 0) == 0 &&
         std::all_of(name.begin() + 3, name.end(), IsDigit);
}

// Removes the files in the open folder `folder` whose names `removable`
// accepts.
template <typename Accept>
void RemoveFiles(int folder, Accept removable) noexcept {
  try {
    for (const std::string& name : ListAndClose(fcntl(folder, F_DUPFD_CLOEXEC, 0))) {
      if (removable(name)) unlinkat(folder, name.c_str(), 0);
    }
  } catch (...) {
  }
}

// Removes what dead runs of wcx, of this user, left in the open folder
// `folder` after a crash: partial files, and scratch folders with what the
// plugin or wcx put in them, nothing else.  A run is dead when its process
// is gone and nothing holds the lock a live run keeps on what it uses; the
// lock tells a live run in another process-id namespace, or on another
// machine sharing the folder, whose process cannot be seen from here.
void RemoveLeftovers(int folder) noexcept {
  std::vector<std::string> names;
  try {
    names = ListAndClose(fcntl(folder, F_DUPFD_CLOEXEC, 0));
  } catch (...) {
    return;
  }
  for (const std::string& name : names) {
    bool part = false;
    const pid_t pid = Creator(name, part);
    // A zombie, or a process of another user under a number used again,
    // still counts as there: what it left waits.
    if (pid <= 0 || pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH) continue;
    const int left = openat(folder, name.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                                (part ? 0 : O_DIRECTORY));
    if (left < 0) continue;
    struct stat st;
    const bool dead = fstat(left, &st) == 0 && st.st_uid == geteuid() && !LockRefused(left, LOCK_EX);
    if (dead && part && S_ISREG(st.st_mode)) {
      unlinkat(folder, name.c_str(), 0);
    } else if (dead && !part && (st.st_mode & 077) == 0) {
      RemoveFiles(left, [](const std::string& inside) {
        return inside == kScratchFile || IsPluginPartial(inside);
      });
      unlinkat(folder, name.c_str(), AT_REMOVEDIR);
    }
    close(left);
  }
}

// Marks what this wcx uses as a live run's (see RemoveLeftovers); where
// there are no locks, the process id alone tells.
void ClaimAsLive(int fd) noexcept { flock(fd, LOCK_EX | LOCK_NB); }

}  // namespace

PendingFile::PendingFile(const std::string& target) {
  // A link's own file is the one to replace; a dangling link is replaced
  // itself.
  std::string real = target;
  if (LinkInfo(target).kind == Kind::kSymlink && Info(target).kind != Kind::kMissing) {
    real = Resolved(target);
  }
  name_ = NamePart(real);
  const int folder = open(ParentPart(real).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) Fail(errno);
  folder_ = File(folder);
  struct stat st;
  std::uint32_t mode = 0666;
  if (fstatat(folder, name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
    permissions_ = st.st_mode & 07777;
    keep_permissions_ = true;
    mode = permissions_ & 0777;
    // A file its readers hold is not replaced under them, as the plugin
    // has it: it is held, locked without waiting, until the new one is in
    // place, so that no reader starts on it meanwhile.  A file that cannot
    // be opened cannot be held, and is replaced all the same.
    held_ = File(openat(folder, name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                                                   O_CLOEXEC));
    if (held_.fd_ >= 0) {
      const std::string in_use = InUseText(held_.fd_, LOCK_EX);
      if (!in_use.empty()) throw InUse(in_use);
    }
  }
  RemoveLeftovers(folder);
  int fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
  if (fd < 0) {
    if (!NoUnnamedFiles(errno)) Fail(errno);
    temporary_ = CreateNamed(folder, OwnPrefix(), kPartSuffix, mode, fd);
  }
  file_ = File(fd);
  ClaimAsLive(fd);
}

PendingFile::~PendingFile() {
  file_ = File();
  if (!temporary_.empty()) unlinkat(folder_.fd_, temporary_.c_str(), 0);
}

void PendingFile::Commit(bool replace) {
  const int folder = folder_.fd_;
  // The umask may have narrowed a kept mode, and setuid bits are not made
  // at creation.
  if (keep_permissions_ && fchmod(file_.fd_, permissions_) != 0) Fail(errno);
  if (fsync(file_.fd_) != 0) Fail(errno);
  if (temporary_.empty()) {
    // Linking an unnamed file refuses a taken name; replacing goes through
    // a hidden name, then one rename over the target.
    const std::string source = FdPath(file_.fd_);
    if (!replace) {
      if (linkat(AT_FDCWD, source.c_str(), folder, name_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
        Fail(errno);
      }
    } else {
      const std::optional<std::string> hidden = qvcommon::ClaimUniqueName<char>(
          OwnPrefix(), kPartSuffix, [&](const std::string& candidate) {
            if (linkat(AT_FDCWD, source.c_str(), folder, candidate.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
              return true;
            }
            if (errno != EEXIST) Fail(errno);
            return false;
          });
      if (!hidden) Fail(EEXIST);
      temporary_ = *hidden;
    }
  }
  if (!temporary_.empty()) {
    if (replace) {
      if (renameat(folder, temporary_.c_str(), folder, name_.c_str()) != 0) Fail(errno);
    } else if (renameat2(folder, temporary_.c_str(), folder, name_.c_str(), RENAME_NOREPLACE) !=
               0) {
      if (errno != EINVAL && errno != ENOSYS) Fail(errno);
      // File systems without the no-replace rename still refuse a taken
      // name for a hard link.
      if (linkat(folder, temporary_.c_str(), folder, name_.c_str(), 0) != 0) Fail(errno);
      unlinkat(folder, temporary_.c_str(), 0);
    }
    temporary_.clear();
  }
  if (fsync(folder) != 0 && errno != EINVAL) Fail(errno);
  file_.Close();
  held_ = File();
}

PrivateFile::PrivateFile() {
  const int folder = open(TemporaryDirectory().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) Fail(errno);
  const File open_folder(folder);
  RemoveLeftovers(folder);
  int fd = openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (!NoUnnamedFiles(errno)) Fail(errno);
    // Open, it needs no name: removed at once, nothing is left however wcx
    // ends, and the plugin opens it through /proc all the same.
    unlinkat(folder, CreateNamed(folder, OwnPrefix(), kPartSuffix, 0600, fd).c_str(), 0);
  }
  file_ = File(fd);
  path_ = FdPath(fd);
}

PrivateFile::~PrivateFile() {
  // The copy's space goes back now, not when wcx ends.
  if (!standard_input_) return;
  const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nothing < 0) return;
  dup2(nothing, STDIN_FILENO);
  close(nothing);
}

void PrivateFile::BecomeStandardInput() noexcept {
  if (dup2(file_.fd_, STDIN_FILENO) < 0) return;
  standard_input_ = true;
  const FileInfo named = Info("/dev/stdin");
  const FileInfo copy = file_.Info();
  if (named.kind == Kind::kRegular && named.device == copy.device && named.inode == copy.inode) {
    path_ = "/dev/stdin";
  }
}

PrivateFolder::PrivateFolder(const std::string& parent) {
  const int at = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (at < 0) Fail(errno);
  const File open_parent(at);
  RemoveLeftovers(at);
  std::string pattern = Join(parent, OwnPrefix() + "XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) Fail(errno);
  path_ = pattern;
  const int fd = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    rmdir(path_.c_str());
    Fail(error);
  }
  folder_ = File(fd);
  ClaimAsLive(fd);
  file_path_ = Join(path_, kScratchFile);
}

PrivateFolder::~PrivateFolder() {
  // Only the plugin and wcx write here: plain files, no subfolders.
  RemoveFiles(folder_.fd_, [](const std::string&) { return true; });
  rmdir(path_.c_str());
}

FolderChange::FolderChange(const std::string& folder) {
  previous_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (previous_ < 0) Fail(errno);
  if (chdir(folder.c_str()) != 0) {
    int error = errno;
    close(previous_);
    Fail(error);
  }
}

FolderChange::~FolderChange() {
  if (fchdir(previous_) != 0) std::abort();  // relative paths would name other files
  close(previous_);
}

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) close(fd_);
}

File File::OpenRead(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(errno);
  return File(fd);
}

File File::TakeAway(const std::string& path) {
  // Open for writing too, so that Discard may give space back.
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) Fail(errno);
  File file(fd);
  if (unlink(path.c_str()) != 0) Fail(errno);
  return file;
}

File File::StandardInput() {
  int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) Fail(errno);
  return File(fd);
}

File File::StandardOutput() {
  int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) Fail(errno);
  return File(fd);
}

std::size_t File::Read(void* buffer, std::size_t count) {
  for (;;) {
    ssize_t n = read(fd_, buffer, count);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) Fail(errno);
  }
}

void File::Write(const void* buffer, std::size_t count) {
  const char* next = static_cast<const char*>(buffer);
  while (count > 0) {
    ssize_t n = write(fd_, next, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
    }
    if (n == 0) Fail(EIO);
    next += n;
    count -= static_cast<std::size_t>(n);
  }
}

FileInfo File::Info() const noexcept {
  struct stat st;
  int status = fstat(fd_, &st);
  return Described(status, st);
}

void File::Discard(std::int64_t offset, std::int64_t length) noexcept {
  fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length);
}

bool File::IsTerminal() const noexcept { return isatty(fd_) == 1; }

void File::Close() {
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && close(fd) != 0) Fail(errno);
}

// ------------------------------------------------------------ times

std::int64_t RecordTimeToUnix(std::int32_t record_time) {
  // Linux hosts read the field as time_t; 0 marks a time the plugin could
  // not express.
  if (record_time == 0) return -1;
  return static_cast<std::uint32_t>(record_time);
}

std::string FormatTime(std::int64_t unix_time, bool iso) {
  if (unix_time < 0) return "";
  time_t seconds = static_cast<time_t>(unix_time);
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return "";
  char text[40];
  std::strftime(text, sizeof text, iso ? "%Y-%m-%dT%H:%M:%S%z" : "%Y-%m-%d %H:%M:%S", &local);
  std::string formatted = text;
  // ISO 8601 writes the offset as +HH:MM.
  if (iso && formatted.size() >= 5) formatted.insert(formatted.size() - 2, ":");
  return formatted;
}

int LocalYear(std::int64_t unix_time) {
  time_t seconds = static_cast<time_t>(unix_time);
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return 0;
  return local.tm_year + 1900;
}

std::uint32_t DosTime(std::int64_t unix_time) {
  time_t seconds = static_cast<time_t>(unix_time);
  struct tm t;
  if (localtime_r(&seconds, &t) == nullptr) return 0xFFFFFFFFu;
  const int year = t.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(year - 1980) << 25 |
         static_cast<std::uint32_t>(t.tm_mon + 1) << 21 |
         static_cast<std::uint32_t>(t.tm_mday) << 16 | static_cast<std::uint32_t>(t.tm_hour) << 11 |
         static_cast<std::uint32_t>(t.tm_min) << 5 | static_cast<std::uint32_t>(t.tm_sec / 2);
}

double MonotonicSeconds() noexcept {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ------------------------------------------------------------ process

void SetUpLocale() {
  std::setlocale(LC_ALL, "");
  const char* codeset = nl_langinfo(CODESET);
  if (codeset != nullptr && std::strcmp(codeset, "ANSI_X3.4-1968") == 0) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
  }
}

void CatchInterrupts() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Restarted calls keep the plugin's own file operations from failing
  // with EINTR; a second request gets the default action and ends wcx.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
}

bool Interrupted() noexcept { return interrupted != 0; }

bool StderrIsTerminal() noexcept { return isatty(STDERR_FILENO) == 1; }

void SetEnvironment(const std::string& name, const std::string& value) {
  if (setenv(name.c_str(), value.c_str(), 1) != 0) Fail(errno);
}

std::string AccountHome() {
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

std::vector<std::vector<std::string>> RunningPrograms(const std::string& name) {
  const uid_t me = getuid();
  std::vector<std::vector<std::string>> found;
  std::vector<std::string> entries;
  try {
    entries = ListDirectory("/proc");
  } catch (const Error&) {
    return found;
  }
  for (const std::string& pid : entries) {
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat st;
    if (stat(("/proc/" + pid).c_str(), &st) != 0 || st.st_uid != me) continue;
    // The program's file name, whatever the process calls itself (a link
    // in /usr/bin, or the name the kernel cuts to 15 characters).
    std::string arguments;
    try {
      if (NamePart(ReadLink("/proc/" + pid + "/exe")) != name) continue;
      arguments = ReadAll("/proc/" + pid + "/cmdline");
    } catch (const Error&) {
      continue;
    }
    std::vector<std::string> command_line;
    for (std::size_t at = 0; at < arguments.size();) {
      const std::size_t end = arguments.find('\0', at);
      command_line.push_back(arguments.substr(at, end - at));
      at = end == std::string::npos ? arguments.size() : end + 1;
    }
    if (!command_line.empty()) command_line.erase(command_line.begin());
    found.push_back(std::move(command_line));
  }
  return found;
}

std::string ReadAll(const std::string& path) {
  File file = File::OpenRead(path);
  std::string contents;
  char buffer[65536];
  while (std::size_t got = file.Read(buffer, sizeof buffer)) contents.append(buffer, got);
  return contents;
}

void ReplaceContents(const std::string& path, const std::string& contents) {
  PendingFile pending(path);
  pending.file().Write(contents.data(), contents.size());
  pending.Commit(true);
}

}  // namespace os

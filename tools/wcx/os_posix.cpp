// Linux implementation of the host's operating-system layer.
#include "os.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
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

void CheckReadable(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) Fail(errno);
  close(fd);
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

std::vector<std::string> ListDirectory(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) Fail(errno);
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

std::string CreateUniqueFile(const std::string& directory, const std::string& prefix,
                             const std::string& suffix) {
  const std::optional<std::string> path = qvcommon::ClaimUniqueName<char>(
      Join(directory, prefix), suffix, [](const std::string& candidate) {
        const int fd =
            open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
          close(fd);
          return true;
        }
        if (errno != EEXIST) Fail(errno);
        return false;
      });
  if (!path) Fail(EEXIST);
  return *path;
}

std::string TemporaryDirectory() {
  // The plugin's own rule, so that wcx names the folder the plugin used.
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir != nullptr && Info(tmpdir).kind == Kind::kDirectory) return tmpdir;
  return "/tmp";
}

void RemoveFile(const std::string& path) noexcept { unlink(path.c_str()); }

void Rename(const std::string& from, const std::string& to, bool replace) {
  if (replace) {
    if (rename(from.c_str(), to.c_str()) != 0) Fail(errno);
    return;
  }
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) Fail(errno);
  // File systems without the no-replace rename still refuse a taken name
  // for a hard link.
  if (link(from.c_str(), to.c_str()) != 0) Fail(errno);
  unlink(from.c_str());
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

File File::OpenWrite(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
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

void File::Close() {
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && close(fd) != 0) Fail(errno);
}

// ------------------------------------------------------------ times

std::string FormatRecordTime(std::int32_t record_time) {
  // Linux hosts read the field as time_t; 0 marks a time the plugin could
  // not express.
  if (record_time == 0) return "";
  time_t seconds = static_cast<time_t>(static_cast<std::uint32_t>(record_time));
  struct tm local;
  if (localtime_r(&seconds, &local) == nullptr) return "";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::int64_t RecordTimeToUnix(std::int32_t record_time) {
  if (record_time == 0) return -1;
  return static_cast<std::uint32_t>(record_time);
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

}  // namespace os

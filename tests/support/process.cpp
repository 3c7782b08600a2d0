// Children, programs and this process's resources.
#include "process.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#ifdef _WIN32
#include "windows_support.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace qvtest {

#ifdef _WIN32
// ------------------------------------------------------------- isolation

std::optional<int> RunIsolated(const std::function<int()>& fn, int timeout_seconds) {
  // No fork: a thread that does not come back is abandoned (and leaked).
  struct Job {
    std::function<int()> fn;
    int value = 0;
    bool ok = false;
  };
  auto* job = new Job{fn};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* arg) -> DWORD {
        auto* j = static_cast<Job*>(arg);
        try {
          j->value = j->fn();
          j->ok = true;
        } catch (...) {
        }
        return 0;
      },
      job, 0, nullptr);
  if (thread == nullptr) {
    delete job;
    return std::nullopt;
  }
  DWORD waited = WaitForSingleObject(thread, static_cast<DWORD>(timeout_seconds) * 1000);
  CloseHandle(thread);
  if (waited != WAIT_OBJECT_0) return std::nullopt;
  std::optional<int> result;
  if (job->ok) result = job->value;
  delete job;
  return result;
}

int CountOpenFds() {
  // The process's handles: a file the plugin forgot to close shows here.
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}
#else
// ------------------------------------------------------------- isolation

namespace {

// How a forked child ended, and the bytes it sent back.
struct ChildEnd {
  bool finished = false;  // it came back within the time allowed
  int status = 0;         // as waitpid reports it
  std::string sent;
};

// Runs `body` in a forked child that sends back what it returns.  A child
// still running after `timeout_seconds` is killed.
ChildEnd Fork(const std::function<std::string()>& body, int timeout_seconds) {
  ChildEnd end;
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) {
    close(fds[0]);
    // A child that hangs (a FIFO opened for writing, say) dies instead.
    alarm(static_cast<unsigned>(timeout_seconds) + 5);
    std::string sent;
    try {
      sent = body();
    } catch (const std::exception& e) {
      sent = std::string("exception in child: ") + e.what();
    } catch (...) {
      sent = "unknown exception in child";
    }
    for (std::size_t done = 0; done < sent.size();) {
      const ssize_t n = write(fds[1], sent.data() + done, sent.size() - done);
      if (n <= 0) _exit(4);
      done += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  pollfd ready{fds[0], POLLIN, 0};
  for (;;) {
    const int polled = poll(&ready, 1, timeout_seconds * 1000);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) break;  // time is up
    char chunk[512];
    const ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      end.finished = true;
      break;
    }
    end.sent.append(chunk, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (!end.finished) kill(pid, SIGKILL);
  while (waitpid(pid, &end.status, 0) < 0 && errno == EINTR) {
  }
  return end;
}

}  // namespace

std::optional<int> RunIsolated(const std::function<int()>& fn, int timeout_seconds) {
  const ChildEnd end = Fork(
      [&] {
        const int value = fn();
        return std::string(reinterpret_cast<const char*>(&value), sizeof value);
      },
      timeout_seconds);
  if (!end.finished || !WIFEXITED(end.status) || WEXITSTATUS(end.status) != 0 ||
      end.sent.size() != sizeof(int)) {
    return std::nullopt;
  }
  int value = 0;
  std::memcpy(&value, end.sent.data(), sizeof value);
  return value;
}

std::string RunInChild(const std::function<std::string()>& body) {
  const ChildEnd end = Fork(body, 120);
  if (WIFSIGNALED(end.status)) {
    return end.sent + " [child killed by signal " + std::to_string(WTERMSIG(end.status)) + "]";
  }
  if (!WIFEXITED(end.status) || WEXITSTATUS(end.status) != 0) {
    return end.sent + " [child exited abnormally]";
  }
  return end.sent;
}

void ImitateFullDisk(std::uint64_t max_file_size) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit;
  limit.rlim_cur = max_file_size;
  limit.rlim_max = max_file_size;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

int CountOpenFds() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the descriptor of the listing itself
}

// -------------------------------------------------------------- programs

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

namespace {

std::string KeyOf(const std::string& assignment) {
  return assignment.substr(0, assignment.find('='));
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::string& cwd,
             const std::vector<std::string>& env, bool hold_stderr) {
  std::vector<std::string> environment = env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool overridden = std::any_of(env.begin(), env.end(), [&](const std::string& mine) {
      return KeyOf(mine) == KeyOf(entry);
    });
    if (!overridden) environment.push_back(entry);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  if (hold_stderr) {
    // Filled to the brim, the pipe takes nothing more until it is read.
    // The program's end must block again, so the flag is cleared before
    // the program shares it.
    fcntl(err_pipe[1], F_SETFL, O_NONBLOCK);
    const char block[4096] = {};
    for (;;) {
      ssize_t n = write(err_pipe[1], block, sizeof block);
      if (n <= 0) n = write(err_pipe[1], block, 1);
      if (n <= 0) break;
      filler_ += static_cast<std::size_t>(n);
    }
    fcntl(err_pipe[1], F_SETFL, 0);
  }
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
}

Child::~Child() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Finish();
  }
}

bool Child::Pump() {
  pollfd fds[2];
  nfds_t count = 0;
  if (out_fd_ >= 0) fds[count++] = {out_fd_, POLLIN, 0};
  if (err_fd_ >= 0) fds[count++] = {err_fd_, POLLIN, 0};
  if (count == 0) return false;
  if (poll(fds, count, -1) < 0) return errno == EINTR;
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    char buffer[65536];
    ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    bool is_out = fds[i].fd == out_fd_;
    if (n <= 0) {
      close(fds[i].fd);
      (is_out ? out_fd_ : err_fd_) = -1;
      continue;
    }
    std::size_t skip = is_out ? 0 : std::min(filler_, static_cast<std::size_t>(n));
    filler_ -= skip;
    (is_out ? outcome_.out : outcome_.err)
        .append(buffer + skip, static_cast<std::size_t>(n) - skip);
  }
  return true;
}

bool Child::WaitForError(const std::string& text) {
  while (outcome_.err.find(text) == std::string::npos) {
    if (!Pump()) return false;
  }
  return true;
}

bool Child::WaitUntilHeld() {
  // The system call it waits in: write (1) to descriptor 2.
  const std::string where = "/proc/" + std::to_string(pid_) + "/syscall";
  for (;;) {
    std::string call;
    if (!std::getline(std::ifstream(where), call) || call.empty()) return false;
    if (call.rfind("1 0x2 ", 0) == 0) return true;
    siginfo_t ended{};
    if (waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        ended.si_pid != 0) {
      return false;
    }
    usleep(1000);
  }
}

void Child::Signal(int signal_number) { kill(pid_, signal_number); }

Outcome Child::Finish() {
  while (Pump()) {
  }
  if (pid_ > 0) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
  }
  return outcome_;
}

Outcome RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::vector<std::string>& env) {
  Child child(argv, cwd, env);
  return child.Finish();
}

FolderWatch::FolderWatch(const std::string& folder) : fd_(inotify_init1(IN_CLOEXEC)) {
  if (fd_ < 0 || inotify_add_watch(fd_, folder.c_str(), IN_CREATE) < 0) {
    throw std::runtime_error("cannot watch " + folder);
  }
}

FolderWatch::~FolderWatch() { close(fd_); }

bool FolderWatch::WaitForCreation(const std::string& prefix) {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    pollfd ready = {fd_, POLLIN, 0};
    if (poll(&ready, 1, 60000) <= 0) return false;
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && std::string(event->name).rfind(prefix, 0) == 0) return true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}
#endif

// ------------------------------------------------------------- resources

namespace {

// A "Key:   123 kB" line of /proc/self/status.
long StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  const std::size_t length = std::strlen(key);
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, length, key) == 0) return std::strtol(line.c_str() + length, nullptr, 10);
  }
  return -1;
}

}  // namespace

long ResidentKiB() { return StatusKiB("VmRSS:"); }

long PeakResidentKiB() { return StatusKiB("VmHWM:"); }

long long HeapInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  const struct mallinfo2 info = mallinfo2();
  // Small blocks in use plus large ones served straight from mmap.
  return static_cast<long long>(info.uordblks + info.hblkhd);
#else
  return -1;
#endif
}

}  // namespace qvtest

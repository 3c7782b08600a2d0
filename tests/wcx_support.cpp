// Child processes, files and hand-made archives for the wcx tests.
#include "wcx_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace wcx_test {

namespace {

std::string KeyOf(const std::string& assignment) {
  return assignment.substr(0, assignment.find('='));
}

void Put32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
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

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

void SetModificationTime(const std::string& path, std::int64_t unix_seconds) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(unix_seconds);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("cannot set the time of " + path);
  }
}

std::string MakeArchive(const std::string& stored_name, const std::string& content,
                        const std::string& scratch_folder) {
  std::string plain = scratch_folder + "/payload";
  WriteFile(plain, content);
  Outcome bzip2 = RunProgram({"/usr/bin/bzip2", "-9", "-c", plain}, scratch_folder);
  unlink(plain.c_str());
  if (bzip2.status != 0) throw std::runtime_error("bzip2 failed: " + bzip2.err);
  std::string archive = "QUORVANE";
  Put32(archive, static_cast<std::uint32_t>(content.size()));
  Put32(archive, static_cast<std::uint32_t>(bzip2.out.size()));
  Put32(archive, (44u << 25) | (3u << 21) | (5u << 16) | (14u << 11) | (7u << 5) | 4u);
  archive += static_cast<char>(stored_name.size());
  archive += std::string(3, '\0');
  Put32(archive, Crc32(content));
  return archive + stored_name + bzip2.out;
}

void WriteNoise(const std::string& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::vector<std::uint64_t> block(8192);
  for (std::uint64_t written = 0; written < size;) {
    for (std::uint64_t& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    std::uint64_t bytes = std::min<std::uint64_t>(size - written, block.size() * 8);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(bytes));
    written += bytes;
  }
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace wcx_test

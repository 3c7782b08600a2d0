// Test tools shared by the engine and in-memory packing tests.
#include "engine_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace enginetest {

ScratchFolder::ScratchFolder() {
  char templ[] = "/tmp/qvengine.XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchFolder::operator/(const std::string& name) const {
  return path_ + "/" + name;
}

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

void WriteFileBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void AppendFileBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot append to " + path);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

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

std::string BzipProgramCompress(const std::string& data, const std::string& scratch) {
  const std::string plain = scratch + "/bzip2-input";
  const std::string packed = scratch + "/bzip2-output.bz2";
  WriteFileBytes(plain, data);
  if (RunShell("bzip2 -9 -c " + ShellQuote(plain) + " > " + ShellQuote(packed)) != 0) {
    throw std::runtime_error("bzip2 failed");
  }
  std::string result = ReadFileBytes(packed);
  std::remove(plain.c_str());
  std::remove(packed.c_str());
  return result;
}

std::optional<std::string> BzipProgramDecompressFile(const std::string& path) {
  const std::string out = path + ".restored";
  const int status = RunShell("bzip2 -d -c " + ShellQuote(path) + " > " + ShellQuote(out) +
                              " 2>/dev/null");
  std::optional<std::string> result;
  if (status == 0) result = ReadFileBytes(out);
  std::remove(out.c_str());
  return result;
}

namespace {
void PutLittleEndian32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}
}  // namespace

std::string MakeArchive(const std::string& name, const std::string& contents,
                        const std::string& payload, std::uint32_t dos_time) {
  std::string archive = "QUORVANE";
  PutLittleEndian32(archive, static_cast<std::uint32_t>(contents.size()));
  PutLittleEndian32(archive, static_cast<std::uint32_t>(payload.size()));
  PutLittleEndian32(archive, dos_time);
  archive += static_cast<char>(name.size());
  archive += std::string(3, '\0');
  PutLittleEndian32(archive, Crc32(contents));
  return archive + name + payload;
}

int CountOpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

std::string RunInChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    close(fds[0]);
    // A child that hangs (a FIFO opened for writing, say) dies instead.
    alarm(120);
    std::string verdict;
    try {
      verdict = body();
    } catch (const std::exception& e) {
      verdict = std::string("exception in child: ") + e.what();
    } catch (...) {
      verdict = "unknown exception in child";
    }
    const char* p = verdict.data();
    std::size_t left = verdict.size();
    while (left > 0) {
      const ssize_t n = write(fds[1], p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  std::string verdict;
  char chunk[512];
  for (;;) {
    const ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    verdict.append(chunk, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFSIGNALED(status)) {
    return verdict + " [child killed by signal " + std::to_string(WTERMSIG(status)) + "]";
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return verdict + " [child exited abnormally]";
  }
  return verdict;
}

void ImitateFullDisk(std::uint64_t max_file_size) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit;
  limit.rlim_cur = max_file_size;
  limit.rlim_max = max_file_size;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

namespace {
thread_local ProgressRecorder* current_recorder = nullptr;
}  // namespace

ProgressRecorder::ProgressRecorder(int stop_at) : stop_at_(stop_at), previous_(current_recorder) {
  current_recorder = this;
}

ProgressRecorder::~ProgressRecorder() { current_recorder = previous_; }

std::int64_t ProgressRecorder::SizeSum(const std::string& name) const {
  std::int64_t sum = 0;
  for (const auto& report : reports_) {
    if (report.has_name && report.name == name) sum += report.size;
  }
  return sum;
}

std::vector<int> ProgressRecorder::Sizes(const std::string& name) const {
  std::vector<int> sizes;
  for (const auto& report : reports_) {
    if (report.has_name && report.name == name) sizes.push_back(report.size);
  }
  return sizes;
}

int ProgressRecorder::Callback(char* file_name, int size) {
  ProgressRecorder* recorder = current_recorder;
  if (recorder == nullptr) return 1;
  recorder->reports_.push_back(
      {file_name != nullptr, file_name != nullptr ? std::string(file_name) : std::string(), size});
  const int number = static_cast<int>(recorder->reports_.size());
  return recorder->stop_at_ > 0 && number >= recorder->stop_at_ ? 0 : 1;
}

}  // namespace enginetest

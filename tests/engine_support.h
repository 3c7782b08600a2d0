// Small tools shared by the engine and in-memory packing tests: scratch
// folders, test data, whole-file I/O, running the real bzip2/tar programs,
// child processes for resource-limit trials, and a progress recorder that
// stands in for the host's callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "reference_crc32.h"

namespace enginetest {

// A private folder under /tmp, removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const;

 private:
  std::string path_;
};

// Incompressible bytes: bzip2 cannot shrink them, so compressed sizes track
// the input and every 64 KiB staging buffer really fills.
std::string RandomBytes(std::size_t size, std::uint32_t seed);
// Word-like text that compresses well (and quickly) but has no long runs.
std::string TextBytes(std::size_t size, std::uint32_t seed);

void WriteFileBytes(const std::string& path, const std::string& data);
void AppendFileBytes(const std::string& path, const std::string& data);
std::string ReadFileBytes(const std::string& path);
bool FileExists(const std::string& path);
// Names of the entries of a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& folder);

// The path inside single quotes, safe for /bin/sh.
std::string ShellQuote(const std::string& text);
// Runs a shell command; its exit status (-1 when it did not exit normally).
int RunShell(const std::string& command);

// What the real bzip2 program makes of data: `bzip2 -9 -c`.
std::string BzipProgramCompress(const std::string& data, const std::string& scratch);
// `bzip2 -d -c` of a file; nullopt when bzip2 refuses it.
std::optional<std::string> BzipProgramDecompressFile(const std::string& path);

// Standard CRC-32 (zip, PNG), independent of the plugin's own.
using qvtest::Crc32;

// A Quorvane archive assembled by hand around a given payload.
std::string MakeArchive(const std::string& name, const std::string& contents,
                        const std::string& payload, std::uint32_t dos_time = 0x5A8B6C21);

// Open descriptors of this process, from /proc/self/fd.
int CountOpenDescriptors();

// Runs `body` in a forked child and returns what it returned (empty string
// means all went well).  A child that dies or exits oddly is reported as
// such, so a crash shows up as a failed check instead of killing the test;
// a child still running after two minutes is killed by SIGALRM.
std::string RunInChild(const std::function<std::string()>& body);
// For use inside RunInChild: limits the size of any file this process
// writes and ignores SIGXFSZ, so a write past the limit fails like one on a
// full disk instead of killing the process.
void ImitateFullDisk(std::uint64_t max_file_size);

// Stands in for the host's progress callback on the calling thread: records
// every report and, like a host whose user pressed Cancel, answers 0
// ("stop") from a chosen report on.
struct ProgressReport {
  bool has_name;
  std::string name;
  int size;
};
class ProgressRecorder {
 public:
  // stop_at: 1-based number of the first report answered 0; 0 = never stop.
  explicit ProgressRecorder(int stop_at = 0);
  ~ProgressRecorder();
  ProgressRecorder(const ProgressRecorder&) = delete;
  ProgressRecorder& operator=(const ProgressRecorder&) = delete;

  const std::vector<ProgressReport>& reports() const { return reports_; }
  // Sum of the sizes of the reports that carry `name`.
  std::int64_t SizeSum(const std::string& name) const;
  // Sizes of the reports that carry `name`, in order.
  std::vector<int> Sizes(const std::string& name) const;

  // The callback to hand to the plugin; it forwards to the recorder that is
  // current on the calling thread.
  static int Callback(char* file_name, int size);

 private:
  int stop_at_;
  std::vector<ProgressReport> reports_;
  ProgressRecorder* previous_;
};

}  // namespace enginetest

// Work apart from the test (forked children, or a thread where there is no
// fork), other programs run as children, and this process's own resources.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace qvtest {

// Runs `fn` apart from the test (a forked child on Linux, a thread on
// Windows) and returns its result, or nothing when it did not finish within
// `timeout_seconds` or died.  For calls that might hang or crash.
std::optional<int> RunIsolated(const std::function<int()>& fn, int timeout_seconds = 10);

// The open file descriptors (on Windows: handles) of this process; -1 where
// that cannot be known.
int CountOpenFds();

#ifndef _WIN32
// Runs `body` in a forked child and returns what it returned (empty means
// all went well).  An exception, a crash or an odd exit of the child is
// reported in the text, so it shows as a failed check instead of killing the
// test; a child still running after two minutes is killed.
std::string RunInChild(const std::function<std::string()>& body);
// For use inside RunInChild: limits the size of any file this process
// writes and ignores SIGXFSZ, so a write past the limit fails like one on a
// full disk instead of killing the process.
void ImitateFullDisk(std::uint64_t max_file_size);

// The text inside single quotes, safe for /bin/sh.
std::string ShellQuote(const std::string& text);
// Runs a shell command; its exit status (-1 when it did not exit normally).
int RunShell(const std::string& command);

struct Outcome {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// A running program with its standard output and error captured and its
// standard input empty.  Environment: the test's own plus `env` ("NAME=value").
// With `hold_stderr` the program's first write to standard error blocks
// until the test reads it (WaitForError, Finish): a point where the test
// can act while the program waits.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& cwd,
        const std::vector<std::string>& env, bool hold_stderr = false);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Reads until standard error contains `text`; false when the program
  // closed its output first.
  bool WaitForError(const std::string& text);
  // With `hold_stderr`: waits until the program is held in its first write
  // to standard error (seen in /proc); false when it ended first.
  bool WaitUntilHeld();
  void Signal(int signal_number);
  // Reads everything that is left and waits for the end.
  Outcome Finish();

 private:
  bool Pump();

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::size_t filler_ = 0;  // bytes of the test's own ahead of the program's error output
  Outcome outcome_;
};

// Runs a program to its end.
Outcome RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::vector<std::string>& env = {});

// Watches a folder for new entries.
class FolderWatch {
 public:
  explicit FolderWatch(const std::string& folder);
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;
  ~FolderWatch();
  // Waits until an entry whose name starts with `prefix` is created; false
  // when none is within a minute (the program failed before it got there).
  bool WaitForCreation(const std::string& prefix);

 private:
  int fd_ = -1;
};
#endif

// Resident memory of this process (VmRSS), and its peak so far (VmHWM), in
// KiB; -1 when unknown (always on Windows).
long ResidentKiB();
long PeakResidentKiB();
// Bytes the allocator has handed out and not yet taken back; -1 when unknown.
long long HeapInUse();

// True when built with AddressSanitizer, whose shadow memory and quarantine
// make resident-memory figures meaningless.
constexpr bool kUnderAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace qvtest

// Helpers for the end-to-end tests of wcx: running programs as child
// processes, files and folders, and archives made by hand.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "reference_crc32.h"

namespace wcx_test {

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

// Runs a program to its end.
Outcome RunProgram(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::vector<std::string>& env = {});

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Names in a folder, sorted, without "." and "..".
std::vector<std::string> ListFolder(const std::string& path);
void SetModificationTime(const std::string& path, std::int64_t unix_seconds);

using qvtest::Crc32;  // the tests' reference CRC-32
// An archive built from its parts, its payload compressed by the bzip2
// program: header, stored name, stream.
std::string MakeArchive(const std::string& stored_name, const std::string& content,
                        const std::string& scratch_folder);
// "Pseudo-random" bytes that bzip2 cannot shrink, written in pieces.
void WriteNoise(const std::string& path, std::uint64_t size);

}  // namespace wcx_test

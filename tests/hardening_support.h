// Shared pieces of the hardening tests: a copy of the plugin loaded with a
// temporary directory of its own (so that anything it leaves behind shows),
// one host-like walk through an archive, and the process's own resource
// counters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host.h"

namespace qvtest {

// A private copy of a plugin module: its own folder, its own TMPDIR set before
// it is loaded (and kept set while it lives), and a work folder for archives
// and outputs.
class IsolatedPlugin {
 public:
  explicit IsolatedPlugin(const std::string& module = DefaultPluginPath());
  ~IsolatedPlugin();
  IsolatedPlugin(const IsolatedPlugin&) = delete;
  IsolatedPlugin& operator=(const IsolatedPlugin&) = delete;

  const Plugin& plugin() const { return *plugin_; }
  // The plugin's temporary directory; empty whenever no operation runs.
  const std::string& temp_dir() const { return temp_dir_; }
  // A folder for the test's own files: root + "/work/" + name.
  std::string Work(const std::string& name) const;
  const std::string& work_dir() const { return work_dir_; }
  // What the plugin left in its temporary directory.
  std::vector<std::string> Leftovers() const { return ListDir(temp_dir_); }

 private:
  TempDir root_;
  std::string temp_dir_;
  std::string work_dir_;
  std::unique_ptr<ScopedEnv> tmpdir_;
  std::unique_ptr<Plugin> plugin_;
};

// What a host sees when it opens an archive, lists it, processes the entry
// and lists again.
struct Walk {
  int open_result = -1;     // the open record's result field
  bool opened = false;
  int header = -1;          // first ReadHeader
  std::string listed_name;  // the name it listed
  int process = -1;         // ProcessFile (when the header was read)
  int second_header = -1;   // ReadHeader after it
};

// Opens `archive`, lists it, runs `operation` (test, or extract to
// `dest_name`), lists again and closes.
Walk WalkArchive(const Plugin& plugin, const std::string& archive, int operation,
                 const std::string& dest_name = "");

// What a host gets from one whole in-memory packing job.
struct MemPackRun {
  int result = -1;        // 1 when the archive came out whole, else the failure code
  int input_result = -1;  // the first answer other than 0 while input was pushed
  int after = -1;         // the answer to one more call after `result`
  std::string archive;    // the bytes handed out
};

// Starts a job for `archive_name`, pushes `input` in pieces of `piece` bytes,
// then pulls the archive out `capacity` bytes at a time until an answer other
// than 0.  Gives up (result -1) after far more calls than the job needs.
MemPackRun RunMemPack(const Plugin& plugin, const std::string& archive_name,
                      const std::string& input, std::size_t piece = 65536,
                      std::size_t capacity = 65536);

// Resident memory of this process (VmRSS), in KiB; -1 when unknown.
long ResidentKiB();
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

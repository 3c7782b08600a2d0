// A copy of the plugin loaded with a temporary directory of its own, so that
// anything it leaves behind shows, and one host-like walk through an
// archive.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "files.h"
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

}  // namespace qvtest

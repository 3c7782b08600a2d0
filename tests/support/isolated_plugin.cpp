// Private plugin copies and the host walk.
#include "isolated_plugin.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#endif

#include <cstdio>
#include <cstdlib>

namespace qvtest {

IsolatedPlugin::IsolatedPlugin(const std::string& module) : root_("qv-hardening") {
  temp_dir_ = root_ / "tmp";
  work_dir_ = root_ / "work";
  const std::string module_dir = root_ / "module";
  for (const std::string& dir : {temp_dir_, work_dir_, module_dir}) {
#ifdef _WIN32
    if (::_mkdir(dir.c_str()) != 0) {
#else
    if (::mkdir(dir.c_str(), 0700) != 0) {
#endif
      std::perror(dir.c_str());
      std::abort();
    }
  }
  // The copy has no bzip2 library beside it, so it binds the system's.
  const std::string copy = CopyPlugin(module_dir, module);
#ifdef _WIN32
  tmpdir_ = std::make_unique<ScopedEnv>("TMP", temp_dir_);  // what GetTempPathW reads first
#else
  tmpdir_ = std::make_unique<ScopedEnv>("TMPDIR", temp_dir_);
#endif
  plugin_ = std::make_unique<Plugin>(copy);
}

IsolatedPlugin::~IsolatedPlugin() {
  plugin_.reset();
  tmpdir_.reset();
}

std::string IsolatedPlugin::Work(const std::string& name) const {
#ifdef _WIN32
  return work_dir_ + "\\" + name;
#else
  return work_dir_ + "/" + name;
#endif
}

Walk WalkArchive(const Plugin& plugin, const std::string& archive, int operation,
                 const std::string& dest_name) {
  Walk walk;
  OpenRecord record(archive);
  void* handle = plugin.OpenArchive(record.data());
  walk.open_result = record.OpenResult();
  walk.opened = handle != nullptr;
  if (!walk.opened) return walk;
  plugin.SetProcessDataProc(handle, ProgressRecorder::Callback);
  HeaderRecord header;
  walk.header = plugin.ReadHeader(handle, header.data());
  if (walk.header == kOk) {
    walk.listed_name = header.FileName();
    std::string name = dest_name;
    walk.process = plugin.ProcessFile(handle, operation, nullptr, name.data());
    walk.second_header = plugin.ReadHeader(handle, header.data());
  }
  plugin.CloseArchive(handle);
  return walk;
}

}  // namespace qvtest

// Loading a WCX plugin and calling its entry points.
#include "plugin.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "results.h"

#ifndef WCX_PLUGIN_RELATIVE_DIR
#define WCX_PLUGIN_RELATIVE_DIR "../lib/doublecmd/plugins/wcx/quorvane"
#endif

namespace wcx {

const char* const kInstalledPluginFolder = WCX_PLUGIN_RELATIVE_DIR;

namespace {

// Layout of the record Double Commander passes to ExtensionInitialize, as
// far as plugins read it; the rest stays zero.
constexpr std::size_t kPluginDirOffset = 4;
constexpr std::size_t kPluginConfDirOffset = 16388;
constexpr std::size_t kDirFieldSize = 16384;
constexpr std::size_t kInputBoxOffset = 32772;
constexpr std::size_t kMessageBoxOffset = 32780;
// Room for the fields Double Commander adds after the message box.
constexpr std::size_t kExtensionRecordSize = 32788 + 4096 * sizeof(void*);
constexpr int kIdOk = 1;

void DefaultMessageHandler(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "wcx: %s%s%s\n", caption.empty() ? "" : caption.c_str(),
               caption.empty() ? "" : ": ", text.c_str());
}

MessageHandler message_handler = DefaultMessageHandler;

// Plugins separate the lines of a message with carriage returns.
std::string SplitLines(const char* text) {
  std::string lines;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '\r') {
      lines += '\n';
      if (c[1] == '\n') ++c;
    } else {
      lines += *c;
    }
  }
  return lines;
}

extern "C" int HostMessageBox(char* text, char* caption, long /*flags*/) {
  try {
    message_handler(caption != nullptr ? SplitLines(caption) : std::string(),
                    text != nullptr ? SplitLines(text) : std::string());
  } catch (...) {
    // A message that cannot be shown must not unwind into the plugin.
  }
  return kIdOk;
}

// wcx asks no questions: every input box is cancelled.
extern "C" bool HostInputBox(char*, char*, bool, char*, int) { return false; }

extern "C" int HostChangeVolume(char*, int) { return 0; }

void PutString(unsigned char* record, std::size_t offset, const std::string& text) {
  std::size_t length = std::min(text.size(), kDirFieldSize - 1);
  std::memcpy(record + offset, text.data(), length);
}

template <typename T>
void PutPointer(unsigned char* record, std::size_t offset, T pointer) {
  std::memcpy(record + offset, &pointer, sizeof pointer);
}

template <typename Fn>
Fn Resolve(const os::Library& library, const char* name) {
  return reinterpret_cast<Fn>(library.Find(name));
}

std::string ConfigDirectory() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return os::Join(xdg, "wcx/");
  const char* home = std::getenv("HOME");
  return os::Join(home != nullptr ? home : "/", ".config/wcx/");
}

}  // namespace

void SetMessageHandler(MessageHandler handler) {
  message_handler = handler != nullptr ? handler : DefaultMessageHandler;
}

Plugin Plugin::Load(const std::string& path) {
  Plugin plugin;
  plugin.path_ = path;
  try {
    plugin.library_ = os::Library::Load(path);
  } catch (const os::Error& error) {
    throw Failure(kExitNotAPlugin, path, std::string("not a WCX plugin: ") + error.what());
  }
  const os::Library& lib = plugin.library_;
  plugin.get_packer_caps_ = Resolve<GetPackerCapsFn>(lib, "GetPackerCaps");
  plugin.can_you_handle_this_file_ = Resolve<CanYouHandleThisFileFn>(lib, "CanYouHandleThisFile");
  plugin.open_archive_ = Resolve<OpenArchiveFn>(lib, "OpenArchive");
  plugin.read_header_ = Resolve<ReadHeaderFn>(lib, "ReadHeader");
  plugin.process_file_ = Resolve<ProcessFileFn>(lib, "ProcessFile");
  plugin.close_archive_ = Resolve<CloseArchiveFn>(lib, "CloseArchive");
  plugin.set_change_vol_proc_ = Resolve<SetChangeVolProcFn>(lib, "SetChangeVolProc");
  plugin.set_process_data_proc_ = Resolve<SetProcessDataProcFn>(lib, "SetProcessDataProc");
  plugin.pack_files_ = Resolve<PackFilesFn>(lib, "PackFiles");
  plugin.start_mem_pack_ = Resolve<StartMemPackFn>(lib, "StartMemPack");
  plugin.pack_to_mem_ = Resolve<PackToMemFn>(lib, "PackToMem");
  plugin.done_mem_pack_ = Resolve<DoneMemPackFn>(lib, "DoneMemPack");
  plugin.configure_packer_ = Resolve<ConfigurePackerFn>(lib, "ConfigurePacker");

  // The six entry points a file manager cannot do without.
  std::string missing;
  auto require = [&missing](const void* entry, const char* name) {
    if (entry == nullptr) missing += missing.empty() ? name : std::string(", ") + name;
  };
  require(reinterpret_cast<const void*>(plugin.open_archive_), "OpenArchive");
  require(reinterpret_cast<const void*>(plugin.read_header_), "ReadHeader");
  require(reinterpret_cast<const void*>(plugin.process_file_), "ProcessFile");
  require(reinterpret_cast<const void*>(plugin.close_archive_), "CloseArchive");
  require(reinterpret_cast<const void*>(plugin.set_change_vol_proc_), "SetChangeVolProc");
  require(reinterpret_cast<const void*>(plugin.set_process_data_proc_), "SetProcessDataProc");
  if (!missing.empty()) {
    throw Failure(kExitMissingExports, path, "the plugin lacks required exports: " + missing);
  }

  if (auto initialize = Resolve<ExtensionInitializeFn>(lib, "ExtensionInitialize")) {
    plugin.extension_record_ = std::make_unique<unsigned char[]>(kExtensionRecordSize);
    unsigned char* record = plugin.extension_record_.get();
    std::uint32_t size = kExtensionRecordSize;
    std::memcpy(record, &size, sizeof size);
    PutString(record, kPluginDirOffset, os::ParentPart(os::Absolute(path)) + "/");
    PutString(record, kPluginConfDirOffset, ConfigDirectory());
    PutPointer(record, kInputBoxOffset, &HostInputBox);
    PutPointer(record, kMessageBoxOffset, &HostMessageBox);
    initialize(record);
  }
  return plugin;
}

std::string Plugin::FormatName() const {
  std::string name = os::NamePart(path_);
  std::string stem = name.substr(0, name.find('.'));
  return stem == "quorvane" ? "Quorvane" : "";
}

int Plugin::Caps() const { return get_packer_caps_ != nullptr ? get_packer_caps_() : 0; }

bool Plugin::CanHandle(const std::string& archive) const {
  if (can_you_handle_this_file_ == nullptr) return true;
  std::string name = archive;
  return can_you_handle_this_file_(name.data()) != 0;
}

void* Plugin::OpenArchive(const std::string& archive, int mode, int& result) const {
  std::string name = archive;
  OpenArchiveData data{};
  data.ArcName = name.data();
  data.OpenMode = mode;
  void* handle = open_archive_(&data);
  result = data.OpenResult;
  return handle;
}

int Plugin::ReadHeader(void* handle, HeaderData& header) const {
  return read_header_(handle, &header);
}

int Plugin::ProcessFile(void* handle, int operation, const char* dest_path,
                        const char* dest_name) const {
  std::string path = dest_path != nullptr ? dest_path : "";
  std::string name = dest_name != nullptr ? dest_name : "";
  return process_file_(handle, operation, dest_path != nullptr ? path.data() : nullptr,
                       dest_name != nullptr ? name.data() : nullptr);
}

int Plugin::CloseArchive(void* handle) const { return close_archive_(handle); }

void Plugin::SetCallbacks(void* handle, ProcessDataProc progress) const {
  set_change_vol_proc_(handle, reinterpret_cast<void*>(&HostChangeVolume));
  set_process_data_proc_(handle, progress);
}

void Plugin::SetPackingCallback(ProcessDataProc progress) const {
  set_process_data_proc_(reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)), progress);
}

int Plugin::PackFiles(const std::string& packed_file, const std::string& source_folder,
                      const std::string& add_list) const {
  std::string archive = packed_file;
  std::string folder = source_folder;
  std::vector<char> list(add_list.begin(), add_list.end());
  list.push_back('\0');
  list.push_back('\0');
  return pack_files_(archive.data(), nullptr, folder.data(), list.data(), 0);
}

bool Plugin::CanPackInMemory() const noexcept {
  return start_mem_pack_ != nullptr && pack_to_mem_ != nullptr && done_mem_pack_ != nullptr;
}

void* Plugin::StartMemPack(const std::string& archive) const {
  std::string name = archive;
  return start_mem_pack_(0, name.data());
}

int Plugin::PackToMem(void* handle, const char* input, int input_length, int& taken, char* output,
                      int output_capacity, int& written) const {
  return pack_to_mem_(handle, const_cast<char*>(input), input_length, &taken, output,
                      output_capacity, &written, 0);
}

int Plugin::DoneMemPack(void* handle) const { return done_mem_pack_(handle); }

void Plugin::ConfigurePacker() const {
  configure_packer_(nullptr, library_.NativeHandle());
}

std::string FindDefaultPlugin() {
  const std::string own = os::ExecutableDirectory();
  for (const std::string& folder : {own, os::Join(own, kInstalledPluginFolder)}) {
    std::string candidate = os::Join(folder, os::kDefaultPluginName);
    if (os::Info(candidate).kind == os::Kind::kRegular) return candidate;
  }
  return "";
}

}  // namespace wcx

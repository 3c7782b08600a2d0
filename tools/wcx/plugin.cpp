// Loading a WCX plugin and calling its entry points.
#include "plugin.h"

#include <algorithm>
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
  return 1;  // the OK button
}

// wcx asks no questions: every input box is cancelled.
extern "C" int HostInputBox(char*, char*, int, char*, int) { return 0; }

extern "C" int HostChangeVolume(char*, int) { return 0; }

// Copies `text` into a zero-filled field, cut to leave its terminator.
template <std::size_t N>
void PutString(char (&field)[N], const std::string& text) {
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

template <typename Function>
Function* Resolve(const os::Library& library, const char* name) {
  return reinterpret_cast<Function*>(library.Find(name));
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
  plugin.get_packer_caps_ = Resolve<GetPackerCapsFunc>(lib, "GetPackerCaps");
  plugin.open_archive_ = Resolve<OpenArchiveFunc>(lib, "OpenArchive");
  plugin.read_header_ = Resolve<ReadHeaderFunc>(lib, "ReadHeader");
  plugin.read_header_ex_ = Resolve<ReadHeaderExFunc>(lib, "ReadHeaderEx");
  plugin.process_file_ = Resolve<ProcessFileFunc>(lib, "ProcessFile");
  plugin.close_archive_ = Resolve<CloseArchiveFunc>(lib, "CloseArchive");
  plugin.set_change_vol_proc_ = Resolve<SetChangeVolProcFunc>(lib, "SetChangeVolProc");
  plugin.set_process_data_proc_ = Resolve<SetProcessDataProcFunc>(lib, "SetProcessDataProc");
  plugin.pack_files_ = Resolve<PackFilesFunc>(lib, "PackFiles");
  plugin.start_mem_pack_ = Resolve<StartMemPackFunc>(lib, "StartMemPack");
  plugin.pack_to_mem_ = Resolve<PackToMemFunc>(lib, "PackToMem");
  plugin.done_mem_pack_ = Resolve<DoneMemPackFunc>(lib, "DoneMemPack");
  plugin.configure_packer_ = Resolve<ConfigurePackerFunc>(lib, "ConfigurePacker");

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

  if (auto initialize = Resolve<ExtensionInitializeFunc>(lib, "ExtensionInitialize")) {
    plugin.extension_record_ = std::make_unique<ExtensionRecord>();
    tExtensionStartupInfo& info = plugin.extension_record_->info;
    info.StructSize = sizeof(ExtensionRecord);
    PutString(info.PluginDir, os::ParentPart(os::Absolute(path)) + "/");
    PutString(info.PluginConfDir, ConfigDirectory());
    info.InputBox = HostInputBox;
    info.MessageBox = HostMessageBox;
    initialize(&info);
  }
  return plugin;
}

std::string Plugin::FormatName() const {
  std::string name = os::NamePart(path_);
  std::string stem = name.substr(0, name.find('.'));
  return stem == "quorvane" ? "Quorvane" : "";
}

int Plugin::Caps() const { return get_packer_caps_ != nullptr ? get_packer_caps_() : 0; }

void* Plugin::OpenArchive(const std::string& archive, int mode, int& result) const {
  std::string name = archive;
  tOpenArchiveData data{};
  data.ArcName = name.data();
  data.OpenMode = mode;
  void* handle = open_archive_(&data);
  result = data.OpenResult;
  return handle;
}

namespace {

template <std::size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

std::uint64_t Unsigned(std::int32_t field) { return static_cast<std::uint32_t>(field); }

}  // namespace

int Plugin::ReadHeader(void* handle, Entry& entry) const {
  if (read_header_ex_ != nullptr) {
    // Large, so not on the stack; zeroed, as plugins fill only their fields.
    auto header = std::make_unique<tHeaderDataEx>();
    const int result = read_header_ex_(handle, header.get());
    if (result != 0) return result;
    entry = {FieldText(header->FileName),
             std::uint64_t{header->UnpSizeHigh} << 32 | header->UnpSize,
             std::uint64_t{header->PackSizeHigh} << 32 | header->PackSize, header->FileTime,
             static_cast<std::uint32_t>(header->FileAttr)};
    return 0;
  }
  tHeaderData header{};
  const int result = read_header_(handle, &header);
  if (result != 0) return result;
  entry = {FieldText(header.FileName), Unsigned(header.UnpSize), Unsigned(header.PackSize),
           header.FileTime, static_cast<std::uint32_t>(header.FileAttr)};
  return 0;
}

int Plugin::ProcessFile(void* handle, int operation, const char* dest_path,
                        const char* dest_name) const {
  std::string path = dest_path != nullptr ? dest_path : "";
  std::string name = dest_name != nullptr ? dest_name : "";
  return process_file_(handle, operation, dest_path != nullptr ? path.data() : nullptr,
                       dest_name != nullptr ? name.data() : nullptr);
}

int Plugin::CloseArchive(void* handle) const { return close_archive_(handle); }

void Plugin::SetCallbacks(void* handle, TProcessDataProc progress) const {
  set_change_vol_proc_(handle, HostChangeVolume);
  set_process_data_proc_(handle, progress);
}

void Plugin::SetPackingCallback(TProcessDataProc progress) const {
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

void Plugin::ConfigurePacker() const { configure_packer_(nullptr, library_.NativeHandle()); }

std::string FindDefaultPlugin() {
  const std::string own = os::ExecutableDirectory();
  for (const std::string& folder : {own, os::Join(own, kInstalledPluginFolder)}) {
    std::string candidate = os::Join(folder, os::kDefaultPluginName);
    if (os::Info(candidate).kind == os::Kind::kRegular) return candidate;
  }
  return "";
}

}  // namespace wcx

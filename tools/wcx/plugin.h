// A WCX packer plugin, loaded and called the way a file manager does it.
//
// The records and entry points are the interface's own (wcxhead.h); the
// plugin is trusted with nothing beyond what the interface gives it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os.h"
#include "wcxhead.h"

namespace wcx {

// Where the plugin's message boxes go: the caption and the text, whose lines
// are already split at the plugin's carriage returns.
using MessageHandler = void (*)(const std::string& caption, const std::string& text);
void SetMessageHandler(MessageHandler handler);

// An entry as the plugin lists it.
struct Entry {
  std::string name;
  std::uint64_t size = 0;
  std::uint64_t packed = 0;
  std::int32_t time = 0;  // the record's file time (time_t on Linux)
  std::uint32_t attributes = 0;
};

class Plugin {
 public:
  // Loads a plugin.  Raises Failure with kExitNotAPlugin when the file
  // cannot be loaded, kExitMissingExports when entry points every packer
  // plugin has are absent.
  static Plugin Load(const std::string& path);

  const std::string& path() const noexcept { return path_; }
  // The archive format's name for messages: "Quorvane" for quorvane.wcx,
  // empty for plugins wcx knows nothing about.
  std::string FormatName() const;

  bool HasCaps() const noexcept { return get_packer_caps_ != nullptr; }
  int Caps() const;
  void* OpenArchive(const std::string& archive, int mode, int& result) const;
  // The next entry's header, through ReadHeaderEx when the plugin has it
  // (sizes of 4 GiB and more), else ReadHeader.
  int ReadHeader(void* handle, Entry& entry) const;
  int ProcessFile(void* handle, int operation, const char* dest_path, const char* dest_name) const;
  int CloseArchive(void* handle) const;
  void SetCallbacks(void* handle, TProcessDataProc progress) const;
  // Before packing there is no archive handle yet: file managers register
  // the callback with an invalid one.
  void SetPackingCallback(TProcessDataProc progress) const;

  bool CanPackFiles() const noexcept { return pack_files_ != nullptr; }
  int PackFiles(const std::string& packed_file, const std::string& source_folder,
                const std::string& add_list) const;

  bool CanPackInMemory() const noexcept;
  void* StartMemPack(const std::string& archive) const;
  int PackToMem(void* handle, const char* input, int input_length, int& taken, char* output,
                int output_capacity, int& written) const;
  int DoneMemPack(void* handle) const;

  bool HasConfiguration() const noexcept { return configure_packer_ != nullptr; }
  void ConfigurePacker() const;

 private:
  Plugin() = default;

  std::string path_;
  os::Library library_;
  // The record handed to ExtensionInitialize, with room for the host
  // functions Double Commander lists after the message box (they stay
  // null).  Plugins may keep pointing into it, so it lives as long as the
  // plugin.
  struct ExtensionRecord {
    tExtensionStartupInfo info;
    void* more[4096];
  };
  std::unique_ptr<ExtensionRecord> extension_record_;

  GetPackerCapsFunc* get_packer_caps_ = nullptr;
  OpenArchiveFunc* open_archive_ = nullptr;
  ReadHeaderFunc* read_header_ = nullptr;
  ReadHeaderExFunc* read_header_ex_ = nullptr;
  ProcessFileFunc* process_file_ = nullptr;
  CloseArchiveFunc* close_archive_ = nullptr;
  SetChangeVolProcFunc* set_change_vol_proc_ = nullptr;
  SetProcessDataProcFunc* set_process_data_proc_ = nullptr;
  PackFilesFunc* pack_files_ = nullptr;
  StartMemPackFunc* start_mem_pack_ = nullptr;
  PackToMemFunc* pack_to_mem_ = nullptr;
  DoneMemPackFunc* done_mem_pack_ = nullptr;
  ConfigurePackerFunc* configure_packer_ = nullptr;
};

// Where an installed wcx finds the plugin, relative to its own folder.
extern const char* const kInstalledPluginFolder;

// The plugin wcx loads when no --plugin is given: quorvane.wcx beside wcx,
// or in the installed layout's plugin folder.  Empty when there is none.
std::string FindDefaultPlugin();

}  // namespace wcx

// A WCX packer plugin, loaded and called the way a file manager does it.
//
// The records are laid out as a 64-bit Double Commander lays them out; the
// plugin is trusted with nothing beyond what the interface gives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "os.h"

namespace wcx {

// Operations of ProcessFile and modes of OpenArchive.
inline constexpr int kSkip = 0;
inline constexpr int kTest = 1;
inline constexpr int kExtract = 2;
inline constexpr int kOpenForList = 0;
inline constexpr int kOpenForExtract = 1;

// Answers of PackToMem.
inline constexpr int kMemPackOk = 0;
inline constexpr int kMemPackDone = 1;

#pragma pack(push, 1)
struct OpenArchiveData {
  char* ArcName;
  std::int32_t OpenMode;
  std::int32_t OpenResult;
  char* CmtBuf;
  std::int32_t CmtBufSize;
  std::int32_t CmtSize;
  std::int32_t CmtState;
};

struct HeaderData {
  char ArcName[260];
  char FileName[260];
  std::int32_t Flags;
  std::int32_t PackSize;
  std::int32_t UnpSize;
  std::int32_t HostOS;
  std::int32_t FileCRC;
  std::int32_t FileTime;
  std::int32_t UnpVer;
  std::int32_t Method;
  std::int32_t FileAttr;
  char* CmtBuf;
  std::int32_t CmtBufSize;
  std::int32_t CmtSize;
  std::int32_t CmtState;
};
#pragma pack(pop)

static_assert(offsetof(OpenArchiveData, OpenResult) == 12);
static_assert(offsetof(HeaderData, FileName) == 260);
static_assert(offsetof(HeaderData, PackSize) == 524);
static_assert(offsetof(HeaderData, FileTime) == 540);
static_assert(offsetof(HeaderData, FileAttr) == 552);
static_assert(sizeof(HeaderData) == 576);

using ProcessDataProc = int (*)(char* file_name, int size);

// Where the plugin's message boxes go: the caption and the text, whose lines
// are already split at the plugin's carriage returns.
using MessageHandler = void (*)(const std::string& caption, const std::string& text);
void SetMessageHandler(MessageHandler handler);

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
  // True when the plugin claims the file, or cannot be asked.
  bool CanHandle(const std::string& archive) const;

  void* OpenArchive(const std::string& archive, int mode, int& result) const;
  int ReadHeader(void* handle, HeaderData& header) const;
  int ProcessFile(void* handle, int operation, const char* dest_path, const char* dest_name) const;
  int CloseArchive(void* handle) const;
  void SetCallbacks(void* handle, ProcessDataProc progress) const;
  // Before packing there is no archive handle yet: file managers register
  // the callback with an invalid one.
  void SetPackingCallback(ProcessDataProc progress) const;

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

  using GetPackerCapsFn = int (*)();
  using CanYouHandleThisFileFn = int (*)(char*);
  using OpenArchiveFn = void* (*)(OpenArchiveData*);
  using ReadHeaderFn = int (*)(void*, HeaderData*);
  using ProcessFileFn = int (*)(void*, int, char*, char*);
  using CloseArchiveFn = int (*)(void*);
  using SetChangeVolProcFn = void (*)(void*, void*);
  using SetProcessDataProcFn = void (*)(void*, ProcessDataProc);
  using PackFilesFn = int (*)(char*, char*, char*, char*, int);
  using StartMemPackFn = void* (*)(int, char*);
  using PackToMemFn = int (*)(void*, char*, int, int*, char*, int, int*, int);
  using DoneMemPackFn = int (*)(void*);
  using ConfigurePackerFn = void (*)(void*, void*);
  using ExtensionInitializeFn = void (*)(void*);

  std::string path_;
  os::Library library_;
  // The record handed to ExtensionInitialize; plugins may keep pointing
  // into it, so it lives as long as the plugin.
  std::unique_ptr<unsigned char[]> extension_record_;

  GetPackerCapsFn get_packer_caps_ = nullptr;
  CanYouHandleThisFileFn can_you_handle_this_file_ = nullptr;
  OpenArchiveFn open_archive_ = nullptr;
  ReadHeaderFn read_header_ = nullptr;
  ProcessFileFn process_file_ = nullptr;
  CloseArchiveFn close_archive_ = nullptr;
  SetChangeVolProcFn set_change_vol_proc_ = nullptr;
  SetProcessDataProcFn set_process_data_proc_ = nullptr;
  PackFilesFn pack_files_ = nullptr;
  StartMemPackFn start_mem_pack_ = nullptr;
  PackToMemFn pack_to_mem_ = nullptr;
  DoneMemPackFn done_mem_pack_ = nullptr;
  ConfigurePackerFn configure_packer_ = nullptr;
};

// Where an installed wcx finds the plugin, relative to its own folder.
extern const char* const kInstalledPluginFolder;

// The plugin wcx loads when no --plugin is given: quorvane.wcx beside wcx,
// or in the installed layout's plugin folder.  Empty when there is none.
std::string FindDefaultPlugin();

}  // namespace wcx

// The tests' packer-plugin host: loads the built module by path the way a
// file manager does, lays out the host's records as raw bytes, and records
// what the plugin reports back (progress, message boxes).
//
// The records and codes are deliberately not taken from the interface header
// (include/wcxhead.h), so a layout mistake there shows up here as a wrong
// offset.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#define QV_STDCALL __stdcall
#else
#define QV_STDCALL
#endif

namespace qvtest {

// ------------------------------------------------------------ result codes

inline constexpr int kOk = 0;
inline constexpr int kEndArchive = 10;
inline constexpr int kNoMemory = 11;
inline constexpr int kBadArchive = 13;
inline constexpr int kUnknownFormat = 14;
inline constexpr int kEOpen = 15;
inline constexpr int kECreate = 16;
inline constexpr int kEWrite = 19;
inline constexpr int kEAborted = 21;
inline constexpr int kNoFiles = 22;
inline constexpr int kTooManyFiles = 23;
inline constexpr int kNotSupported = 24;

inline constexpr int kSkip = 0;
inline constexpr int kTest = 1;
inline constexpr int kExtract = 2;

inline constexpr int kPackSavePaths = 2;

// The handle hosts pass when they have none, as before packing.
inline void* const kNoHandle = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));

// ------------------------------------------------------------ entry points

using ProcessDataProc = int(QV_STDCALL*)(char* file_name, int size);
using MessageBoxProc = int (*)(char* text, char* caption, long flags);

using GetPackerCapsFn = int(QV_STDCALL*)();
using CanYouHandleThisFileFn = int(QV_STDCALL*)(char* file_name);
using OpenArchiveFn = void*(QV_STDCALL*)(void* open_record);
using ReadHeaderFn = int(QV_STDCALL*)(void* handle, void* header_record);
using ProcessFileFn = int(QV_STDCALL*)(void* handle, int operation, char* dest_path,
                                       char* dest_name);
using CloseArchiveFn = int(QV_STDCALL*)(void* handle);
using SetChangeVolProcFn = void(QV_STDCALL*)(void* handle, void* proc);
using SetProcessDataProcFn = void(QV_STDCALL*)(void* handle, ProcessDataProc proc);
using PackFilesFn = int(QV_STDCALL*)(char* packed_file, char* sub_path, char* src_path,
                                     char* add_list, int flags);
using ConfigurePackerFn = void(QV_STDCALL*)(void* parent, void* instance);
using StartMemPackFn = void*(QV_STDCALL*)(int options, char* file_name);
using PackToMemFn = int(QV_STDCALL*)(void* handle, char* buf_in, int in_len, int* taken,
                                     char* buf_out, int out_len, int* written, int seek_by);
using DoneMemPackFn = int(QV_STDCALL*)(void* handle);
using ExtensionInitializeFn = void(QV_STDCALL*)(void* startup_info);
#ifdef _WIN32
// The wide entry points of Windows hosts.
using ProcessDataProcW = int(QV_STDCALL*)(wchar_t* file_name, int size);
using CanYouHandleThisFileWFn = int(QV_STDCALL*)(wchar_t* file_name);
using ProcessFileWFn = int(QV_STDCALL*)(void* handle, int operation, wchar_t* dest_path, wchar_t* dest_name);
using SetChangeVolProcWFn = void(QV_STDCALL*)(void* handle, void* proc);
using SetProcessDataProcWFn = void(QV_STDCALL*)(void* handle, ProcessDataProcW proc);
using PackFilesWFn = int(QV_STDCALL*)(wchar_t* packed_file, wchar_t* sub_path, wchar_t* src_path,
                                      wchar_t* add_list, int flags);
using StartMemPackWFn = void*(QV_STDCALL*)(int options, wchar_t* file_name);
#endif

// Where the plugin under test lives: $QUORVANE_PLUGIN when set, else the
// module this build produced.
std::string DefaultPluginPath();

// One loaded copy of the plugin.  Entry points the module lacks stay null and
// are listed by Missing().  Unloads in the destructor.
class Plugin {
 public:
  explicit Plugin(std::string path = DefaultPluginPath());
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  bool Loaded() const { return module_ != nullptr; }
  // Why loading failed, or which entry points are missing; empty when all is well.
  std::string Problem() const;
  std::vector<std::string> Missing() const;
  const std::string& Path() const { return path_; }

  GetPackerCapsFn GetPackerCaps = nullptr;
  CanYouHandleThisFileFn CanYouHandleThisFile = nullptr;
  OpenArchiveFn OpenArchive = nullptr;
  ReadHeaderFn ReadHeader = nullptr;
  ReadHeaderFn ReadHeaderEx = nullptr;  // takes a HeaderRecordEx
  ProcessFileFn ProcessFile = nullptr;
  CloseArchiveFn CloseArchive = nullptr;
  SetChangeVolProcFn SetChangeVolProc = nullptr;
  SetProcessDataProcFn SetProcessDataProc = nullptr;
  PackFilesFn PackFiles = nullptr;
  ConfigurePackerFn ConfigurePacker = nullptr;
  StartMemPackFn StartMemPack = nullptr;
  PackToMemFn PackToMem = nullptr;
  DoneMemPackFn DoneMemPack = nullptr;
  ExtensionInitializeFn ExtensionInitialize = nullptr;  // Linux builds only
#ifdef _WIN32
  CanYouHandleThisFileWFn CanYouHandleThisFileW = nullptr;
  OpenArchiveFn OpenArchiveW = nullptr;   // takes an OpenRecord made from a wide name
  ReadHeaderFn ReadHeaderExW = nullptr;   // takes a HeaderRecord of kHeaderExWLayout
  ProcessFileWFn ProcessFileW = nullptr;
  SetChangeVolProcWFn SetChangeVolProcW = nullptr;
  SetProcessDataProcWFn SetProcessDataProcW = nullptr;
  PackFilesWFn PackFilesW = nullptr;
  StartMemPackWFn StartMemPackW = nullptr;
#endif

  // Conveniences that pass strings the way a host does (mutable copies).
  int CanHandle(const std::string& path) const;
  // Opens with OpenMode 1 (extract); `result` receives the record's result field.
  void* Open(const std::string& archive, int* result = nullptr) const;
  int Process(void* handle, int operation, const char* dest_path, const char* dest_name) const;
  // Joins `names` into the host's list (each 0-terminated, closed by an extra 0).
  int Pack(const std::string& packed_file, const std::string& src_path,
           const std::vector<std::string>& names, int flags = kPackSavePaths,
           const char* sub_path = nullptr) const;

 private:
  void* Resolve(const char* name);

  std::string path_;
  void* module_ = nullptr;
  std::string load_error_;
  std::vector<std::string> missing_;
};

// One process-wide instance of the default plugin, loaded on first use.
Plugin& SharedPlugin();

// The host's list form: each name 0-terminated, the list closed by an extra 0.
std::vector<char> MakeAddList(const std::vector<std::string>& names);

// ----------------------------------------------------------------- records

// The open record as a 64-bit host lays it out: ArcName pointer at 0,
// OpenMode at 8, OpenResult at 12.  Every other byte is pre-filled with a
// pattern so that stray writes show.
class OpenRecord {
 public:
  static constexpr std::size_t kSize = 64;
  static constexpr std::size_t kArcNameOffset = 0;
  static constexpr std::size_t kOpenModeOffset = 8;
  static constexpr std::size_t kOpenResultOffset = 12;
  static constexpr unsigned char kFill = 0xA5;

  explicit OpenRecord(std::string arc_name, int open_mode = 1);
#ifdef _WIN32
  // The wide record of OpenArchiveW: the same layout, a UTF-16 name.
  explicit OpenRecord(std::wstring arc_name, int open_mode = 1);
#endif
  OpenRecord(const OpenRecord&) = delete;
  OpenRecord& operator=(const OpenRecord&) = delete;

  void* data() { return bytes_.data(); }
  std::int32_t OpenResult() const;
  std::int32_t OpenMode() const;
  void SetOpenResult(std::int32_t value);
  // True when no byte from 16 on differs from the pre-fill.
  bool TailUntouched() const;
  // A null ArcName pointer, for hostile-host tests.
  void SetNullName();

 private:
  void Lay(void* name, int open_mode);

  std::string name_;
  std::wstring wide_name_;
  alignas(8) std::array<unsigned char, kSize> bytes_{};
};

// Where the plugin may write in a header record, as a host lays it out.
struct HeaderLayout {
  std::size_t size;
  std::size_t file_name_offset;
  std::size_t file_name_size;
  std::size_t pack_size_offset;
  std::size_t pack_size_high_offset;  // 0: none
  std::size_t unp_size_offset;
  std::size_t unp_size_high_offset;  // 0: none
  std::size_t file_crc_offset;
  std::size_t file_time_offset;
  std::size_t file_attr_offset;
};

// The record of ReadHeader in Double Commander's packed 576-byte layout.
inline constexpr HeaderLayout kHeaderLayout{576, 260, 260, 524, 0, 528, 0, 536, 540, 552};
// The record of ReadHeaderEx: 1024-byte names, sizes split into halves,
// comments and 1024 reserved bytes after the attributes (3136 bytes packed).
inline constexpr HeaderLayout kHeaderExLayout{3136, 1024, 1024, 2052, 2056, 2060, 2064, 2072, 2076, 2088};
// The record of ReadHeaderExW: names of 1024 UTF-16 units, naturally aligned.
inline constexpr HeaderLayout kHeaderExWLayout{5192, 2048, 2048, 4100, 4104, 4108, 4112, 4120, 4124, 4136};

// A header record pre-filled with a pattern, followed by a guard area that
// must never be written.
class HeaderRecord {
 public:
  static constexpr std::size_t kGuard = 64;

  // Fills every byte (guard included) with `fill`.
  explicit HeaderRecord(unsigned char fill = 0x5A, const HeaderLayout& layout = kHeaderLayout);

  void* data() { return bytes_.data(); }
  void Fill(unsigned char fill);

  std::string FileName() const;  // up to the first zero byte of the field
  std::u16string WideFileName() const;  // the same in a record of UTF-16 names
  std::int32_t PackSize() const { return Get32(layout_.pack_size_offset); }
  std::int32_t UnpSize() const { return Get32(layout_.unp_size_offset); }
  std::int32_t FileCRC() const { return Get32(layout_.file_crc_offset); }
  std::int32_t FileTime() const { return Get32(layout_.file_time_offset); }
  std::int32_t FileAttr() const { return Get32(layout_.file_attr_offset); }
  // The 64-bit sizes of the extended record.
  std::uint64_t PackSize64() const;
  std::uint64_t UnpSize64() const;
  std::int32_t Get32(std::size_t offset) const;

  // Offsets of bytes that differ from the fill and lie outside the fields the
  // plugin may write (the name field, sizes, CRC, time, attributes).  The
  // guard after the record counts as outside.
  std::vector<std::size_t> StrayWrites() const;

 private:
  HeaderLayout layout_;
  unsigned char fill_;
  std::vector<unsigned char> bytes_;
};

// ---------------------------------------------------------------- progress

struct ProgressReport {
  bool null_name = false;
  std::string name;
  int size = 0;
};

// Records the progress reports made on the thread that created it, while it
// lives (recorders nest), and answers like a host whose user may press
// Cancel.  Register the callback with
// plugin.SetProcessDataProc(handle, ProgressRecorder::Callback), or hand it
// to the packer directly.
class ProgressRecorder {
 public:
  ProgressRecorder();
  ~ProgressRecorder();
  ProgressRecorder(const ProgressRecorder&) = delete;
  ProgressRecorder& operator=(const ProgressRecorder&) = delete;

  // The host answers 0 (stop) to the report with this index (0-based) and
  // to every later one; 1 otherwise.
  void StopAt(std::size_t index) { stop_at_ = index; }
  // The host does `action` when the report with this index comes, before
  // it answers: renames a folder, calls back into the plugin, dies.
  void At(std::size_t index, std::function<void()> action) {
    action_at_ = index;
    action_ = std::move(action);
  }

  const std::vector<ProgressReport>& Reports() const { return reports_; }
  std::size_t Count() const { return reports_.size(); }
  // Sum of all sizes reported.
  long long TotalSize() const;
  // Sizes of the reports whose name is exactly `name`, in order, and their sum.
  std::vector<int> Sizes(const std::string& name) const;
  long long SizeSum(const std::string& name) const;
  void Clear() { reports_.clear(); }

  static int QV_STDCALL Callback(char* file_name, int size);

 private:
  std::vector<ProgressReport> reports_;
  std::optional<std::size_t> stop_at_;
  std::size_t action_at_ = 0;
  std::function<void()> action_;
  ProgressRecorder* previous_ = nullptr;
};

// ------------------------------------------------------------ message box

struct RecordedMessage {
  std::string text;
  std::string caption;
  long flags = 0;
};

// A host message box that records instead of showing (thread-safe).
int RecordMessageBox(char* text, char* caption, long flags);
std::vector<RecordedMessage> RecordedMessages();
void ClearRecordedMessages();

// The packed startup record of the extension interface: StructSize at 0,
// PluginDir at 4, PluginConfDir at 16388, InputBox at 32772, MessageBox at
// 32780, more host functions after it.
inline constexpr std::size_t kExtensionMessageBoxOffset = 32780;
inline constexpr std::uint32_t kExtensionFullSize = 32788 + 8 * 32;

// Calls ExtensionInitialize with a record of `struct_size` (as claimed in its
// StructSize field) whose MessageBox slot holds `message_box`.  False when the
// plugin has no ExtensionInitialize.
bool InitializeExtension(const Plugin& plugin, MessageBoxProc message_box = RecordMessageBox,
                         std::uint32_t struct_size = kExtensionFullSize);

// Copies the plugin into `dir`, so that loading the copy gets a fresh module
// instance (state and load-time settings such as TMPDIR); on Windows
// lib64.dll goes with it.  Returns the new path.
std::string CopyPlugin(const std::string& dir, const std::string& from = DefaultPluginPath());

}  // namespace qvtest

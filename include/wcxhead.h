// The packer-plugin (WCX) interface between a file manager, the host, and a
// plugin: the records the host hands in, the result codes, the capability
// bits, the callback and entry-point types and the start of the extension
// record.  The constants keep the names hosts' own headers give them.
//
// The plugin, wcx, the benchmark driver and the fuzz target all take the
// interface from here.  Nothing in it belongs to any one plugin, so a host
// built on it can load every WCX plugin.
//
// The records are laid out exactly as a 64-bit host lays them out.  A plugin
// writes only the fields it owns and never clears or copies a whole record:
// hosts differ in what follows those fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wcx {

// ------------------------------------------------------------ result codes

inline constexpr int E_SUCCESS = 0;  // hosts' headers leave 0 unnamed
inline constexpr int E_END_ARCHIVE = 10;     // no further entries
inline constexpr int E_NO_MEMORY = 11;       // out of memory
inline constexpr int E_BAD_DATA = 12;        // CRC error in the unpacked data
inline constexpr int E_BAD_ARCHIVE = 13;     // the archive's data is damaged
inline constexpr int E_UNKNOWN_FORMAT = 14;  // not an archive of this format
inline constexpr int E_EOPEN = 15;           // a file cannot be opened
inline constexpr int E_ECREATE = 16;         // the output file cannot be created
inline constexpr int E_ECLOSE = 17;          // a file cannot be closed (or the handle names nothing open)
inline constexpr int E_EREAD = 18;           // a file cannot be read
inline constexpr int E_EWRITE = 19;          // a file cannot be written
inline constexpr int E_SMALL_BUF = 20;       // a buffer is too small
inline constexpr int E_EABORTED = 21;        // stopped through the progress callback
inline constexpr int E_NO_FILES = 22;        // nothing that can be packed
inline constexpr int E_TOO_MANY_FILES = 23;  // more files than one archive holds
inline constexpr int E_NOT_SUPPORTED = 24;   // the plugin does not do this

// Answers of PackToMem.
inline constexpr int MEMPACK_OK = 0;
inline constexpr int MEMPACK_DONE = 1;

// Modes of OpenArchive and operations of ProcessFile.
inline constexpr int PK_OM_LIST = 0;
inline constexpr int PK_OM_EXTRACT = 1;
inline constexpr int PK_SKIP = 0;
inline constexpr int PK_TEST = 1;
inline constexpr int PK_EXTRACT = 2;

// Flags of PackFiles.
inline constexpr int PK_PACK_MOVE_FILES = 1;
inline constexpr int PK_PACK_SAVE_PATHS = 2;
inline constexpr int PK_PACK_ENCRYPT = 4;

// Capability bits of GetPackerCaps.
inline constexpr int PK_CAPS_NEW = 1;
inline constexpr int PK_CAPS_MODIFY = 2;
inline constexpr int PK_CAPS_MULTIPLE = 4;
inline constexpr int PK_CAPS_DELETE = 8;
inline constexpr int PK_CAPS_OPTIONS = 16;
inline constexpr int PK_CAPS_MEMPACK = 32;
inline constexpr int PK_CAPS_BY_CONTENT = 64;
inline constexpr int PK_CAPS_SEARCHTEXT = 128;
inline constexpr int PK_CAPS_HIDE = 256;
inline constexpr int PK_CAPS_ENCRYPT = 512;

// -------------------------------------------------------------- callbacks

// Progress: 0 asks the plugin to stop, anything else to go on.
using TProcessDataProc = int (*)(char* file_name, int size);
using TChangeVolProc = int (*)(char* arc_name, int mode);
#ifdef _WIN32
using TProcessDataProcW = int (*)(wchar_t* file_name, int size);
using TChangeVolProcW = int (*)(wchar_t* arc_name, int mode);
#endif
// The host's dialogs, offered through the extension record.  Flags 0 is one
// OK button without an icon.
using TMessageBoxProc = int (*)(char* text, char* caption, long flags);
using TInputBoxProc = int (*)(char* caption, char* prompt, int mask_input, char* value,
                              int value_max_length);

// ---------------------------------------------------------------- records

#pragma pack(push, 1)

// The open record.  Hosts hand the wide form (Char = wchar_t) to the W entry
// points of Windows plugins; comments stay 8-bit in both.
template <typename Char>
struct tOpenArchiveDataT {
  Char* ArcName;
  std::int32_t OpenMode;
  std::int32_t OpenResult;
  char* CmtBuf;
  std::int32_t CmtBufSize;
  std::int32_t CmtSize;
  std::int32_t CmtState;
};
using tOpenArchiveData = tOpenArchiveDataT<char>;

// The header record as Double Commander lays it out (packed, 576 bytes); a
// plain C layout would pad CmtBuf and end at 584.
struct tHeaderData {
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

// The extended header record, with 64-bit sizes split into halves (the wide
// form for the W entry points, as above).  Every field up to FileAttr lies at
// the same offset whether the host packs the record (Double Commander) or
// aligns it naturally (the Windows declaration): the first pointer comes
// after them.
template <typename Char>
struct tHeaderDataExT {
  Char ArcName[1024];
  Char FileName[1024];
  std::int32_t Flags;
  std::uint32_t PackSize;
  std::uint32_t PackSizeHigh;
  std::uint32_t UnpSize;
  std::uint32_t UnpSizeHigh;
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
  char Reserved[1024];
};
using tHeaderDataEx = tHeaderDataExT<char>;

#ifdef _WIN32
using tOpenArchiveDataW = tOpenArchiveDataT<wchar_t>;
using tHeaderDataExW = tHeaderDataExT<wchar_t>;
#endif

// The start of the extension record Double Commander passes to
// ExtensionInitialize; it goes on with more host functions, which no plugin
// here calls.
struct tExtensionStartupInfo {
  std::uint32_t StructSize;
  char PluginDir[16384];
  char PluginConfDir[16384];
  TInputBoxProc InputBox;
  TMessageBoxProc MessageBox;
};

#pragma pack(pop)

static_assert(offsetof(tOpenArchiveData, ArcName) == 0);
static_assert(offsetof(tOpenArchiveData, OpenMode) == 8);
static_assert(offsetof(tOpenArchiveData, OpenResult) == 12);

static_assert(offsetof(tHeaderData, FileName) == 260);
static_assert(offsetof(tHeaderData, PackSize) == 524);
static_assert(offsetof(tHeaderData, UnpSize) == 528);
static_assert(offsetof(tHeaderData, FileCRC) == 536);
static_assert(offsetof(tHeaderData, FileTime) == 540);
static_assert(offsetof(tHeaderData, FileAttr) == 552);
static_assert(sizeof(tHeaderData) == 576);

static_assert(offsetof(tHeaderDataEx, FileName) == 1024);
static_assert(offsetof(tHeaderDataEx, PackSize) == 2052);
static_assert(offsetof(tHeaderDataEx, PackSizeHigh) == 2056);
static_assert(offsetof(tHeaderDataEx, UnpSize) == 2060);
static_assert(offsetof(tHeaderDataEx, UnpSizeHigh) == 2064);
static_assert(offsetof(tHeaderDataEx, FileCRC) == 2072);
static_assert(offsetof(tHeaderDataEx, FileTime) == 2076);
static_assert(offsetof(tHeaderDataEx, FileAttr) == 2088);
static_assert(sizeof(tHeaderDataEx) == 3136);

#ifdef _WIN32
static_assert(offsetof(tOpenArchiveDataW, OpenResult) == 12);
static_assert(offsetof(tHeaderDataExW, FileName) == 2048);
static_assert(offsetof(tHeaderDataExW, PackSize) == 4100);
static_assert(offsetof(tHeaderDataExW, PackSizeHigh) == 4104);
static_assert(offsetof(tHeaderDataExW, UnpSize) == 4108);
static_assert(offsetof(tHeaderDataExW, UnpSizeHigh) == 4112);
static_assert(offsetof(tHeaderDataExW, FileCRC) == 4120);
static_assert(offsetof(tHeaderDataExW, FileTime) == 4124);
static_assert(offsetof(tHeaderDataExW, FileAttr) == 4136);
#endif

static_assert(offsetof(tExtensionStartupInfo, PluginDir) == 4);
static_assert(offsetof(tExtensionStartupInfo, PluginConfDir) == 16388);
static_assert(offsetof(tExtensionStartupInfo, InputBox) == 32772);
static_assert(offsetof(tExtensionStartupInfo, MessageBox) == 32780);

// ----------------------------------------------------------- entry points

// The type of each entry point, as a host looks it up by name and as the
// plugin declares it.  They have C linkage, so nothing is thrown through
// them.
using GetPackerCapsFunc = int() noexcept;
using CanYouHandleThisFileFunc = int(char* file_name) noexcept;
using OpenArchiveFunc = void*(tOpenArchiveData* archive_data) noexcept;
using ReadHeaderFunc = int(void* handle, tHeaderData* header_data) noexcept;
using ReadHeaderExFunc = int(void* handle, tHeaderDataEx* header_data) noexcept;
using ProcessFileFunc = int(void* handle, int operation, char* dest_path, char* dest_name) noexcept;
using CloseArchiveFunc = int(void* handle) noexcept;
using SetChangeVolProcFunc = void(void* handle, TChangeVolProc change_vol_proc) noexcept;
using SetProcessDataProcFunc = void(void* handle, TProcessDataProc process_data_proc) noexcept;
using PackFilesFunc = int(char* packed_file, char* sub_path, char* src_path, char* add_list,
                          int flags) noexcept;
using ConfigurePackerFunc = void(void* parent, void* dll_instance) noexcept;
using StartMemPackFunc = void*(int options, char* file_name) noexcept;
using PackToMemFunc = int(void* handle, char* buf_in, int in_len, int* taken, char* buf_out,
                          int out_len, int* written, int seek_by) noexcept;
using DoneMemPackFunc = int(void* handle) noexcept;
using ExtensionInitializeFunc = void(tExtensionStartupInfo* startup_info) noexcept;
#ifdef _WIN32
using CanYouHandleThisFileWFunc = int(wchar_t* file_name) noexcept;
using OpenArchiveWFunc = void*(tOpenArchiveDataW* archive_data) noexcept;
using ReadHeaderExWFunc = int(void* handle, tHeaderDataExW* header_data) noexcept;
using ProcessFileWFunc = int(void* handle, int operation, wchar_t* dest_path,
                             wchar_t* dest_name) noexcept;
using SetChangeVolProcWFunc = void(void* handle, TChangeVolProcW change_vol_proc) noexcept;
using SetProcessDataProcWFunc = void(void* handle, TProcessDataProcW process_data_proc) noexcept;
using PackFilesWFunc = int(wchar_t* packed_file, wchar_t* sub_path, wchar_t* src_path,
                           wchar_t* add_list, int flags) noexcept;
using StartMemPackWFunc = void*(int options, wchar_t* file_name) noexcept;
#endif

}  // namespace wcx

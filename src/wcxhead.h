// The file manager's side of the packer-plugin interface: the records it
// hands in, the result codes, the capability bits and the callback types.
//
// The records are laid out exactly as a 64-bit host lays them out.  The
// plugin writes only the fields it owns and never clears or copies a whole
// record: hosts differ in what follows those fields.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wcx {

// Result codes.
inline constexpr int kSuccess = 0;
inline constexpr int kEndArchive = 10;    // no further entries
inline constexpr int kBadData = 13;       // unpacked data does not match its checksum
inline constexpr int kUnknownFormat = 14; // not an archive of this format
inline constexpr int kOpenError = 15;     // archive cannot be opened for reading
inline constexpr int kCreateError = 16;   // output file cannot be created
inline constexpr int kCloseError = 17;    // the handle names nothing open
inline constexpr int kWriteError = 19;    // archive cannot be created, or packing failed
inline constexpr int kAborted = 21;       // stopped through the progress callback
inline constexpr int kNoFiles = 22;       // nothing that can be packed
inline constexpr int kTooManyFiles = 23;  // more files than one archive holds

// In-memory packing answers.
inline constexpr int kMemPackOk = 0;
inline constexpr int kMemPackDone = 1;

// Operations of ProcessFile.
inline constexpr int kSkip = 0;
inline constexpr int kTest = 1;
inline constexpr int kExtract = 2;

// Capability bits.
inline constexpr int kCapsNew = 1;
inline constexpr int kCapsOptions = 16;
inline constexpr int kCapsMemPack = 32;
inline constexpr int kCapsByContent = 64;
inline constexpr int kCapsSearchText = 128;

// Host callbacks.
using TProcessDataProc = int (*)(char* file_name, int size);
using TChangeVolProc = int (*)(char* arc_name, int mode);
#ifdef _WIN32
using TProcessDataProcW = int (*)(wchar_t* file_name, int size);
using TChangeVolProcW = int (*)(wchar_t* arc_name, int mode);
#endif

#pragma pack(push, 1)

struct tOpenArchiveData {
  char* ArcName;
  std::int32_t OpenMode;
  std::int32_t OpenResult;
  // The host's comment fields follow; the plugin never touches them.
};

// The header record as Double Commander lays it out (packed, 576 bytes); a
// plain C layout would pad CmtBuf and end at 584.  Only the fields up to
// FileAttr are ever written.
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

#ifdef _WIN32
// The wide forms of the records, for the W entry points of Windows hosts.
struct tOpenArchiveDataW {
  wchar_t* ArcName;
  std::int32_t OpenMode;
  std::int32_t OpenResult;
};

struct tHeaderDataExW {
  wchar_t ArcName[1024];
  wchar_t FileName[1024];
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
};
#endif

// The extended header record, with 64-bit sizes split into halves.  Every
// field the plugin writes lies at the same offset whether the host packs the
// record (Double Commander) or aligns it naturally (the Windows declaration):
// the first pointer comes after them.
struct tHeaderDataEx {
  char ArcName[1024];
  char FileName[1024];
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
  // The comment fields and reserved bytes follow; the plugin never touches them.
};

// The start of the extension record Double Commander passes to
// ExtensionInitialize; later fields are of no use here.
struct tExtensionStartupInfo {
  std::uint32_t StructSize;
  char PluginDir[16384];
  char PluginConfDir[16384];
  void* InputBox;
  int (*MessageBox)(char* text, char* caption, long flags);
};

#pragma pack(pop)

static_assert(offsetof(tOpenArchiveData, ArcName) == 0);
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

static_assert(offsetof(tExtensionStartupInfo, MessageBox) == 32780);

}  // namespace wcx

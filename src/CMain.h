// Module state, the entry points' work, the archive builder and the packer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "bzLib.h"
#include "platform/platform.h"
#include "wcxhead.h"

namespace quorvane {

// Archive layout: a 28-byte header, the stored name, then one bzip2 stream.
inline constexpr char kMagic[8] = {'Q', 'U', 'O', 'R', 'V', 'A', 'N', 'E'};
inline constexpr int kHeaderSize = 28;

#pragma pack(push, 1)
struct TArcHeader {
  char magic[8];
  std::uint32_t unpsize;
  std::uint32_t packsize;
  std::uint32_t filetime;
  std::uint8_t namelen;
  std::uint8_t reserved[3];
  std::uint32_t crc;
};
#pragma pack(pop)
static_assert(sizeof(TArcHeader) == kHeaderSize);

// Longest archive path the reading state keeps.
inline constexpr std::size_t kMaxArchivePath = 4096;

// State of the archive being read.  Each calling thread has its own, so a
// host may list on one thread while it extracts on another.  It needs no
// destructor: a per-thread object with one would keep the module loaded
// after the host unloads it.
struct TArcState {
  std::int32_t nextpos = 0;
  std::int32_t pos = 0;
  wcx::TProcessDataProc pdp = nullptr;
  std::int32_t fh = 0;
  platform::PathChar fn[kMaxArchivePath] = {};  // zero-terminated
  std::uint8_t fnl = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t filetime = 0;  // stored DOS time, put back on extraction
};
TArcState& ArcState();

enum class TMemPackStage : std::uint8_t { reading = 0, writting = 1, done = 2 };

// The one in-memory packing job.
struct TMemPackState {
  platform::Path fn;
  platform::Path fntmp;
  platform::Path fnpack;
  platform::File han;
  std::uint32_t han2 = 0;
  TMemPackStage state = TMemPackStage::reading;
};

const platform::Path& ModuleDir();
const platform::Path& TempDir();

// Forwards a progress report to the host's callback; 1 when there is none.
int ReportProgress(const char* file_name, int size);

// Moves data between files and bzip2 streams, one operation per object.
class TZPacker {
 public:
  TZPacker();
  ~TZPacker();
  TZPacker(const TZPacker&) = delete;
  TZPacker& operator=(const TZPacker&) = delete;

  // Decompresses the archive's payload from startpos into outfilename.
  int Expand();
  // Compresses infilename into outfilename from startpos on.
  int Shrink();
  // Writes into a file the caller has already created instead of creating
  // outfilename.
  void AdoptOutput(platform::File output);

  std::int64_t startpos = 0;
  platform::Path infilename;
  platform::Path outfilename;
  std::uint32_t unpackedsize = 0;
  std::int32_t packedsize = 0;

 private:
  // Opens infilename and, unless the caller handed one over, creates
  // outfilename; answers 15 or `create_failure` when that fails.
  int OpenFiles(platform::Share input_share, int create_failure);
  int ExpandBlocks();
  int ShrinkBlocks();
  void CloseAll() noexcept;

  bool bound_ = false;
  platform::File infile;
  platform::File outFile;
  std::unique_ptr<TCustomBZip2Stream> ZStream;
  std::unique_ptr<std::array<char, kStagingSize>> buffer;
};

// `output`, when open, is the target already created by the caller.
int UnpackArchiveTo(const platform::Path& archive, const platform::Path& target,
                    platform::File output);

std::uint32_t FileSizeOf(const platform::Path& path);
int PackFileInto(const platform::Path& source, const platform::Path& archive,
                 std::int64_t startpos, platform::File output);
// Writes a complete archive of `source` at `archive`, replacing an existing
// one only once the new one is whole.  `inner_name`, when not empty, gives
// the stored name instead of the source's.
int BuildArchive(const platform::Path& source, const platform::Path& archive,
                 const platform::Path& inner_name, platform::Visibility visibility);

// The entry points' work.  The exported wrappers in quorvane.cpp add the
// guard that keeps exceptions inside the module.
int GetPackerCaps();
int CanYouHandleThisFile(const char* file_name);
std::intptr_t OpenArchive(wcx::tOpenArchiveData* archive_data);
int ReadHeader(wcx::tHeaderData* header_data);
int CloseArchive();
void SetProcessDataProc(wcx::TProcessDataProc proc);
int ProcessFile(int operation, const char* dest_path, const char* dest_name);
int PackFiles(const char* packed_file, const char* sub_path, const char* src_path,
              const char* add_list, int flags);
void ConfigurePacker();
std::intptr_t StartMemPack(int options, const char* file_name);
int PackToMem(const char* buf_in, int in_len, int* taken, char* buf_out, int out_len,
              int* written);
int DoneMemPack();
void ExtensionInitialize(const wcx::tExtensionStartupInfo* info);

}  // namespace quorvane

// Module state, the work behind every entry point, the archive builder and
// the packer that moves data between files and bzip2 streams.
#include "CMain.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "crc32.h"

namespace quorvane {

using platform::File;
using platform::FileKind;
using platform::Path;
using platform::PathView;
using platform::Share;

namespace {

thread_local TArcState arc_state;

platform::Mutex mem_pack_lock;
TMemPackState mem_pack;

// Closes the in-memory job's file and removes its temporary files.
void ReleaseMemPack() noexcept {
  mem_pack.han = File();
  platform::RemoveFile(mem_pack.fntmp);
  platform::RemoveFile(mem_pack.fnpack);
  mem_pack.fntmp.clear();
  mem_pack.fnpack.clear();
}

// Load and unload.  Declared after the in-memory job so that it is torn
// down first: a job the host never finished leaves nothing behind.
struct Module {
  Path temp_dir;
  Path module_dir;

  Module() {
    platform::SeedRandom();
    temp_dir = platform::TempDirectory();
    module_dir = platform::ModuleDirectory();
  }
  ~Module() {
    std::lock_guard guard(mem_pack_lock);
    ReleaseMemPack();
  }
};

Module module;

constexpr char kUnpackingText[] = "Распаковка: ";
constexpr char kPackingText[] = "Orvel's Quorvane - Упаковка: ";
constexpr char kAboutText[] =
    "QuorvaneTC\rSimply plugin for working with Orvel's Quorvane archives\rQuorvane developers";
constexpr char kCaption[] = "Quorvane";

int ProgressSize(std::size_t bytes) { return static_cast<int>(bytes); }

// The stored name as a plain file name: a crafted archive must not steer an
// extraction into another folder, so everything up to the last slash or
// backslash goes, and what cannot name a file is replaced by the archive's
// own name without its extension.  The separators are looked for in whole
// characters: in a double-byte code page a backslash byte can be the second
// half of a letter.
std::string SafeEntryName(std::string_view stored, const Path& archive) {
  const Path name = platform::FromHost(std::string(stored).c_str());
#ifdef _WIN32
  const std::size_t cut = name.find_last_of(L"/\\:");  // "c:x" would name a drive
#else
  const std::size_t cut = name.find_last_of("/\\");
#endif
  std::string result(stored);
  if (cut != Path::npos) result = platform::ToHost(PathView(name).substr(cut + 1));
  if (!platform::CanNameFile(platform::FromHost(result.c_str()))) {
    Path own = platform::NamePart(archive);
    Path stem = platform::ChangeFileExt(own, Path());
    return platform::ToHost(stem.empty() ? own : stem);
  }
  return result;
}

}  // namespace

TArcState& ArcState() { return arc_state; }
const Path& ModuleDir() { return module.module_dir; }
const Path& TempDir() { return module.temp_dir; }

int ReportProgress(const char* file_name, int size) {
  wcx::TProcessDataProc pdp = arc_state.pdp;
  if (!pdp) return 1;
  return pdp(const_cast<char*>(file_name), size);
}

// ----------------------------------------------------------------- packer

TZPacker::TZPacker() : buffer(std::make_unique<std::array<char, kStagingSize>>()) {
  bound_ = LoadBZip2Library(ModuleDir());
}

TZPacker::~TZPacker() {
  CloseAll();
  FreeBZip2Library();
}

void TZPacker::AdoptOutput(File output) { outFile = std::move(output); }

void TZPacker::CloseAll() noexcept {
  ZStream.reset();
  infile = File();
  outFile = File();
}

int TZPacker::OpenFiles(Share input_share, int create_failure) {
  try {
    infile = File::OpenRead(infilename, input_share);
  } catch (const platform::FileError&) {
    return wcx::kOpenError;
  }
  if (outFile.IsOpen()) return wcx::kSuccess;  // the caller created it
  try {
    outFile = File::Create(outfilename, Share::kNone);
  } catch (const platform::FileError&) {
    infile = File();
    return create_failure;
  }
  return wcx::kSuccess;
}

int TZPacker::Expand() {
  ReportProgress(nullptr, 0);
  // Without the library nothing can be unpacked: leave no empty output.
  if (!bound_) return wcx::kOpenError;
  int result = OpenFiles(Share::kNone, wcx::kCreateError);
  if (result != wcx::kSuccess) return result;
  try {
    infile.Seek(startpos, platform::Origin::kBegin);
    ZStream = std::make_unique<TBZDecompressionStream>(infile);
  } catch (const std::exception&) {
    // No decompressor: the library is missing or would not start.
    CloseAll();
    return wcx::kOpenError;
  }
  try {
    result = ExpandBlocks();
  } catch (const EBZip2Error&) {
    result = wcx::kBadData;  // the payload is not one intact bzip2 stream
  } catch (const std::exception&) {
    result = wcx::kWriteError;  // the output could not be written
  }
  ZStream.reset();
  infile = File();
  try {
    outFile.Close();
  } catch (const platform::FileError&) {
    if (result == wcx::kSuccess) result = wcx::kWriteError;
  }
  return result;
}

int TZPacker::ExpandBlocks() {
  const std::string message = platform::MessageToHost(kUnpackingText) + platform::ToHost(infilename);
  for (;;) {
    std::size_t n = ZStream->Read(buffer->data(), buffer->size());
    if (n == 0) return wcx::kSuccess;
    outFile.WriteExact(buffer->data(), n);
    if (ReportProgress(message.c_str(), ProgressSize(n)) == 0) return wcx::kAborted;
  }
}

int TZPacker::Shrink() {
  int result = OpenFiles(Share::kRead, wcx::kWriteError);
  if (result != wcx::kSuccess) return result;
  try {
    outFile.Seek(startpos, platform::Origin::kBegin);
    ZStream = std::make_unique<TBZCompressionStream>(outFile);
  } catch (const std::exception&) {
    CloseAll();
    return wcx::kWriteError;
  }
  try {
    result = ShrinkBlocks();
  } catch (const std::exception&) {
    result = wcx::kWriteError;
  }
  // Ending the compressor completes the stream, after a stop as well; its
  // final writes can fail like any other.
  try {
    static_cast<TBZCompressionStream&>(*ZStream).Finish();
  } catch (const std::exception&) {
    if (result == wcx::kSuccess) result = wcx::kWriteError;
  }
  ZStream.reset();
  try {
    outFile.Close();
  } catch (const platform::FileError&) {
    if (result == wcx::kSuccess) result = wcx::kWriteError;
  }
  infile = File();
  return result;
}

int TZPacker::ShrinkBlocks() {
  const std::string message = platform::MessageToHost(kPackingText) + platform::ToHost(infilename);
  // Counted in 64 bits: every source is packed whole, whatever its size.
  std::int64_t remaining = infile.Size();
  do {
    std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(remaining, kStagingSize));
    infile.ReadExact(buffer->data(), chunk);
    ZStream->Write(buffer->data(), chunk);
    remaining -= static_cast<std::int64_t>(chunk);
    if (ReportProgress(message.c_str(), ProgressSize(chunk)) == 0) return wcx::kAborted;
  } while (remaining > 0);
  return wcx::kSuccess;
}

// ------------------------------------------------------ archive builder

int UnpackArchiveTo(const Path& archive, const Path& target, File output) {
  TZPacker packer;
  packer.infilename = archive;
  packer.outfilename = target;
  packer.startpos = arc_state.fnl + kHeaderSize;
  if (output.IsOpen()) packer.AdoptOutput(std::move(output));
  return packer.Expand();
}

std::uint32_t FileSizeOf(const Path& path) {
  File file = File::OpenRead(path, Share::kReadWrite);
  return static_cast<std::uint32_t>(file.Size());
}

int PackFileInto(const Path& source, const Path& archive, std::int64_t startpos, File output) {
  TZPacker packer;
  packer.infilename = source;
  packer.outfilename = archive;
  packer.startpos = startpos;
  if (output.IsOpen()) packer.AdoptOutput(std::move(output));
  return packer.Shrink();
}

int BuildArchive(const Path& source, const Path& archive, const Path& inner_name,
                 platform::Visibility visibility) {
  TArcHeader header{};
  std::memcpy(header.magic, kMagic, sizeof header.magic);

  const std::string stored = platform::CutAtCharacter(
      platform::ToHost(platform::NamePart(inner_name.empty() ? source : inner_name)), 255);
  header.namelen = static_cast<std::uint8_t>(stored.size());
  try {
    header.unpsize = FileSizeOf(source);
  } catch (const platform::FileError&) {
    return wcx::kOpenError;
  }
  header.filetime = platform::FileDosTime(source);
  header.crc = FileCRC32(source);

  // The new archive grows under a name of its own beside the target and
  // takes the target's place only once it is whole, so a failed or stopped
  // packing leaves an existing archive as it was.
  Path temporary;
  File output;
  Path prefix(QV_PATH("."));
  prefix.append(platform::NamePart(archive)).append(QV_PATH("."));
  try {
    output = platform::CreateUniqueFile(platform::DirectoryPart(archive), prefix, QV_PATH(".tmp"),
                                        visibility, temporary);
  } catch (const platform::FileError&) {
    return wcx::kWriteError;
  }
  int result = PackFileInto(source, temporary, header.namelen + kHeaderSize, std::move(output));
  if (result == wcx::kSuccess) {
    try {
      File file = File::OpenReadWrite(temporary, Share::kNone);
      header.packsize = static_cast<std::uint32_t>(file.Size() - header.namelen - kHeaderSize);
      file.Seek(0, platform::Origin::kBegin);
      file.WriteExact(&header, sizeof header);
      file.WriteExact(stored.data(), stored.size());
      file.Close();
      platform::ReplaceFile(temporary, archive);
      return wcx::kSuccess;
    } catch (const platform::FileError&) {
      result = wcx::kWriteError;
    }
  }
  platform::RemoveFile(temporary);
  return result;
}

// ------------------------------------------------------ reading entry points

int GetPackerCaps() {
  return wcx::kCapsNew | wcx::kCapsOptions | wcx::kCapsMemPack | wcx::kCapsByContent |
         wcx::kCapsSearchText;
}

namespace {

bool IsQuorvaneArchive(const Path& path) {
  // Only regular files are opened: a FIFO or a device could block forever.
  if (platform::KindOf(path) != FileKind::kRegular) return false;
  char magic[sizeof kMagic] = {};
  try {
    File file = File::OpenRead(path, Share::kNone);
    if (file.Read(magic, sizeof magic) != sizeof magic) return false;
  } catch (const platform::FileError&) {
    return false;
  }
  return std::memcmp(magic, kMagic, sizeof magic) == 0;
}

}  // namespace

int CanYouHandleThisFile(const char* file_name) {
  return IsQuorvaneArchive(platform::FromHost(file_name)) ? -1 : 0;
}

std::intptr_t OpenArchive(wcx::tOpenArchiveData* archive_data) {
  if (!archive_data) return 0;
  Path path = platform::FromHost(archive_data->ArcName);
  if (!IsQuorvaneArchive(path)) {
    archive_data->OpenResult = wcx::kUnknownFormat;
    return 0;
  }
  if (path.size() >= kMaxArchivePath) {
    archive_data->OpenResult = wcx::kOpenError;
    return 0;
  }
  arc_state.nextpos = 0;
  arc_state.pos = 0;
  std::copy(path.begin(), path.end(), arc_state.fn);
  arc_state.fn[path.size()] = 0;
  archive_data->OpenResult = wcx::kSuccess;
  return 100;
}

int ReadHeader(wcx::tHeaderData* header_data) {
  TArcState& state = arc_state;
  const Path archive = state.fn;
  if (state.nextpos > 0) {
    state.pos = 0;
    state.nextpos = 0;
    return wcx::kEndArchive;
  }
  state.pos = state.nextpos;
  TArcHeader header{};
  char name[256] = {};
  std::size_t name_read = 0;
  try {
    File file = File::OpenRead(archive, Share::kNone);
    file.Read(&header, sizeof header);
    name_read = file.Read(name, header.namelen);
  } catch (const platform::FileError&) {
    return wcx::kOpenError;  // the archive vanished or is locked since it was opened
  }
  state.fnl = header.namelen;
  state.crc32 = header.crc;
  state.filetime = header.filetime;
  if (!header_data) return wcx::kSuccess;

  std::string entry = SafeEntryName(std::string_view(name, strnlen(name, name_read)), archive);
  entry.resize(std::min<std::size_t>(entry.size(), sizeof header_data->FileName - 1));
  std::memcpy(header_data->FileName, entry.c_str(), entry.size() + 1);
  header_data->PackSize = static_cast<std::int32_t>(header.packsize);
  header_data->UnpSize = static_cast<std::int32_t>(header.unpsize);
  header_data->FileCRC = 0;
  header_data->FileTime = static_cast<std::int32_t>(platform::HostRecordTime(header.filetime));
  header_data->FileAttr = static_cast<std::int32_t>(platform::HostRecordAttributes());
  state.nextpos = state.pos + 1;
  return wcx::kSuccess;
}

int CloseArchive() {
  arc_state.nextpos = 0;
  arc_state.pos = 0;
  return wcx::kSuccess;
}

void SetProcessDataProc(wcx::TProcessDataProc proc) { arc_state.pdp = proc; }

int ProcessFile(int operation, const char* dest_path, const char* dest_name) {
  const TArcState& state = arc_state;
  const Path archive = state.fn;
  if (operation == wcx::kTest) {
    // A private file of its own in the temporary directory: created
    // exclusively, so no planted link is followed and tests running at the
    // same time never share it.
    Path target;
    File output;
    try {
      output = platform::CreateUniqueFile(TempDir(), QV_PATH("quorvane."), QV_PATH(".$$$"),
                                          platform::Visibility::kPrivate, target);
    } catch (const platform::FileError&) {
      return wcx::kCreateError;
    }
    int result = wcx::kCreateError;
    try {
      result = UnpackArchiveTo(archive, target, std::move(output));
      if (result == wcx::kSuccess && FileCRC32(target) != state.crc32) result = wcx::kBadData;
    } catch (...) {
      platform::RemoveFile(target);
      throw;
    }
    platform::RemoveFile(target);
    return result;
  }
  if (operation != wcx::kExtract) return wcx::kSuccess;

  const Path name = platform::FromHost(dest_name);
  const Path directory = dest_path ? platform::WithTrailingSeparator(platform::FromHost(dest_path))
                                   : platform::DirectoryPart(name);
  const Path target = directory + platform::NamePart(name);
  int result = UnpackArchiveTo(archive, target, File());
  if (result != wcx::kSuccess) return result;
  if (FileCRC32(target) != state.crc32) return wcx::kBadData;
  platform::SetFileDosTime(target, state.filetime);
  return wcx::kSuccess;
}

// ------------------------------------------------------ packing entry points

int PackFiles(const char* packed_file, const char*, const char* src_path, const char* add_list,
              int) {
  if (!packed_file || !add_list) return wcx::kNoFiles;
  const Path archive = platform::AbsolutePath(platform::FromHost(packed_file));
  // The format holds one file: the first name of the list.  It is taken
  // whole, so names in a multi-byte character set stay intact.
  Path source = platform::FromHost(add_list);
  if (src_path) source = platform::WithTrailingSeparator(platform::FromHost(src_path)) + source;
  if (platform::KindOf(source) != FileKind::kRegular) return wcx::kNoFiles;
  return BuildArchive(source, archive, Path(), platform::Visibility::kPublic);
}

void ConfigurePacker() { platform::ShowMessage(platform::MessageToHost(kAboutText), kCaption); }

void ExtensionInitialize(const wcx::tExtensionStartupInfo* info) {
  constexpr std::uint32_t kNeeded =
      offsetof(wcx::tExtensionStartupInfo, MessageBox) + sizeof(info->MessageBox);
  if (info && info->StructSize >= kNeeded) platform::SetHostMessageBox(info->MessageBox);
}

// ------------------------------------------------------ in-memory packing

namespace {

void SetCount(int* count, int value) {
  if (count) *count = value;
}

// Ends the job: nothing of it stays, and every later call answers
// "finished".
void EndMemPack() noexcept {
  ReleaseMemPack();
  mem_pack.state = TMemPackStage::done;
}

// Ends a job that cannot go on: the host hears the failure once.
int FailMemPack(int code) {
  EndMemPack();
  return code;
}

// The end of the input: builds the archive from what was collected.
int FinishCollecting() {
  try {
    mem_pack.han.Close();
  } catch (const platform::FileError&) {
    return FailMemPack(wcx::kWriteError);
  }
  // The data is stored under the target's base name with ".tar", in the
  // form the host's character set can carry.
  const Path inner = platform::FromHost(
      platform::ToHost(platform::ChangeFileExt(platform::ChangeFileExt(mem_pack.fn, Path()), QV_PATH(".tar")))
          .c_str());
  try {
    File reserved = platform::CreateUniqueFile(TempDir(), QV_PATH("quorvane$"), QV_PATH(".qv"),
                                               platform::Visibility::kPrivate, mem_pack.fnpack);
    reserved.Close();
  } catch (const platform::FileError&) {
    return FailMemPack(wcx::kWriteError);
  }
  int result = BuildArchive(mem_pack.fntmp, mem_pack.fnpack, inner, platform::Visibility::kPrivate);
  platform::RemoveFile(mem_pack.fntmp);
  mem_pack.fntmp.clear();
  if (result != wcx::kSuccess) return FailMemPack(result == wcx::kAborted ? wcx::kAborted : wcx::kWriteError);
  try {
    mem_pack.han = File::OpenRead(mem_pack.fnpack, Share::kNone);
  } catch (const platform::FileError&) {
    return FailMemPack(wcx::kWriteError);
  }
  return wcx::kSuccess;
}

}  // namespace

std::intptr_t StartMemPack(int, const char* file_name) {
  std::lock_guard guard(mem_pack_lock);
  ReleaseMemPack();  // a job the host left unfinished
  mem_pack.fn = platform::FromHost(file_name);
  mem_pack.state = TMemPackStage::reading;
  try {
    mem_pack.han = platform::CreateUniqueFile(TempDir(), QV_PATH("quorvane$"), QV_PATH(".$$$"),
                                              platform::Visibility::kPrivate, mem_pack.fntmp);
  } catch (const platform::FileError&) {
    // Collecting cannot start; the first PackToMem reports it.
  }
  return 777;
}

int PackToMem(const char* buf_in, int in_len, int* taken, char* buf_out, int out_len, int* written) {
  std::lock_guard guard(mem_pack_lock);
  if (mem_pack.state == TMemPackStage::done) return wcx::kMemPackDone;
  if (mem_pack.state == TMemPackStage::reading && !mem_pack.han.IsOpen()) {
    SetCount(taken, 0);
    SetCount(written, 0);
    return FailMemPack(wcx::kWriteError);
  }
  if (in_len > 0) {
    SetCount(written, 0);
    // Input after the end of input has nowhere to go.
    if (mem_pack.state != TMemPackStage::reading || !buf_in) {
      SetCount(taken, 0);
      return wcx::kWriteError;
    }
    std::size_t length = static_cast<std::size_t>(in_len);
    if (mem_pack.han.Write(buf_in, length) != length) {
      // A short write (a full disk) would leave a hole in the archive.
      SetCount(taken, 0);
      return FailMemPack(wcx::kWriteError);
    }
    SetCount(taken, in_len);
    return wcx::kMemPackOk;
  }
  SetCount(written, 0);
  // No room to deliver anything: a later call will.
  if (out_len <= 0 || !buf_out) return wcx::kMemPackOk;
  if (mem_pack.state == TMemPackStage::reading) {
    mem_pack.state = TMemPackStage::writting;
    if (int result = FinishCollecting(); result != wcx::kSuccess) return result;
  }
  std::size_t n = mem_pack.han.Read(buf_out, static_cast<std::size_t>(out_len));
  if (n == 0) {
    bool complete;
    try {
      complete = mem_pack.han.Position() == mem_pack.han.Size();
    } catch (const platform::FileError&) {
      complete = false;
    }
    if (!complete) return FailMemPack(wcx::kWriteError);  // never hand out a cut archive
    EndMemPack();
  }
  SetCount(written, static_cast<int>(n));
  return wcx::kMemPackOk;
}

int DoneMemPack() {
  std::lock_guard guard(mem_pack_lock);
  EndMemPack();
  return wcx::kSuccess;
}

}  // namespace quorvane

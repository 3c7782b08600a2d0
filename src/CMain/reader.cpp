// Recognition, listing, testing and extracting.  Readers hold the archive
// open, shared for reading, from OpenArchive to CloseArchive: any number of
// them may work on it at once, and nobody may write it meanwhile.
#include "CMain/reader.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "CMain/failure.h"
#include "CMain/format.h"
#include "CMain/handles.h"
#include "CMain/module.h"
#include "CMain/packer.h"

namespace quorvane {

using platform::File;
using platform::Path;
using platform::PathView;
using platform::Share;

namespace {

THandleTable<TArcState> open_archives;

// Where an archive's entry gets its name when the stored one cannot name a
// file, and neither can the archive's own name without its extension.
constexpr platform::PathChar kFallbackName[] = QV_PATH("unnamed");

// Whether the file, read from its start, begins with the magic.
bool HasMagic(File& file) {
  char magic[sizeof kMagic] = {};
  file.Seek(0, platform::Origin::kBegin);
  return file.Read(magic, sizeof magic) == sizeof magic && std::memcmp(magic, kMagic, sizeof magic) == 0;
}

// -1 when the file is an archive, 0 when it is not or cannot be read.
template <typename Char>
int Recognize(const Char* file_name) {
  try {
    File file = File::OpenRead(ToPath(file_name), Share::kRead);
    return HasMagic(file) ? -1 : 0;
  } catch (const platform::FileError&) {
    return 0;
  }
}

// What the header and the name say, read as far as the file goes.
struct THeaderRead {
  TArcHeader header{};
  std::string name;
  std::int64_t file_size = 0;
};

THeaderRead ReadHeaderOf(File& archive) {
  THeaderRead read;
  read.file_size = archive.Size();
  archive.Seek(0, platform::Origin::kBegin);
  // A short header reads as zeros where it ends: listing trusts what it finds.
  archive.Read(&read.header, sizeof read.header);
  char name[kMaxStoredName] = {};
  const std::size_t got = archive.Read(name, read.header.namelen);
  read.name.assign(name, strnlen(name, got));
  return read;
}

// How an entry came out of its archive.
enum class TOutcome {
  kIntact,
  kDamaged,         // what came out is not what was stored
  kNothingCameOut,  // damaged before any data came out
};

// Unpacks the entry of `state` into `output` (null: nowhere).
TOutcome Unpack(TArcState& state, const TProgress& progress, File* output) {
  File& archive = state.archive;
  const std::int64_t payload = kHeaderSize + state.fnl;
  // An archive cut before its payload, or whose payload is no bzip2 stream,
  // holds nothing to give back.
  const std::int64_t size = archive.Size();
  unsigned char start[4] = {};
  if (size < payload) return TOutcome::kNothingCameOut;
  archive.Seek(payload, platform::Origin::kBegin);
  if (archive.Read(start, sizeof start) != sizeof start || !BeginsBzip2Stream(start)) {
    return TOutcome::kNothingCameOut;
  }
  const TBZip2Library library(ModuleDir());
  TZPacker packer(payload, library, progress);
  const bool intact = packer.Expand(archive, output);
  // The payload must be as long as the header says (its low 32 bits, as the
  // field keeps them): an archive cut at its end is damaged even where the
  // stream that is left decodes.
  const bool whole = static_cast<std::uint32_t>(size - payload) == state.packsize;
  if (intact && whole && packer.content().crc32() == state.crc32 &&
      SizeMatches(state.unpsize, packer.content().size())) {
    return TOutcome::kIntact;
  }
  return packer.content().size() > 0 ? TOutcome::kDamaged : TOutcome::kNothingCameOut;
}

void Test(TArcState& state, const TProgress& progress) {
  if (Unpack(state, progress, nullptr) != TOutcome::kIntact) throw EFailure(TFailed::kData);
}

void Extract(TArcState& state, const TProgress& progress, const Path& target) {
  platform::PendingFile output(target, platform::PendingFile::Attributes::kNew);
  const TOutcome outcome = Unpack(state, progress, &output.file());
  // Damaged data still takes the target's place: the user keeps what could
  // be recovered, and the code says it is damaged.
  if (outcome != TOutcome::kNothingCameOut) output.Commit(state.filetime);
  if (outcome != TOutcome::kIntact) throw EFailure(TFailed::kData);
}

}  // namespace

TEntryName SafeEntryName(std::string_view stored, const Path& archive) {
  const Path name = platform::FromHost(std::string(stored).c_str());
  // The separators are looked for in whole characters: in a double-byte code
  // page a backslash byte can be the second half of a letter.
  Path result = platform::NamePart(name);
  if (result == name && platform::CanNameFile(name)) return {name, std::string(stored)};
  if (!platform::CanNameFile(result)) result = platform::ChangeFileExt(platform::NamePart(archive), Path());
  if (!platform::CanNameFile(result)) result = kFallbackName;
  return {result, platform::ToHost(result)};
}

int CanYouHandleThisFile(const char* file_name) { return Recognize(file_name); }

void* OpenArchivePath(const Path& path) {
  auto state = std::make_shared<TArcState>();
  state->fn = path;
  // Opening refuses a FIFO or a device unopened: either could block forever.
  state->archive = File::OpenRead(path, Share::kRead);
  if (!HasMagic(state->archive)) return nullptr;
  return open_archives.Add(std::move(state));
}

namespace {

// The entry points' work for either form of the host's strings.

template <typename Record>
void* OpenRecorded(Record* archive_data) {
  if (!archive_data) return nullptr;
  void* handle = OpenArchivePath(ToPath(archive_data->ArcName));
  archive_data->OpenResult = handle ? wcx::E_SUCCESS : wcx::E_UNKNOWN_FORMAT;
  return handle;
}

template <typename Char>
int ProcessNamed(void* handle, int operation, const Char* dest_path, const Char* dest_name) {
  const Path path = ToPath(dest_path);
  return ProcessFilePaths(handle, operation, dest_path ? &path : nullptr, ToPath(dest_name));
}

}  // namespace

void* OpenArchive(wcx::tOpenArchiveData* archive_data) { return OpenRecorded(archive_data); }

int ReadEntry(void* handle, TEntry* entry) {
  const std::shared_ptr<TArcState> found = open_archives.Find(handle);
  if (!found) return wcx::E_EOPEN;
  TArcState& state = *found;
  const TEntered entered(state.lock);
  if (!entered) return wcx::E_NOT_SUPPORTED;
  if (state.nextpos > 0) {
    state.pos = 0;
    state.nextpos = 0;
    return wcx::E_END_ARCHIVE;
  }
  state.pos = state.nextpos;
  const THeaderRead read = ReadHeaderOf(state.archive);
  state.fnl = read.header.namelen;
  state.crc32 = read.header.crc;
  state.unpsize = UnpackedSize(read.header);
  state.packsize = read.header.packsize;
  state.filetime = read.header.filetime;
  if (entry) {
    entry->name = SafeEntryName(read.name, state.fn);
    entry->packsize = read.header.packsize;
    entry->unpsize = state.unpsize;
    entry->payload =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, read.file_size - kHeaderSize - state.fnl));
    entry->filetime = read.header.filetime;
  }
  state.nextpos = state.pos + 1;
  return wcx::E_SUCCESS;
}

namespace {

// Copies a name into a fixed field, always zero-terminated.
template <typename Char, std::size_t N>
void PutName(Char (&field)[N], const std::basic_string<Char>& name) {
  const std::size_t length = std::min(name.size(), N - 1);
  std::copy_n(name.data(), length, field);
  field[length] = Char();
}

// Fills an extended header record, in either form.
template <typename Record>
int ReadEntryEx(void* handle, Record* header_data) {
  TEntry entry;
  const int result = ReadEntry(handle, header_data ? &entry : nullptr);
  if (result != wcx::E_SUCCESS || !header_data) return result;
  if constexpr (std::is_same_v<decltype(header_data->FileName[0]), char&>) {
    PutName(header_data->FileName, entry.name.host);
  } else {
    PutName(header_data->FileName, entry.name.path);
  }
  header_data->PackSize = static_cast<std::uint32_t>(entry.payload);
  header_data->PackSizeHigh = static_cast<std::uint32_t>(entry.payload >> 32);
  header_data->UnpSize = static_cast<std::uint32_t>(entry.unpsize);
  header_data->UnpSizeHigh = static_cast<std::uint32_t>(entry.unpsize >> 32);
  header_data->FileCRC = 0;
  header_data->FileTime = static_cast<std::int32_t>(platform::HostRecordTime(entry.filetime));
  header_data->FileAttr = static_cast<std::int32_t>(platform::HostRecordAttributes());
  return wcx::E_SUCCESS;
}

}  // namespace

int ReadHeader(void* handle, wcx::tHeaderData* header_data) {
  TEntry entry;
  const int result = ReadEntry(handle, header_data ? &entry : nullptr);
  if (result != wcx::E_SUCCESS || !header_data) return result;
  PutName(header_data->FileName, entry.name.host);
  header_data->PackSize = static_cast<std::int32_t>(entry.packsize);
  header_data->UnpSize = static_cast<std::int32_t>(static_cast<std::uint32_t>(entry.unpsize));
  header_data->FileCRC = 0;
  header_data->FileTime = static_cast<std::int32_t>(platform::HostRecordTime(entry.filetime));
  header_data->FileAttr = static_cast<std::int32_t>(platform::HostRecordAttributes());
  return wcx::E_SUCCESS;
}

int ReadHeaderEx(void* handle, wcx::tHeaderDataEx* header_data) { return ReadEntryEx(handle, header_data); }

int ProcessFilePaths(void* handle, int operation, const Path* dest_path, const Path& dest_name) {
  const std::shared_ptr<TArcState> found = open_archives.Find(handle);
  if (!found) return wcx::E_EOPEN;
  TArcState& state = *found;
  const TEntered entered(state.lock);
  if (!entered) return wcx::E_NOT_SUPPORTED;
  if (operation == wcx::PK_TEST) {
    Test(state, state.pdp.Get());
  } else if (operation == wcx::PK_EXTRACT) {
    // The host decides the output name; the stored one is not used.
    const Path directory =
        dest_path ? platform::WithTrailingSeparator(*dest_path) : platform::DirectoryPart(dest_name);
    Extract(state, state.pdp.Get(), directory + platform::NamePart(dest_name));
  }
  return wcx::E_SUCCESS;
}

int ProcessFile(void* handle, int operation, const char* dest_path, const char* dest_name) {
  return ProcessNamed(handle, operation, dest_path, dest_name);
}

int CloseArchive(void* handle) { return open_archives.Remove(handle) ? wcx::E_SUCCESS : wcx::E_ECLOSE; }

#ifdef _WIN32
// The wide forms: paths arrive as UTF-16 and stay so; only the stored name
// is in the ANSI code page, as the format keeps it.

int CanYouHandleThisFileW(const wchar_t* file_name) { return Recognize(file_name); }

void* OpenArchiveW(wcx::tOpenArchiveDataW* archive_data) { return OpenRecorded(archive_data); }

int ReadHeaderExW(void* handle, wcx::tHeaderDataExW* header_data) { return ReadEntryEx(handle, header_data); }

int ProcessFileW(void* handle, int operation, const wchar_t* dest_path, const wchar_t* dest_name) {
  return ProcessNamed(handle, operation, dest_path, dest_name);
}
#endif

bool SetArchiveCallback(void* handle, const TCallback& callback) {
  return open_archives.SetCallback(handle, callback);
}

}  // namespace quorvane

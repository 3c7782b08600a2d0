// The archive builder and packing of files the host names.
#include "CMain/builder.h"

#include <cstring>
#include <string_view>

#include "CMain/format.h"
#include "CMain/module.h"
#include "CMain/packer.h"

namespace quorvane {

using platform::File;
using platform::Path;

namespace {

constexpr char kAboutText[] =
    "QuorvaneTC\rSimply plugin for working with Orvel's Quorvane archives\rQuorvane developers";
}  // namespace

std::string StoredName(const Path& name) {
  return platform::CutAtCharacter(platform::ToHost(platform::NamePart(name)), kMaxStoredName);
}

std::string ArchiveFront(const std::string& stored, std::uint32_t filetime, const TContentTally& content,
                         std::uint64_t packed_size) {
  TArcHeader header{};
  std::memcpy(header.magic, kMagic, sizeof header.magic);
  header.namelen = static_cast<std::uint8_t>(stored.size());
  header.filetime = filetime;
  SetUnpackedSize(header, content.size());
  header.crc = content.crc32();
  header.packsize = static_cast<std::uint32_t>(packed_size);
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + stored;
}

void WriteArchive(File& source, File& archive, const std::string& stored, std::uint32_t filetime,
                  const TProgress& progress) {
  // Payload first, header last: the file is only an archive once it is whole.
  const std::int64_t payload = kHeaderSize + static_cast<std::int64_t>(stored.size());
  const TBZip2Library library(ModuleDir());
  TZPacker packer(payload, library, progress);
  packer.Shrink(source, archive);
  const std::string front =
      ArchiveFront(stored, filetime, packer.content(), static_cast<std::uint64_t>(archive.Size() - payload));
  archive.Seek(0, platform::Origin::kBegin);
  archive.Write(front.data(), front.size());
}

void BuildArchive(const Path& source, const Path& archive, const TProgress& progress) {
  File input = File::OpenRead(source, platform::Share::kRead);
  platform::PendingFile output(platform::ResolveLinks(archive), platform::PendingFile::Attributes::kTarget);
  WriteArchive(input, output.file(), StoredName(source), input.DosTime(), progress);
  output.Commit();
}

namespace {

template <typename Char>
int PackListed(const Char* packed_file, const Char* src_path, const Char* add_list) {
  if (!packed_file || !add_list) return wcx::E_NO_FILES;
  // The host's list: names, each ending in a zero, closed by an empty one.
  // Each name is taken whole, so a multi-byte character set stays intact.
  // The format holds one file: more than one name cannot be packed without
  // losing the others.
  const std::basic_string_view<Char> first(add_list);
  if (!first.empty() && add_list[first.size() + 1] != Char()) return wcx::E_TOO_MANY_FILES;
  Path source = ToPath(add_list);
  if (src_path) source = platform::WithTrailingSeparator(ToPath(src_path)) + source;
  if (platform::KindOf(source) != platform::FileKind::kRegular) return wcx::E_NO_FILES;
  BuildArchive(source, platform::AbsolutePath(ToPath(packed_file)), PackingCallback());
  return wcx::E_SUCCESS;
}

}  // namespace

int PackFiles(const char* packed_file, const char*, const char* src_path, const char* add_list, int) {
  return PackListed(packed_file, src_path, add_list);
}

#ifdef _WIN32
int PackFilesW(const wchar_t* packed_file, const wchar_t*, const wchar_t* src_path, const wchar_t* add_list,
               int) {
  return PackListed(packed_file, src_path, add_list);
}
#endif

void ConfigurePacker() { platform::ShowMessage(platform::MessageToHost(kAboutText), kCaption); }

}  // namespace quorvane

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
  header.unpsize = static_cast<std::uint32_t>(content.size());
  header.crc = content.crc32();
  header.packsize = static_cast<std::uint32_t>(packed_size);
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + stored;
}

int WriteArchive(File& source, File& archive, const std::string& stored, std::uint32_t filetime,
                 const TProgress& progress) {
  // Payload first, header last: the file is only an archive once it is whole.
  TZPacker packer(progress);
  packer.startpos = kHeaderSize + static_cast<std::int64_t>(stored.size());
  if (int result = packer.Shrink(source, archive); result != wcx::E_SUCCESS) return result;
  try {
    const std::string front =
        ArchiveFront(stored, filetime, packer.content(), static_cast<std::uint64_t>(archive.Size() - packer.startpos));
    archive.Seek(0, platform::Origin::kBegin);
    archive.Write(front.data(), front.size());
  } catch (const platform::FileError&) {
    return wcx::E_EWRITE;
  }
  return wcx::E_SUCCESS;
}

int BuildArchive(const Path& source, const Path& archive, const Path& inner_name, const TProgress& progress) {
  File input;
  try {
    input = File::OpenRead(source, platform::Share::kRead);
  } catch (const platform::FileError&) {
    return wcx::E_EOPEN;
  }
  const std::uint32_t filetime = platform::FileDosTime(source);

  Path target, temporary;
  File output;
  try {
    target = platform::ResolveLinks(archive);
    output = platform::CreateUniqueFile(platform::DirectoryPart(target), kBesidePrefix, Path(),
                                        platform::Visibility::kPublic, temporary);
  } catch (const platform::FileError&) {
    return wcx::E_EWRITE;
  }
  int result =
      WriteArchive(input, output, StoredName(inner_name.empty() ? source : inner_name), filetime, progress);
  if (result == wcx::E_SUCCESS) {
    try {
      platform::KeepAttributes(target, temporary);  // with no old archive, the mode of a new file
      output.Sync();
      output.Close();
      platform::ReplaceFile(temporary, target);
      return wcx::E_SUCCESS;
    } catch (const platform::FileError&) {
      result = wcx::E_EWRITE;
    }
  }
  output = File();
  platform::RemoveFile(temporary);
  return result;
}

namespace {

Path ToPath(const char* host) { return platform::FromHost(host); }
#ifdef _WIN32
Path ToPath(const wchar_t* wide) { return wide ? Path(wide) : Path(); }
#endif

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
  const Path archive = platform::AbsolutePath(ToPath(packed_file));
  return BuildArchive(source, archive, Path(), PackingCallback());
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

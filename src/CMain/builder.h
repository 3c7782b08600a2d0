// The archive builder, and the entry points that pack files the host names.
#pragma once

#include <cstdint>
#include <string>

#include "CMain/module.h"
#include "CMain/packer.h"
#include "platform/platform.h"
#include "wcxhead.h"

namespace quorvane {

// The header and the stored name (a host string of at most 255 bytes) of an
// archive whose payload holds `content` in `packed_size` bytes.
std::string ArchiveFront(const std::string& stored, std::uint32_t filetime, const TContentTally& content,
                         std::uint64_t packed_size);

// Writes a whole archive into `archive`, an empty file open for writing:
// the payload packed from `source` (read once, to its end), then the header
// and the stored name (a host string of at most 255 bytes) in front of it.
void WriteArchive(platform::File& source, platform::File& archive, const std::string& stored,
                  std::uint32_t filetime, const TProgress& progress);

// The stored form of a file's name: its name part in the host's character
// set, cut to what the header can carry without splitting a character.
std::string StoredName(const platform::Path& name);

// Packs `source` into an archive at `archive`.  The new archive grows
// beside the target and takes its place only once it is whole and on the
// disk, keeping the old archive's permissions; where `archive` is a symbolic
// link, the file it points to is replaced.  An old archive that readers
// hold is not replaced under them: platform::FileInUseError, at once.
void BuildArchive(const platform::Path& source, const platform::Path& archive, const TProgress& progress);

int PackFiles(const char* packed_file, const char* sub_path, const char* src_path, const char* add_list,
              int flags);
#ifdef _WIN32
int PackFilesW(const wchar_t* packed_file, const wchar_t* sub_path, const wchar_t* src_path,
               const wchar_t* add_list, int flags);
#endif
void ConfigurePacker();

}  // namespace quorvane

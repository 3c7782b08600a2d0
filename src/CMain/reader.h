// The reading side: recognising archives, and the archives the host has
// open, each with its own state behind the handle the host holds.
#pragma once

#include <cstdint>
#include <string>

#include "CMain/handles.h"
#include "CMain/module.h"
#include "platform/platform.h"
#include "wcxhead.h"

namespace quorvane {

// The state of one open archive.  It holds the archive open from
// OpenArchive to CloseArchive, shared for reading: what is listed, tested
// and extracted comes from that one file, even when another program puts a
// new file at its path meanwhile.
struct TArcState {
  std::int32_t nextpos = 0;  // headers already handed out (0 or 1)
  std::int32_t pos = 0;      // nextpos when the last header was read
  TProgressSlot pdp;
  platform::Path fn;
  platform::File archive;
  // Taken from the header by the last ReadHeader, for the ProcessFile that follows.
  std::uint8_t fnl = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t unpsize = 0;  // as far as the header keeps it (see UnpackedSize)
  std::uint32_t packsize = 0;
  std::uint32_t filetime = 0;
  TOperationLock lock;
};

// A listed name, as a path and as a host string.
struct TEntryName {
  platform::Path path;
  std::string host;
};

// One listed entry, ready for either form of the host's header record.
struct TEntry {
  TEntryName name;             // a plain file name
  std::uint32_t packsize = 0;  // as stored
  std::uint64_t unpsize = 0;   // as stored (see UnpackedSize)
  std::uint64_t payload = 0;   // the payload's real size in the archive file
  std::uint32_t filetime = 0;  // DOS date/time, as stored
};

int CanYouHandleThisFile(const char* file_name);
void* OpenArchive(wcx::tOpenArchiveData* archive_data);
int ReadHeader(void* handle, wcx::tHeaderData* header_data);
int ReadHeaderEx(void* handle, wcx::tHeaderDataEx* header_data);
int ProcessFile(void* handle, int operation, const char* dest_path, const char* dest_name);
int CloseArchive(void* handle);
#ifdef _WIN32
int CanYouHandleThisFileW(const wchar_t* file_name);
void* OpenArchiveW(wcx::tOpenArchiveDataW* archive_data);
int ReadHeaderExW(void* handle, wcx::tHeaderDataExW* header_data);
int ProcessFileW(void* handle, int operation, const wchar_t* dest_path, const wchar_t* dest_name);
#endif
// Gives the archive behind `handle` its own progress callback; false when
// the handle names no open archive.
bool SetArchiveCallback(void* handle, const TCallback& callback);

// The same with paths already converted from whatever form the host used.
// The handle of a new open archive; null when the file was read and is not
// an archive.  A file that cannot be opened or read raises.
void* OpenArchivePath(const platform::Path& path);
// Fills `entry` (when not null) and moves on to the next entry.
int ReadEntry(void* handle, TEntry* entry);
// `dest_path` may be null.
int ProcessFilePaths(void* handle, int operation, const platform::Path* dest_path,
                     const platform::Path& dest_name);

// The stored name as a plain file name: a crafted archive must not steer an
// extraction into another folder, so everything up to the last separator
// goes, and what cannot name a file on this system is replaced by the
// archive's own name without its extension (for a name the code page could
// not spell, that is the name the host proposed for the archive).
TEntryName SafeEntryName(std::string_view stored, const platform::Path& archive);

}  // namespace quorvane

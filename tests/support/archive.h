// Builds .qv archives for tests independently of the plugin, with knobs to
// damage any part, and reads their headers back; bzip2 streams from libbz2
// and from the real bzip2 program.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "reference_crc32.h"

namespace qvtest {

inline constexpr char kMagic[] = "QUORVANE";  // 8 bytes on disk, no terminator
inline constexpr std::size_t kArchiveHeaderSize = 28;

// One bzip2 stream of `data` (block size 1..9).  Aborts if libbz2 refuses.
std::string Bzip2Compress(std::string_view data, int block_size = 9);
// The data of one bzip2 stream; nothing when the stream is bad, incomplete,
// or followed by anything.
std::optional<std::string> Bzip2Decompress(std::string_view stream);
#ifndef _WIN32
// What the real bzip2 program makes of data: `bzip2 -9 -c`, by way of files
// in `scratch`.
std::string BzipProgramCompress(const std::string& data, const std::string& scratch);
// `bzip2 -d -c` of a file; nothing when bzip2 refuses it.
std::optional<std::string> BzipProgramDecompressFile(const std::string& path);
#endif

// ---------------------------------------------------------------- DOS times

// A local date/time as a DOS date/time (seconds rounded down to even).
std::uint32_t DosTime(int year, int month, int day, int hour, int minute, int second);
// A Unix time as a local DOS date/time; 0xFFFFFFFF outside 1980..2107.
std::uint32_t DosTimeFromUnix(std::time_t t);
// The Unix time of a local DOS date/time; -1 when it is not a valid date.
std::time_t UnixFromDosTime(std::uint32_t dos);

// ----------------------------------------------------------------- archives

// What goes into an archive.  Everything is derived from `name` and
// `content` unless overridden.
struct ArchiveRecipe {
  std::string name = "file.txt";
  std::string content;
  std::uint32_t filetime = DosTime(2021, 6, 15, 12, 30, 44);
  std::array<std::uint8_t, 3> reserved{0, 0, 0};
  int block_size = 9;

  std::optional<std::string> magic;       // default "QUORVANE"
  std::optional<std::uint32_t> unpsize;   // default content size
  std::optional<std::uint32_t> packsize;  // default payload size
  std::optional<std::uint8_t> namelen;    // default name size (the name bytes are written whole)
  std::optional<std::uint32_t> crc;       // default Crc32(content)
  std::optional<std::string> payload;     // default Bzip2Compress(content)
};

std::string MakeArchive(const ArchiveRecipe& recipe);
// An archive of `content` stored as `name` around a payload made elsewhere
// (by the bzip2 program, say).
std::string MakeArchive(const std::string& name, const std::string& content, std::string payload);
// Writes MakeArchive(recipe) to `path`.
void WriteArchive(const std::string& path, const ArchiveRecipe& recipe);
// An archive of `content` stored as `name`, written to `path`.
void WriteArchive(const std::string& path, const std::string& name, std::string_view content);

// The fixed header, read from archive bytes (little-endian).
struct ParsedHeader {
  std::string magic;
  std::uint32_t unpsize = 0;
  std::uint32_t packsize = 0;
  std::uint32_t filetime = 0;
  std::uint8_t namelen = 0;
  std::array<std::uint8_t, 3> reserved{};
  std::uint32_t crc = 0;
  std::string name;     // the namelen bytes after the header (fewer if cut)
  std::string payload;  // everything after the name
};
// Nothing when the bytes are shorter than the header.
std::optional<ParsedHeader> ParseArchive(std::string_view bytes);

}  // namespace qvtest

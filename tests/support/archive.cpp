// Archives for tests, written with libbz2 directly or the bzip2 program.
#include "archive.h"

#include <bzlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "files.h"
#include "process.h"

namespace qvtest {

std::string Bzip2Compress(std::string_view data, int block_size) {
  bz_stream strm{};
  if (BZ2_bzCompressInit(&strm, block_size, 0, 0) != BZ_OK) {
    std::fprintf(stderr, "BZ2_bzCompressInit failed\n");
    std::abort();
  }
  std::string out;
  std::vector<char> buffer(65536);
  strm.next_in = const_cast<char*>(data.data());
  strm.avail_in = static_cast<unsigned>(data.size());
  int status;
  do {
    strm.next_out = buffer.data();
    strm.avail_out = static_cast<unsigned>(buffer.size());
    status = BZ2_bzCompress(&strm, BZ_FINISH);
    if (status < 0) {
      std::fprintf(stderr, "BZ2_bzCompress failed: %d\n", status);
      std::abort();
    }
    out.append(buffer.data(), buffer.size() - strm.avail_out);
  } while (status != BZ_STREAM_END);
  BZ2_bzCompressEnd(&strm);
  return out;
}

std::optional<std::string> Bzip2Decompress(std::string_view stream) {
  bz_stream strm{};
  if (BZ2_bzDecompressInit(&strm, 0, 0) != BZ_OK) return std::nullopt;
  std::string out;
  std::vector<char> buffer(65536);
  strm.next_in = const_cast<char*>(stream.data());
  strm.avail_in = static_cast<unsigned>(stream.size());
  int status;
  do {
    strm.next_out = buffer.data();
    strm.avail_out = static_cast<unsigned>(buffer.size());
    status = BZ2_bzDecompress(&strm);
    out.append(buffer.data(), buffer.size() - strm.avail_out);
    if (status == BZ_OK && strm.avail_in == 0 && strm.avail_out != 0) break;  // ran out
  } while (status == BZ_OK);
  bool whole = status == BZ_STREAM_END && strm.avail_in == 0;
  BZ2_bzDecompressEnd(&strm);
  if (!whole) return std::nullopt;
  return out;
}

#ifndef _WIN32
std::string BzipProgramCompress(const std::string& data, const std::string& scratch) {
  const std::string plain = scratch + "/bzip2-input";
  const std::string packed = scratch + "/bzip2-output.bz2";
  WriteFile(plain, data);
  if (RunShell("bzip2 -9 -c " + ShellQuote(plain) + " > " + ShellQuote(packed)) != 0) {
    throw std::runtime_error("bzip2 failed");
  }
  std::string result = ReadFile(packed);
  std::remove(plain.c_str());
  std::remove(packed.c_str());
  return result;
}

std::optional<std::string> BzipProgramDecompressFile(const std::string& path) {
  const std::string out = path + ".restored";
  const int status = RunShell("bzip2 -d -c " + ShellQuote(path) + " > " + ShellQuote(out) +
                              " 2>/dev/null");
  std::optional<std::string> result;
  if (status == 0) result = ReadFile(out);
  std::remove(out.c_str());
  return result;
}
#endif

// ---------------------------------------------------------------- DOS times

std::uint32_t DosTime(int year, int month, int day, int hour, int minute, int second) {
  std::uint32_t date = static_cast<std::uint32_t>((year - 1980) << 9 | month << 5 | day);
  std::uint32_t time = static_cast<std::uint32_t>(hour << 11 | minute << 5 | second / 2);
  return date << 16 | time;
}

std::uint32_t DosTimeFromUnix(std::time_t t) {
  std::tm local{};
#ifdef _WIN32
  if (localtime_s(&local, &t) != 0) return 0xFFFFFFFFu;
#else
  if (localtime_r(&t, &local) == nullptr) return 0xFFFFFFFFu;
#endif
  int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0xFFFFFFFFu;
  return DosTime(year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

std::time_t UnixFromDosTime(std::uint32_t dos) {
  int year = static_cast<int>(dos >> 25) + 1980;
  int month = static_cast<int>(dos >> 21 & 0xF);
  int day = static_cast<int>(dos >> 16 & 0x1F);
  int hour = static_cast<int>(dos >> 11 & 0x1F);
  int minute = static_cast<int>(dos >> 5 & 0x3F);
  int second = static_cast<int>(dos & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return -1;
  }
  const std::time_t t = LocalUnixTime(year, month, day, hour, minute, second);
  // mktime quietly moves 31 February to March; such a date is not valid.
  if (DosTimeFromUnix(t) >> 16 != DosTime(year, month, day, hour, minute, second) >> 16) return -1;
  return t;
}

// ----------------------------------------------------------------- archives

namespace {

void Put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
}

std::uint32_t Get32(std::string_view s, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) {
    v = v << 8 | static_cast<unsigned char>(s[offset + static_cast<std::size_t>(i)]);
  }
  return v;
}

}  // namespace

std::string MakeArchive(const ArchiveRecipe& recipe) {
  std::string payload = recipe.payload ? *recipe.payload : Bzip2Compress(recipe.content, recipe.block_size);
  std::string magic = recipe.magic ? *recipe.magic : std::string(kMagic, 8);
  magic.resize(8, '\0');
  std::string out = magic;
  Put32(out, recipe.unpsize ? *recipe.unpsize : static_cast<std::uint32_t>(recipe.content.size()));
  Put32(out, recipe.packsize ? *recipe.packsize : static_cast<std::uint32_t>(payload.size()));
  Put32(out, recipe.filetime);
  out.push_back(static_cast<char>(recipe.namelen ? *recipe.namelen : recipe.name.size() & 0xFF));
  for (std::uint8_t r : recipe.reserved) out.push_back(static_cast<char>(r));
  Put32(out, recipe.crc ? *recipe.crc : Crc32(recipe.content));
  out += recipe.name;
  out += payload;
  return out;
}

std::string MakeArchive(const std::string& name, const std::string& content, std::string payload) {
  ArchiveRecipe recipe;
  recipe.name = name;
  recipe.content = content;
  recipe.payload = std::move(payload);
  return MakeArchive(recipe);
}

void WriteArchive(const std::string& path, const ArchiveRecipe& recipe) {
  WriteFile(path, MakeArchive(recipe));
}

void WriteArchive(const std::string& path, const std::string& name, std::string_view content) {
  ArchiveRecipe recipe;
  recipe.name = name;
  recipe.content = std::string(content);
  WriteArchive(path, recipe);
}

std::optional<ParsedHeader> ParseArchive(std::string_view bytes) {
  if (bytes.size() < kArchiveHeaderSize) return std::nullopt;
  ParsedHeader h;
  h.magic = std::string(bytes.substr(0, 8));
  h.unpsize = Get32(bytes, 8);
  h.packsize = Get32(bytes, 12);
  h.filetime = Get32(bytes, 16);
  h.namelen = static_cast<std::uint8_t>(bytes[20]);
  for (std::size_t i = 0; i < 3; ++i) h.reserved[i] = static_cast<std::uint8_t>(bytes[21 + i]);
  h.crc = Get32(bytes, 24);
  std::string_view rest = bytes.substr(kArchiveHeaderSize);
  h.name = std::string(rest.substr(0, h.namelen));
  h.payload = std::string(rest.substr(h.name.size()));
  return h;
}

}  // namespace qvtest

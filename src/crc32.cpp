// CRC-32 of buffers and files.  The buffer routine is libdeflate's, linked in
// statically: it folds with carry-less multiplication where the processor has
// it (PCLMULQDQ, with AVX when present) and falls back to a slicing-by-8
// table elsewhere, choosing once, at the first call.
#include "crc32.h"

#include <libdeflate.h>

#include <array>

#include "platform/platform.h"

namespace quorvane {
namespace {

constexpr std::size_t kReadSize = 32768;

}  // namespace

std::uint32_t UpdateCRC32(std::uint32_t crc, const void* buffer, std::size_t count) {
  // libdeflate takes and gives the finished value (the register inverted).
  // It also answers a null buffer with the initial value whatever the count,
  // so an empty piece, which may come with no buffer at all, must not reach it.
  if (count == 0) return crc;
  return ~libdeflate_crc32(~crc, buffer, count);
}

std::uint32_t FileCRC32(const platform::Path& path) {
  // Nothing to check for a name that is not a file; callers compare the
  // result with a stored value, and a mismatch tells the story.
  if (platform::KindOf(path) != platform::FileKind::kRegular) return 0;
  std::uint32_t crc = 0xFFFFFFFF;
  try {
    platform::File file = platform::File::OpenRead(path, platform::Share::kReadWrite);
    // One buffer per call: hosts check files on several threads at once.
    std::array<char, kReadSize> buffer;
    while (std::size_t n = file.Read(buffer.data(), buffer.size())) crc = UpdateCRC32(crc, buffer.data(), n);
    file.Close();
  } catch (const std::exception& error) {
    platform::ShowMessage(platform::MessageToHost("Ошибка '") + error.what() +
                              platform::MessageToHost("' при обработке файла '") +
                              platform::ToHost(path) + "'",
                          "Quorvane");
  }
  return ~crc;
}

}  // namespace quorvane

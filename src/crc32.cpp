// CRC-32 of buffers.  The routine is libdeflate's, linked in statically: it
// folds with carry-less multiplication where the processor has it
// (PCLMULQDQ, with AVX when present) and falls back to a slicing-by-8 table
// elsewhere, choosing once, at the first call.
#include "crc32.h"

#include <libdeflate.h>

namespace quorvane {

std::uint32_t UpdateCRC32(std::uint32_t crc, const void* buffer, std::size_t count) {
  // libdeflate takes and gives the finished value (the register inverted).
  // It also answers a null buffer with the initial value whatever the count,
  // so an empty piece, which may come with no buffer at all, must not reach it.
  if (count == 0) return crc;
  return ~libdeflate_crc32(~crc, buffer, count);
}

}  // namespace quorvane

// CRC-32 (the reflected polynomial 0xEDB88320, as zip and PNG use it) of
// buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

// Feeds `count` bytes to the register `crc` (no pre- or post-inversion).
// Any count will do, 0 and more than 4 GiB included.
std::uint32_t UpdateCRC32(std::uint32_t crc, const void* buffer, std::size_t count);

}  // namespace quorvane

// CRC-32 (the reflected polynomial 0xEDB88320, as zip and PNG use it) of
// buffers.
#pragma once

#include <cstddef>
#include <cstdint>


namespace quorvane {

extern const std::uint32_t kCRC32Table[256];

// Feeds `count` bytes to the register `crc` (no pre- or post-inversion).
std::uint32_t UpdateCRC32(std::uint32_t crc, const void* buffer, std::size_t count);

}  // namespace quorvane

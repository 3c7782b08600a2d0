// CRC-32 (the reflected polynomial 0xEDB88320, as zip and PNG use it) of
// buffers and of whole files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace quorvane {

// Feeds `count` bytes to the register `crc` (no pre- or post-inversion).
// Any count will do, 0 and more than 4 GiB included.
std::uint32_t UpdateCRC32(std::uint32_t crc, const void* buffer, std::size_t count);

// The CRC-32 of a file's contents.  A file that cannot be read is reported
// to the user in a message box; the checksum of what could be read is
// returned.
std::uint32_t FileCRC32(const platform::Path& path);

}  // namespace quorvane

// Texts and exit statuses for the file manager's result codes.
#include "results.h"

namespace wcx {

std::string DescribeResult(int code, const std::string& format_name) {
  switch (code) {
    case kEndArchive:
      return "the archive holds no entries";
    case kNoMemory:
      return "the plugin ran out of memory";
    case kBadData:
      return "the unpacked data is damaged (CRC error)";
    case kBadArchive:
      return "checksum mismatch: the extracted data is damaged";
    case kUnknownFormat:
      if (format_name.empty()) return "not an archive this plugin can read";
      return "not a " + format_name + " archive";
    case kOpenError:
      return "the archive cannot be opened for reading (or the plugin cannot load its "
             "compression library)";
    case kCreateError:
      return "the output file cannot be created";
    case kCloseError:
      return "a file could not be closed";
    case kReadError:
      return "a file could not be read";
    case kWriteError:
      return "the archive cannot be written (the disk may be full, compressing failed, or the "
             "plugin cannot load its compression library)";
    case kSmallBuffer:
      return "the plugin's buffer is too small";
    case kAborted:
      return "stopped by the user; nothing was left half-written";
    case kNoFiles:
      return "nothing to pack";
    case kTooManyFiles:
      return "too many files to pack";
    case kNotSupported:
      return "the plugin does not support this";
    default:
      return "the plugin failed with result code " + std::to_string(code);
  }
}

int ExitStatusFor(int code) {
  if (code == 0) return kExitOk;
  if (code >= kEndArchive && code <= kNotSupported) return code;
  return kExitOther;
}

}  // namespace wcx

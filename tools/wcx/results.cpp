// Texts and exit statuses for the file manager's result codes.
#include "results.h"

namespace wcx {

std::string DescribeResult(int code, Command command, const std::string& format_name,
                           const std::string& scratch) {
  switch (code) {
    case E_END_ARCHIVE:
      return "the archive holds no entries";
    case E_NO_MEMORY:
      return "the plugin ran out of memory";
    case E_BAD_DATA:
      return "the unpacked data is damaged (CRC error)";
    case E_BAD_ARCHIVE:
      if (command == Command::kExtracting) {
        return "checksum mismatch: the extracted data is damaged, so it was not kept";
      }
      return "checksum mismatch: the archive's data is damaged";
    case E_UNKNOWN_FORMAT:
      if (format_name.empty()) return "not an archive this plugin can read";
      return "not a " + format_name + " archive";
    case E_EOPEN:
      if (command == Command::kPacking) return "the file to pack cannot be opened for reading";
      if (command == Command::kListing) return "the archive cannot be opened for reading";
      return "the archive cannot be opened for reading (or the plugin cannot load its "
             "compression library)";
    case E_ECREATE:
      if (command == Command::kExtracting) return "cannot be created";
      if (command == Command::kTesting) {
        return "cannot create a scratch file for testing in " + scratch;
      }
      if (command == Command::kPacking) return "the archive cannot be created";
      return "the output file cannot be created";
    case E_ECLOSE:
      return "a file could not be closed";
    case E_EREAD:
      return "a file could not be read";
    case E_EWRITE:
      if (command == Command::kExtracting) return "cannot be written (the disk may be full)";
      if (command == Command::kTesting) {
        return "cannot write the scratch file for testing in " + scratch +
               " (the disk may be full)";
      }
      if (command == Command::kPacking) {
        return "the archive cannot be written (the disk may be full, compressing failed, or the "
               "plugin cannot load its compression library)";
      }
      return "a file could not be written";
    case E_SMALL_BUF:
      return "the plugin's buffer is too small";
    case E_EABORTED:
      if (command == Command::kExtracting) return "stopped by the user; no partial file was left";
      if (command == Command::kPacking) return "stopped by the user; nothing was left half-written";
      return "stopped by the user";
    case E_NO_FILES:
      return "nothing to pack";
    case E_TOO_MANY_FILES:
      return "too many files to pack";
    case E_NOT_SUPPORTED:
      return "the plugin does not support this";
    default:
      return "the plugin failed with result code " + std::to_string(code);
  }
}

bool IsOutputFailure(int code) { return code == E_ECREATE || code == E_EWRITE; }

int ExitStatusFor(int code) {
  if (code == 0) return kExitOk;
  if (code >= E_END_ARCHIVE && code <= E_NOT_SUPPORTED) return code;
  return kExitOther;
}

}  // namespace wcx

// What an operation failed at.  Below the entry points a failure says only
// that; the entry points' guard (quorvane.cpp) gives the result code.
#pragma once

#include <cstdint>
#include <exception>

namespace quorvane {

// What failed.  The errors of the layers below say it by their types: a
// platform::FileReadError is kRead, a std::bad_alloc kMemory, and so on.
enum class TFailed : std::uint8_t {
  kOpen,     // the archive or source cannot be opened (missing, or held by a writer)
  kRead,     // reading the archive or source failed
  kCreate,   // the output cannot be created, completed or put in place
  kWrite,    // writing the output failed (a full disk)
  kData,     // the archive's data is damaged
  kLibrary,  // the compression library is missing, would not start or failed
  kMemory,   // memory ran out
  kStop,     // the user stopped through the progress callback
  kOther,    // anything else; nothing is known to end up here
};

// A failure the plugin's own code raises.
class EFailure : public std::exception {
 public:
  explicit EFailure(TFailed failed) noexcept : failed_(failed) {}
  TFailed failed() const noexcept { return failed_; }

 private:
  TFailed failed_;
};

}  // namespace quorvane

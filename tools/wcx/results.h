// What wcx tells the user when something goes wrong, and the exit status
// that goes with it.
//
// A plugin's result code becomes wcx's exit status unchanged, so scripts can
// tell the cases apart; wcx's own failures use small numbers below 10, which
// no plugin answers with.
#pragma once

#include <stdexcept>
#include <string>

#include "wcxhead.h"

namespace wcx {

// wcx's own exit statuses.
inline constexpr int kExitOk = 0;
// The job is done, with warnings: pack --tar left out a file it could not
// read, or stored one that changed as it was read (as its tar header
// describes it), as GNU tar does, and like GNU tar wcx then exits with 1.
inline constexpr int kExitWarnings = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNotAPlugin = 3;
inline constexpr int kExitMissingExports = 4;
inline constexpr int kExitOutputExists = 5;
inline constexpr int kExitUnsafeName = 6;
inline constexpr int kExitOther = 7;  // a plugin code wcx does not know, or wcx itself failed

// The command a result code came back to: the same code means a different
// thing to the user when listing, testing, extracting or packing.
enum class Command { kListing, kTesting, kExtracting, kPacking };

// Plain-English text for a plugin result code, in the terms of `command`.
// `format_name` names the archive format ("Quorvane") for the
// not-this-format case, empty when the plugin's format has no known name;
// `scratch` is the folder where testing unpacks each entry.
std::string DescribeResult(int code, Command command, const std::string& format_name = "",
                           const std::string& scratch = "");
// Whether a code is about the file the command writes rather than the
// archive it reads.
bool IsOutputFailure(int code);
// The exit status for a plugin result code.
int ExitStatusFor(int code);

// A failure that ends the command: printed as "wcx: SUBJECT: TEXT" and
// turned into `status`.
class Failure : public std::runtime_error {
 public:
  Failure(int status, std::string subject, const std::string& text)
      : std::runtime_error(text), status_(status), subject_(std::move(subject)) {}
  int status() const noexcept { return status_; }
  const std::string& subject() const noexcept { return subject_; }

 private:
  int status_;
  std::string subject_;
};

}  // namespace wcx

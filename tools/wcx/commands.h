// The subcommands of wcx.  Each one raises Failure when it cannot finish.
#pragma once

#include <string>
#include <vector>

#include "plugin.h"
#include "results.h"

namespace wcx {

// wcx's name and version, as --version and about show them.
inline constexpr char kVersionLine[] = "wcx (Quorvane) " WCX_VERSION;

void ListArchive(const Plugin& plugin, const std::string& archive, bool json);
void TestArchive(const Plugin& plugin, const std::string& archive);
// Writes only directly inside `folder`, under the name part of each entry.
void ExtractArchive(const Plugin& plugin, const std::string& archive, const std::string& folder,
                    bool force);
// Packs one file through PackFiles.
void PackFile(const Plugin& plugin, const std::string& archive, const std::string& file,
              bool force);
// Packs files and folders as a tar stream through in-memory packing.
// Returns kExitFileChanged when a file changed while it was read (each one
// is named on standard error), otherwise kExitOk.
int PackTar(const Plugin& plugin, const std::string& archive,
            const std::vector<std::string>& paths, bool force);
void ShowAbout(const Plugin& plugin);

// Archive output is written to a temporary file beside the target and put in
// place only when complete, so a failure or Ctrl-C never leaves half an
// archive and never harms an existing one.
class PendingOutput {
 public:
  // Refuses an existing target unless `force`; raises Failure, with
  // `create_status` when the file cannot be made.
  PendingOutput(const std::string& target, bool force, int create_status);
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;
  // Removes the temporary file unless Commit succeeded.
  ~PendingOutput();

  const std::string& temporary() const noexcept { return temporary_; }
  // Puts the finished file in place of the target.
  void Commit();

 private:
  std::string target_;
  std::string temporary_;
  bool force_;
  int create_status_;
  bool committed_ = false;
};

// Raises Failure for a plugin result code other than 0, or for a stop the
// user asked for, worded for `command`.  A failure to create or write the
// output is told about `output` when it is given (the file being
// extracted), otherwise about `archive`.
void CheckResult(int code, const Plugin& plugin, Command command, const std::string& archive,
                 const std::string& output = "");

}  // namespace wcx

// The subcommands of wcx, and what they share: archives opened through the
// plugin, archives written, and where messages go.  Each command raises
// Failure when it cannot finish, and returns an exit status otherwise (0, or
// kExitWarnings and the statuses of parts it had to leave out).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os.h"
#include "plugin.h"
#include "results.h"

namespace wcx {

// wcx's name and version, as --version and about show them.
inline constexpr char kVersionLine[] = "wcx (Quorvane) " WCX_VERSION;

// What the command line asks for beyond the command and its operands.
struct Settings {
  bool force = false;
  bool quiet = false;
  bool verbose = false;
  bool to_stdout = false;  // -c: the archive, or the contents, go to standard output
  bool tar = false;
  bool untar = false;
  bool json = false;
  bool several = false;  // more than one archive: each one's output is headed by its name
  std::optional<std::string> name;  // --name: the name stored for packed data
};

int ListArchive(const Plugin& plugin, const std::string& archive, const Settings& settings);
int TestArchive(const Plugin& plugin, const std::string& archive, const Settings& settings);
// Writes only inside `folder`: under the name part of each entry, or the
// members of a stored tar with tar's safety rules.
int ExtractArchive(const Plugin& plugin, const std::string& archive, const std::string& folder,
                   const Settings& settings);
// `operands` as the command line gives them: [ARCHIVE] FILE, or with --tar
// [ARCHIVE] PATH...; `-` is standard input or output.
int Pack(const Plugin& plugin, const std::vector<std::string>& operands, const Settings& settings);
void ShowAbout(const Plugin& plugin);
// Adds the plugin to Double Commander's configuration in `folder` (empty:
// the one Double Commander reads for this account).
int SetUpDoubleCommander(const Plugin& plugin, std::string folder, const Settings& settings);

// Where lines about the work go: standard output, unless it carries an
// archive or extracted data, then nowhere (standard error with -v).
std::FILE* Report(const Settings& settings);

// An archive named on the command line, as the plugin can open it: `-` is
// standard input, copied into a private file first.
class ArchiveInput {
 public:
  explicit ArchiveInput(const std::string& operand);
  const std::string& path() const noexcept { return path_; }
  // The archive as messages name it.
  const std::string& shown() const noexcept { return shown_; }

 private:
  std::unique_ptr<os::PrivateFile> copy_;
  std::string path_;
  std::string shown_;
};

// An archive opened through the plugin, in the file manager's order:
// OpenArchive, the callbacks, then entries; closed at the end.
class OpenedArchive {
 public:
  OpenedArchive(const Plugin& plugin, const ArchiveInput& input, Command command);
  OpenedArchive(const OpenedArchive&) = delete;
  OpenedArchive& operator=(const OpenedArchive&) = delete;
  ~OpenedArchive();

  // Reads the next entry's header; false after the last one.
  bool Next(Entry& entry);
  // `output` is what the user will see written: the extracted file.
  void Process(int operation, const std::string& dest_name = "", const std::string& output = "");
  // Raises Failure for a result code other than 0, worded for the command.
  void Check(int code, const std::string& output = "") const;
  const std::string& shown() const noexcept { return shown_; }

 private:
  const Plugin& plugin_;
  std::string shown_;
  Command command_;
  void* handle_ = nullptr;
};

// Extracts the current entry into a private scratch folder inside `parent`
// and hands it back open, its name already gone, so nothing of it outlives
// the caller.  Damaged data comes back too: `damaged` says so.
os::File ExtractToScratch(OpenedArchive& opened, const std::string& parent, bool& damaged);

// A new archive: a file that appears only when complete (an existing one is
// replaced only with `force`), or standard output.
class ArchiveOutput {
 public:
  ArchiveOutput(const std::string& archive, bool force);
  ArchiveOutput(const ArchiveOutput&) = delete;
  ArchiveOutput& operator=(const ArchiveOutput&) = delete;

  bool to_stdout() const noexcept { return pending_ == nullptr; }
  const std::string& shown() const noexcept { return shown_; }
  std::uint64_t written() const noexcept { return written_; }
  // From now on the archive's stored name, and its time when given, are
  // rewritten as its first bytes pass: the header's checksum covers only
  // the contents, and its packed size does not count the name.
  void RewriteHeader(const std::string& name, std::optional<std::uint32_t> filetime);
  void Write(const char* data, std::size_t length);
  // Puts a file in place; for standard output, checks that all went out.
  void Commit();

 private:
  void Emit(const char* data, std::size_t length);

  std::string target_;
  std::string shown_;
  bool force_;
  std::unique_ptr<os::PendingFile> pending_;
  os::File stdout_;
  std::uint64_t written_ = 0;
  // The header being rewritten: its bytes so far, until it has passed.
  bool rewriting_ = false;
  std::string header_;
  std::string new_name_;
  std::optional<std::uint32_t> new_time_;
};

// Refuses an output that exists unless `force`, a folder at the target, and
// a folder the output cannot be created in.
void CheckOutputTarget(const std::string& target, bool force);

// Packs files and folders as a tar stream through in-memory packing.
int PackTar(const Plugin& plugin, const std::vector<std::string>& paths, ArchiveOutput& output,
            const Settings& settings);
// Packs what `input` holds through in-memory packing (`total` bytes, when
// known, for the progress bar); the bytes it read.
std::uint64_t PackStream(const Plugin& plugin, os::File& input, std::uint64_t total,
                         const std::string& job_name, ArchiveOutput& output);

// The members of a stored tar, unpacked into `folder` (or listed) with
// tar's safety rules.  `tar` is read once; its space is given back as it
// is read.
int Untar(os::File& tar, const std::string& folder, const std::string& shown,
          const Settings& settings);
int ListTar(os::File& tar, const std::string& shown, const Settings& settings);

// Raises Failure for a plugin result code other than 0, or for a stop the
// user asked for, worded for `command`.  A failure to create or write the
// output is told about `output` when it is given (the file being
// extracted), otherwise about `archive`.
void CheckResult(int code, const Plugin& plugin, Command command, const std::string& archive,
                 const std::string& output = "");

// Control characters would break the one-line-per-entry layout.
std::string Printable(const std::string& name);
// A JSON string; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text);
// The JSON fields for a name: "name", and "name_hex" with its exact bytes
// when they are not all UTF-8.
std::string JsonName(const std::string& name);

}  // namespace wcx

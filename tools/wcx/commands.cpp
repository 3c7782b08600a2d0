// list, test, extract, pack (one file) and about.
#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "progress.h"
#include "results.h"
#include "utf8.h"

namespace wcx {

namespace {

void CheckArchiveReadable(const std::string& archive) {
  os::FileInfo info = os::Info(archive);
  if (info.kind == os::Kind::kMissing) {
    throw Failure(E_EOPEN, archive, "cannot open the archive: " + os::ErrorText(info.error));
  }
  if (info.kind == os::Kind::kDirectory) {
    throw Failure(E_EOPEN, archive, "cannot open the archive: it is a folder");
  }
  if (info.kind != os::Kind::kRegular) return;  // the plugin refuses it unopened
  try {
    os::CheckReadable(archive);
  } catch (const os::Error& error) {
    throw Failure(E_EOPEN, archive, std::string("cannot open the archive: ") + error.what());
  }
}

// An archive opened through the plugin, in the file manager's order:
// recognition, OpenArchive, the callbacks, then entries; closed at the end.
class OpenedArchive {
 public:
  OpenedArchive(const Plugin& plugin, const std::string& archive, Command command)
      : plugin_(plugin), archive_(archive), command_(command) {
    CheckArchiveReadable(archive);
    if (!plugin.CanHandle(archive)) {
      throw Failure(E_UNKNOWN_FORMAT, archive,
                    DescribeResult(E_UNKNOWN_FORMAT, command, plugin.FormatName()));
    }
    int result = 0;
    handle_ = plugin.OpenArchive(
        archive, command == Command::kListing ? PK_OM_LIST : PK_OM_EXTRACT, result);
    if (handle_ == nullptr) Check(result != 0 ? result : E_EOPEN);
    plugin.SetCallbacks(handle_, ProgressCallback);
  }
  OpenedArchive(const OpenedArchive&) = delete;
  OpenedArchive& operator=(const OpenedArchive&) = delete;
  ~OpenedArchive() { plugin_.CloseArchive(handle_); }

  // Reads the next entry's header; false after the last one.
  bool Next(tHeaderData& header) {
    std::memset(&header, 0, sizeof header);
    int result = plugin_.ReadHeader(handle_, header);
    if (result == E_END_ARCHIVE) return false;
    Check(result);
    return true;
  }

  // `output` is what the user will see written: the extracted file.
  void Process(int operation, const char* dest_path, const char* dest_name,
               const std::string& output = "") {
    Check(plugin_.ProcessFile(handle_, operation, dest_path, dest_name), output);
  }

  void Check(int code, const std::string& output = "") const {
    CheckResult(code, plugin_, command_, archive_, output);
  }

 private:
  const Plugin& plugin_;
  std::string archive_;
  Command command_;
  void* handle_ = nullptr;
};

std::string EntryName(const tHeaderData& header) {
  return std::string(header.FileName, strnlen(header.FileName, sizeof header.FileName));
}

std::uint64_t Unsigned(std::int32_t field) { return static_cast<std::uint32_t>(field); }

// Control characters would break the one-line-per-entry layout.
std::string Printable(const std::string& name) {
  std::string text = name;
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

// A JSON string; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      const std::size_t length = qvcommon::Utf8CharacterLength(text, i);
      if (length > 0) {
        out.append(text, i, length);
        i += length;
      } else {
        out += "\\ufffd";
        ++i;
      }
    }
  }
  return out + "\"";
}

bool UnsafeName(const std::string& name) { return name.empty() || name == "." || name == ".."; }

void PrintCapabilities(int caps) {
  static const struct {
    int bit;
    const char* meaning;
  } kBits[] = {
      {PK_CAPS_NEW, "can create new archives"},
      {PK_CAPS_MODIFY, "can modify existing archives"},
      {PK_CAPS_MULTIPLE, "archives can hold several files"},
      {PK_CAPS_DELETE, "can delete files from archives"},
      {PK_CAPS_OPTIONS, "has a configuration entry"},
      {PK_CAPS_MEMPACK, "can pack in memory"},
      {PK_CAPS_BY_CONTENT, "recognises archives by their contents"},
      {PK_CAPS_SEARCHTEXT, "archives may be searched for text"},
      {PK_CAPS_HIDE, "hidden from the file manager's packer list"},
      {PK_CAPS_ENCRYPT, "supports encryption"},
  };
  std::printf("capabilities: %d\n", caps);
  int known = 0;
  for (const auto& bit : kBits) {
    known |= bit.bit;
    if ((caps & bit.bit) != 0) std::printf("  %4d  %s\n", bit.bit, bit.meaning);
  }
  if ((caps & ~known) != 0) std::printf("  %4d  (bits wcx does not know)\n", caps & ~known);
}

void PrintAboutText(const std::string& caption, const std::string& text) {
  if (!caption.empty()) std::printf("  [%s]\n", caption.c_str());
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::printf("  %s\n", text.substr(start, end - start).c_str());
    start = end + 1;
  }
}

}  // namespace

void CheckResult(int code, const Plugin& plugin, Command command, const std::string& archive,
                 const std::string& output) {
  if (code == 0 && os::Interrupted()) code = E_EABORTED;
  if (code == 0) return;
  // Testing unpacks into the plugin's temporary folder, which the user
  // cannot guess from the command line.
  std::string scratch = command == Command::kTesting ? os::TemporaryDirectory() : "";
  throw Failure(ExitStatusFor(code), IsOutputFailure(code) && !output.empty() ? output : archive,
                DescribeResult(code, command, plugin.FormatName(), scratch));
}

// ------------------------------------------------------------ PendingOutput

PendingOutput::PendingOutput(const std::string& target, bool force, int create_status)
    : target_(target), force_(force), create_status_(create_status) {
  os::FileInfo info = os::LinkInfo(target);
  if (info.kind != os::Kind::kMissing) {
    if (!force) throw Failure(kExitOutputExists, target, "already exists (use --force to replace it)");
    if (info.kind == os::Kind::kDirectory) {
      throw Failure(create_status, target, "cannot replace a folder");
    }
  }
  try {
    temporary_ = os::CreateUniqueFile(os::ParentPart(target), ".wcx-", ".part");
  } catch (const os::Error& error) {
    throw Failure(create_status, target, std::string("cannot be created: ") + error.what());
  }
}

PendingOutput::~PendingOutput() {
  if (!committed_) os::RemoveFile(temporary_);
}

void PendingOutput::Commit() {
  try {
    os::Rename(temporary_, target_, force_);
    committed_ = true;
  } catch (const os::Error& error) {
    if (!force_ && os::LinkInfo(target_).kind != os::Kind::kMissing) {
      throw Failure(kExitOutputExists, target_, "already exists (use --force to replace it)");
    }
    throw Failure(create_status_, target_, std::string("cannot be created: ") + error.what());
  }
}

// ------------------------------------------------------------ commands

void ListArchive(const Plugin& plugin, const std::string& archive, bool json) {
  OpenedArchive opened(plugin, archive, Command::kListing);
  tHeaderData header;
  if (json) {
    std::string out = "{\"archive\":" + JsonString(archive) + ",\"entries\":[";
    bool first = true;
    while (opened.Next(header)) {
      opened.Process(PK_SKIP, nullptr, nullptr);
      std::string modified = os::FormatRecordTime(header.FileTime);
      std::int64_t unix_time = os::RecordTimeToUnix(header.FileTime);
      out += first ? "" : ",";
      out += "{\"name\":" + JsonString(EntryName(header)) +
             ",\"size\":" + std::to_string(Unsigned(header.UnpSize)) +
             ",\"packed\":" + std::to_string(Unsigned(header.PackSize)) +
             ",\"modified\":" + (modified.empty() ? "null" : JsonString(modified)) +
             ",\"mtime\":" + (unix_time < 0 ? "null" : std::to_string(unix_time)) +
             ",\"attributes\":" + std::to_string(Unsigned(header.FileAttr)) + "}";
      first = false;
    }
    std::printf("%s]}\n", out.c_str());
    return;
  }
  std::printf("%12s %12s  %-19s  %s\n", "size", "packed", "modified", "name");
  while (opened.Next(header)) {
    opened.Process(PK_SKIP, nullptr, nullptr);
    std::string modified = os::FormatRecordTime(header.FileTime);
    std::printf("%12llu %12llu  %-19s  %s\n",
                static_cast<unsigned long long>(Unsigned(header.UnpSize)),
                static_cast<unsigned long long>(Unsigned(header.PackSize)),
                modified.empty() ? "-" : modified.c_str(), Printable(EntryName(header)).c_str());
  }
}

void TestArchive(const Plugin& plugin, const std::string& archive) {
  OpenedArchive opened(plugin, archive, Command::kTesting);
  tHeaderData header;
  int entries = 0;
  while (opened.Next(header)) {
    std::string name = EntryName(header);
    CurrentProgress().Begin("testing " + Printable(name), Unsigned(header.UnpSize));
    opened.Process(PK_TEST, nullptr, nullptr);
    CurrentProgress().Finish();
    std::printf("%s: OK\n", Printable(name).c_str());
    std::fflush(stdout);
    ++entries;
  }
  if (entries == 0) opened.Check(E_END_ARCHIVE);
}

void ExtractArchive(const Plugin& plugin, const std::string& archive, const std::string& folder,
                    bool force) {
  OpenedArchive opened(plugin, archive, Command::kExtracting);
  try {
    os::MakeDirectories(folder);
  } catch (const os::Error& error) {
    throw Failure(E_ECREATE, archive,
                  "cannot create the folder " + folder + ": " + error.what());
  }
  tHeaderData header;
  int entries = 0;
  while (opened.Next(header)) {
    // Whatever path the archive claims, only its last part is used, so
    // nothing lands outside the folder.
    std::string stored = EntryName(header);
    std::string name = os::NamePart(stored);
    if (UnsafeName(name)) {
      opened.Process(PK_SKIP, nullptr, nullptr);
      throw Failure(kExitUnsafeName, archive,
                    "refusing to extract an entry named \"" + Printable(stored) + "\"");
    }
    std::string target = os::Join(folder, name);
    PendingOutput output(target, force, E_ECREATE);
    CurrentProgress().Begin("extracting " + Printable(name), Unsigned(header.UnpSize));
    opened.Process(PK_EXTRACT, nullptr, output.temporary().c_str(), target);
    CurrentProgress().Finish();
    output.Commit();
    std::printf("%s\n", Printable(target).c_str());
    std::fflush(stdout);
    ++entries;
  }
  if (entries == 0) opened.Check(E_END_ARCHIVE);
}

void PackFile(const Plugin& plugin, const std::string& archive, const std::string& file,
              bool force) {
  if (!plugin.CanPackFiles()) {
    throw Failure(E_NOT_SUPPORTED, plugin.path(), "the plugin cannot pack files");
  }
  os::FileInfo source = os::Info(file);
  if (source.kind == os::Kind::kMissing) {
    throw Failure(E_NO_FILES, file, "nothing to pack: " + os::ErrorText(source.error));
  }
  if (source.kind == os::Kind::kDirectory) {
    throw Failure(E_NO_FILES, file, "nothing to pack: it is a folder (pack folders with --tar)");
  }
  if (source.kind != os::Kind::kRegular) {
    throw Failure(E_NO_FILES, file, "nothing to pack: not a regular file");
  }
  PendingOutput output(archive, force, E_EWRITE);
  std::string absolute = os::Absolute(file);
  plugin.SetPackingCallback(ProgressCallback);
  CurrentProgress().Begin("packing " + Printable(os::NamePart(file)),
                          static_cast<std::uint64_t>(source.size));
  int result = plugin.PackFiles(os::Absolute(output.temporary()), os::ParentPart(absolute) + "/",
                                os::NamePart(absolute));
  CurrentProgress().Finish();
  CheckResult(result, plugin, Command::kPacking, archive);
  std::int64_t packed = os::Info(output.temporary()).size;
  output.Commit();
  // What the plugin read, as it reported it: a file whose size the system
  // does not know beforehand (/proc/cpuinfo) or that grew meanwhile says 0
  // or too little when asked.
  const std::uint64_t read = CurrentProgress().done();
  std::printf("%s: packed %s, %lld bytes into %lld\n", Printable(archive).c_str(),
              Printable(os::NamePart(absolute)).c_str(),
              static_cast<long long>(read > 0 ? read : static_cast<std::uint64_t>(source.size)),
              static_cast<long long>(packed));
}

void ShowAbout(const Plugin& plugin) {
  std::printf("%s\nplugin: %s\n", kVersionLine, os::Resolved(plugin.path()).c_str());
  if (plugin.HasCaps()) {
    PrintCapabilities(plugin.Caps());
  } else {
    std::printf("capabilities: not reported\n");
  }
  if (!plugin.HasConfiguration()) {
    std::printf("about: the plugin has no configuration entry\n");
    return;
  }
  std::printf("about:\n");
  std::fflush(stdout);
  // The plugin shows its about text as a message box.
  SetMessageHandler(PrintAboutText);
  plugin.ConfigurePacker();
  SetMessageHandler(nullptr);
}

}  // namespace wcx

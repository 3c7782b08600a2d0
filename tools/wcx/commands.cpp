// list, test, extract and about, and the archives they open.
#include "commands.h"

#include <cstring>

#include "progress.h"
#include "results.h"
#include "utf8.h"

namespace wcx {

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr char kStandardInput[] = "standard input";

bool UnsafeName(const std::string& name) { return name.empty() || name == "." || name == ".."; }

// Why an archive the plugin would not open cannot be read, as wcx finds it
// itself; empty when wcx can read it.
std::string OpenProblem(const std::string& path) {
  os::FileInfo info = os::Info(path);
  if (info.kind == os::Kind::kMissing) return os::ErrorText(info.error);
  if (info.kind == os::Kind::kDirectory) return "it is a folder";
  if (info.kind != os::Kind::kRegular) return "";  // the plugin refuses it unopened
  return os::ReadProblem(path);
}

// Copies `from` to its end into `to`; a failure names the side that failed.
void CopyAll(os::File& from, const std::string& from_name, os::File& to,
             const std::string& to_name) {
  std::vector<char> buffer(kChunk);
  for (;;) {
    std::size_t got = 0;
    try {
      got = from.Read(buffer.data(), buffer.size());
    } catch (const os::Error& error) {
      throw Failure(E_EREAD, from_name, std::string("cannot be read: ") + error.what());
    }
    if (got == 0) return;
    try {
      to.Write(buffer.data(), got);
    } catch (const os::Error& error) {
      throw Failure(E_EWRITE, to_name, std::string("cannot be written: ") + error.what());
    }
  }
}

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

std::FILE* Report(const Settings& settings) {
  if (settings.to_stdout) return settings.verbose ? stderr : nullptr;
  return settings.quiet ? nullptr : stdout;
}

std::string Printable(const std::string& name) {
  std::string text = name;
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

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

std::string JsonName(const std::string& name) {
  std::string fields = "\"name\":" + JsonString(name);
  bool utf8 = true;
  for (std::size_t i = 0; i < name.size() && utf8;) {
    const std::size_t length =
        static_cast<unsigned char>(name[i]) < 0x80 ? 1 : qvcommon::Utf8CharacterLength(name, i);
    utf8 = length > 0;
    i += length;
  }
  if (utf8) return fields;
  std::string hex;
  for (unsigned char c : name) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return fields + ",\"name_hex\":\"" + hex + "\"";
}

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

// ------------------------------------------------------------ reading

ArchiveInput::ArchiveInput(const std::string& operand) : path_(operand), shown_(operand) {
  if (operand != "-") return;
  shown_ = kStandardInput;
  os::File in = os::File::StandardInput();
  if (in.IsTerminal()) {
    throw Failure(kExitUsage, shown_, "refusing to read an archive from a terminal");
  }
  try {
    copy_ = std::make_unique<os::PrivateFile>();
  } catch (const os::Error& error) {
    throw Failure(E_ECREATE, os::TemporaryDirectory(),
                  std::string("cannot create a scratch copy of standard input: ") + error.what());
  }
  CopyAll(in, shown_, copy_->file(), "the copy of standard input in " + os::TemporaryDirectory());
  // An entry the plugin names after its archive is then "stdin".
  copy_->BecomeStandardInput();
  path_ = copy_->path();
}

OpenedArchive::OpenedArchive(const Plugin& plugin, const ArchiveInput& input, Command command)
    : plugin_(plugin), shown_(input.shown()), command_(command) {
  int result = 0;
  handle_ = plugin.OpenArchive(input.path(),
                               command == Command::kListing ? PK_OM_LIST : PK_OM_EXTRACT, result);
  if (handle_ == nullptr) {
    // The plugin's code says what failed; wcx looks for the reason itself,
    // as a file that cannot be read is not "not an archive" either.
    if (result == 0) result = E_EOPEN;
    if (result == E_EOPEN || result == E_UNKNOWN_FORMAT) {
      const std::string problem = OpenProblem(input.path());
      if (!problem.empty()) throw Failure(E_EOPEN, shown_, "cannot open the archive: " + problem);
    }
    Check(result);
  }
  plugin.SetCallbacks(handle_, ProgressCallback);
}

OpenedArchive::~OpenedArchive() {
  if (handle_ != nullptr) plugin_.CloseArchive(handle_);
}

bool OpenedArchive::Next(Entry& entry) {
  int result = plugin_.ReadHeader(handle_, entry);
  if (result == E_END_ARCHIVE) return false;
  Check(result);
  return true;
}

void OpenedArchive::Process(int operation, const std::string& dest_name,
                            const std::string& output) {
  Check(plugin_.ProcessFile(handle_, operation, nullptr,
                            operation == PK_EXTRACT ? dest_name.c_str() : nullptr),
        output);
}

void OpenedArchive::Check(int code, const std::string& output) const {
  CheckResult(code, plugin_, command_, shown_, output);
}

os::File ExtractToScratch(OpenedArchive& opened, const std::string& parent, bool& damaged) {
  std::unique_ptr<os::PrivateFolder> scratch;
  try {
    scratch = std::make_unique<os::PrivateFolder>(parent);
  } catch (const os::Error& error) {
    throw Failure(E_ECREATE, parent,
                  std::string("cannot create a scratch folder: ") + error.what());
  }
  const std::string file = scratch->file_path();
  damaged = false;
  try {
    opened.Process(PK_EXTRACT, file, file);
  } catch (const Failure& failure) {
    if (failure.status() != E_BAD_ARCHIVE || os::LinkInfo(file).kind != os::Kind::kRegular) throw;
    damaged = true;
  }
  try {
    return os::File::TakeAway(file);
  } catch (const os::Error& error) {
    throw Failure(E_EREAD, file, std::string("cannot be read: ") + error.what());
  }
}

// ------------------------------------------------------------ commands

int ListArchive(const Plugin& plugin, const std::string& archive, const Settings& settings) {
  ArchiveInput input(archive);
  OpenedArchive opened(plugin, input, Command::kListing);
  Entry entry;
  if (settings.tar) {
    if (!opened.Next(entry)) opened.Check(E_END_ARCHIVE);
    bool damaged = false;
    os::File tar = ExtractToScratch(opened, os::TemporaryDirectory(), damaged);
    if (damaged) opened.Check(E_BAD_ARCHIVE);
    return ListTar(tar, input.shown(), settings);
  }
  if (settings.json) {
    std::string out = "{\"archive\":" + JsonString(archive) + ",\"entries\":[";
    bool first = true;
    while (opened.Next(entry)) {
      opened.Process(PK_SKIP);
      std::int64_t unix_time = os::RecordTimeToUnix(entry.time);
      std::string modified = os::FormatTime(unix_time, true);
      out += first ? "{" : ",{";
      out += JsonName(entry.name) + ",\"size\":" + std::to_string(entry.size) +
             ",\"packed\":" + std::to_string(entry.packed) +
             ",\"modified\":" + (modified.empty() ? "null" : JsonString(modified)) +
             ",\"mtime\":" + (unix_time < 0 ? "null" : std::to_string(unix_time)) +
             ",\"attributes\":" + std::to_string(entry.attributes) + "}";
      first = false;
    }
    std::printf("%s]}\n", out.c_str());
    return kExitOk;
  }
  if (settings.several) std::printf("%s:\n", Printable(input.shown()).c_str());
  std::printf("%12s %12s  %-19s  %s\n", "size", "packed", "modified", "name");
  while (opened.Next(entry)) {
    opened.Process(PK_SKIP);
    std::string modified = os::FormatTime(os::RecordTimeToUnix(entry.time));
    std::printf("%12llu %12llu  %-19s  %s\n", static_cast<unsigned long long>(entry.size),
                static_cast<unsigned long long>(entry.packed),
                modified.empty() ? "-" : modified.c_str(), Printable(entry.name).c_str());
  }
  return kExitOk;
}

int TestArchive(const Plugin& plugin, const std::string& archive, const Settings& settings) {
  ArchiveInput input(archive);
  OpenedArchive opened(plugin, input, Command::kTesting);
  Entry entry;
  int entries = 0;
  const std::string prefix = settings.several ? Printable(input.shown()) + ": " : "";
  while (opened.Next(entry)) {
    std::string name = Printable(entry.name);
    CurrentProgress().Begin("testing " + name, entry.size);
    opened.Process(PK_TEST);
    CurrentProgress().Finish();
    if (std::FILE* report = Report(settings)) {
      std::fprintf(report, "%s%s: OK\n", prefix.c_str(), name.c_str());
      std::fflush(report);
    }
    ++entries;
  }
  if (entries == 0) opened.Check(E_END_ARCHIVE);
  return kExitOk;
}

int ExtractArchive(const Plugin& plugin, const std::string& archive, const std::string& folder,
                   const Settings& settings) {
  ArchiveInput input(archive);
  OpenedArchive opened(plugin, input, Command::kExtracting);
  if (!settings.to_stdout) {
    try {
      os::MakeDirectories(folder);
    } catch (const os::Error& error) {
      throw Failure(E_ECREATE, input.shown(),
                    "cannot create the folder " + folder + ": " + error.what());
    }
  }
  Entry entry;
  int entries = 0;
  int status = kExitOk;
  while (opened.Next(entry)) {
    ++entries;
    const std::string label = "extracting " + Printable(os::NamePart(entry.name));
    if (settings.to_stdout || settings.untar) {
      CurrentProgress().Begin(label, entry.size);
      bool damaged = false;
      os::File data =
          ExtractToScratch(opened, settings.to_stdout ? os::TemporaryDirectory() : folder, damaged);
      CurrentProgress().Finish();
      if (settings.untar) {
        status = std::max(status, Untar(data, folder, input.shown(), settings));
      } else {
        os::File out = os::File::StandardOutput();
        CopyAll(data, "the extracted data of " + input.shown(), out, "standard output");
      }
      if (damaged) {
        throw Failure(E_BAD_ARCHIVE, input.shown(),
                      "checksum mismatch: the data is damaged; what could be recovered was " +
                          std::string(settings.untar ? "unpacked" : "written out"));
      }
      continue;
    }
    // Whatever path the archive claims, only its last part is used, so
    // nothing lands outside the folder.
    std::string name = os::NamePart(entry.name);
    if (UnsafeName(name)) {
      opened.Process(PK_SKIP);
      throw Failure(kExitUnsafeName, input.shown(),
                    "refusing to extract an entry named \"" + Printable(entry.name) + "\"");
    }
    std::string target = os::Join(folder, name);
    CheckOutputTarget(target, settings.force);
    const os::FileInfo before = os::LinkInfo(target);
    CurrentProgress().Begin(label, entry.size);
    try {
      // The plugin writes the file beside the target and puts it in place
      // only when complete.
      opened.Process(PK_EXTRACT, target, target);
    } catch (const Failure& failure) {
      CurrentProgress().Clear();
      const os::FileInfo after = os::LinkInfo(target);
      const bool kept = after.kind == os::Kind::kRegular &&
                        (before.kind == os::Kind::kMissing || after.inode != before.inode ||
                         after.device != before.device);
      if (failure.status() != E_BAD_ARCHIVE || !kept) throw;
      // The plugin keeps what it could recover, as it does for file managers.
      throw Failure(E_BAD_ARCHIVE, input.shown(),
                    "checksum mismatch: the data is damaged; what could be recovered was kept in " +
                        Printable(target));
    }
    CurrentProgress().Finish();
    if (std::FILE* report = Report(settings)) {
      std::fprintf(report, "%s\n", Printable(target).c_str());
      std::fflush(report);
    }
  }
  if (entries == 0) opened.Check(E_END_ARCHIVE);
  return status;
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

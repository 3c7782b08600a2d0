// pack: one file through the plugin's PackFiles, which replaces an archive
// itself; standard input, standard output and stored names of one's own
// through in-memory packing; the archives wcx writes itself.
#include <cstring>

#include "commands.h"
#include "mempack.h"
#include "progress.h"
#include "results.h"

namespace wcx {

namespace {

constexpr std::size_t kChunk = 64 * 1024;
// A plugin that answers "call again" this many times in a row without
// moving a byte has stopped working.
constexpr int kMaxIdleCalls = 1000;

// The header of an archive in the format of the Quorvane plugin: the stored
// time at 16, the name's length at 20 and the name from 28 on.
constexpr char kMagic[] = "QUORVANE";
constexpr std::size_t kHeaderSize = 28;
constexpr std::size_t kTimeOffset = 16;
constexpr std::size_t kNameLengthOffset = 20;
constexpr std::size_t kMaxStoredName = 255;

constexpr char kStandardInput[] = "standard input";

// A path without the separators that end it, so "dir/" packs to dir.qv.
std::string Trimmed(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && os::IsSeparator(trimmed.back())) trimmed.pop_back();
  return trimmed;
}

// The name a stored name comes back as: the name part, cut to what the
// header holds without splitting a UTF-8 character.
std::string StoredName(const std::string& name) {
  std::string stored = os::NamePart(name);
  if (stored.size() <= kMaxStoredName) return stored;
  std::size_t cut = kMaxStoredName;
  while (cut > 0 && (static_cast<unsigned char>(stored[cut]) & 0xC0) == 0x80) --cut;
  return stored.substr(0, cut);
}

// The source of a plain pack: a regular file wcx can read.
os::FileInfo CheckSource(const std::string& file) {
  os::FileInfo source = os::Info(file);
  if (source.kind == os::Kind::kDirectory) {
    throw Failure(E_NO_FILES, file, "nothing to pack: it is a folder (pack folders with --tar)");
  }
  if (source.kind != os::Kind::kRegular && source.kind != os::Kind::kMissing) {
    throw Failure(E_NO_FILES, file, "nothing to pack: not a regular file");
  }
  std::string problem =
      source.kind == os::Kind::kMissing ? os::ErrorText(source.error) : os::ReadProblem(file);
  if (!problem.empty()) throw Failure(E_EOPEN, file, "cannot open: " + problem);
  return source;
}

// What the archive cannot keep of a file, said before it is lost.
void WarnAboutLimits(const std::string& file, const os::FileInfo& source) {
  const int year = os::LocalYear(source.mtime_seconds);
  if (year < 1980 || year > 2107) {
    std::fprintf(stderr,
                 "wcx: %s: modified in %d, outside the years 1980 to 2107 an archive can "
                 "store; it will come back with the time it is extracted\n",
                 Printable(file).c_str(), year);
  }
  if ((source.permissions & 0111) != 0) {
    std::fprintf(stderr,
                 "wcx: %s: an archive does not keep permissions; it will come back without "
                 "its executable bit (pack --tar keeps them)\n",
                 Printable(file).c_str());
  }
}

void PrintPacked(const Settings& settings, const std::string& archive, const std::string& what,
                 std::uint64_t read, std::uint64_t packed) {
  if (std::FILE* report = Report(settings)) {
    std::fprintf(report, "%s: packed %s, %llu bytes into %llu\n", Printable(archive).c_str(),
                 Printable(what).c_str(), static_cast<unsigned long long>(read),
                 static_cast<unsigned long long>(packed));
  }
}

// An archive other programs hold is not replaced under them, whether the
// plugin or wcx would replace it: the same status and words either way.
[[noreturn]] void ArchiveInUse(const std::string& archive, const std::string& problem) {
  throw Failure(E_EOPEN, archive, "cannot replace the archive: " + problem);
}

// One file into an archive file: the plugin does it all, replacing an
// existing archive the safe way (its permissions kept, a link followed).
void PackWithPlugin(const Plugin& plugin, const std::string& archive, const std::string& file,
                    const os::FileInfo& source, const Settings& settings) {
  if (!plugin.CanPackFiles()) {
    throw Failure(E_NOT_SUPPORTED, plugin.path(), "the plugin cannot pack files");
  }
  CheckOutputTarget(archive, settings.force);
  std::string absolute = os::Absolute(file);
  plugin.SetPackingCallback(ProgressCallback);
  CurrentProgress().Begin("packing " + Printable(os::NamePart(file)),
                          static_cast<std::uint64_t>(source.size));
  int result = plugin.PackFiles(os::Absolute(archive), os::ParentPart(absolute) + "/",
                                os::NamePart(absolute));
  CurrentProgress().Finish(result == 0);
  if (result == E_EOPEN) {
    // The plugin answers so too when readers hold the archive to replace.
    const std::string in_use = os::ReplaceProblem(archive);
    if (!in_use.empty()) ArchiveInUse(archive, in_use);
  }
  CheckResult(result, plugin, Command::kPacking, archive);
  // What the plugin read, as it reported it: a file whose size the system
  // does not know beforehand (/proc/cpuinfo) or that grew meanwhile says 0
  // or too little when asked.
  const std::uint64_t read = CurrentProgress().done();
  PrintPacked(settings, archive, os::NamePart(absolute),
              read > 0 ? read : static_cast<std::uint64_t>(source.size),
              static_cast<std::uint64_t>(os::Info(archive).size));
}

}  // namespace

// ------------------------------------------------------------ outputs

void CheckOutputTarget(const std::string& target, bool force) {
  os::FileInfo info = os::LinkInfo(target);
  if (info.kind != os::Kind::kMissing && !force) {
    throw Failure(kExitOutputExists, target, "already exists (use --force to replace it)");
  }
  if (os::Info(target).kind == os::Kind::kDirectory) {
    throw Failure(E_ECREATE, target, "cannot replace a folder");
  }
  os::FileInfo folder = os::Info(os::ParentPart(target));
  if (folder.kind == os::Kind::kMissing) {
    throw Failure(E_ECREATE, target, "cannot be created: " + os::ErrorText(folder.error));
  }
  if (folder.kind != os::Kind::kDirectory) {
    throw Failure(E_ECREATE, target, "cannot be created: " + os::ErrorText(ENOTDIR));
  }
}

ArchiveOutput::ArchiveOutput(const std::string& archive, bool force)
    : target_(archive), shown_(archive), force_(force) {
  if (archive == "-") {
    shown_ = "standard output";
    stdout_ = os::File::StandardOutput();
    // Compressed data on a terminal helps nobody and can upset it.
    if (stdout_.IsTerminal()) {
      throw Failure(kExitUsage, shown_, "refusing to write an archive to a terminal");
    }
    return;
  }
  CheckOutputTarget(archive, force);
  try {
    pending_ = std::make_unique<os::PendingFile>(archive);
  } catch (const os::InUse& error) {
    ArchiveInUse(archive, error.what());
  } catch (const os::Error& error) {
    throw Failure(E_ECREATE, archive, std::string("cannot be created: ") + error.what());
  }
}

void ArchiveOutput::RewriteHeader(const std::string& name, std::optional<std::uint32_t> filetime) {
  rewriting_ = true;
  new_name_ = StoredName(name);
  new_time_ = filetime;
}

void ArchiveOutput::Write(const char* data, std::size_t length) {
  if (!rewriting_) return Emit(data, length);
  header_.append(data, length);
  if (header_.size() < kHeaderSize) return;
  if (header_.compare(0, 8, kMagic) != 0) {
    throw Failure(
        E_NOT_SUPPORTED, shown_,
        "the plugin does not write Quorvane archives, so wcx cannot store a name of its own");
  }
  const std::size_t old_length = static_cast<unsigned char>(header_[kNameLengthOffset]);
  if (header_.size() < kHeaderSize + old_length) return;
  std::string rest = header_.substr(kHeaderSize + old_length);
  header_.resize(kHeaderSize);
  header_[kNameLengthOffset] = static_cast<char>(new_name_.size());
  if (new_time_) {
    for (int i = 0; i < 4; ++i) header_[kTimeOffset + i] = static_cast<char>(*new_time_ >> (8 * i));
  }
  rewriting_ = false;
  Emit(header_.data(), header_.size());
  Emit(new_name_.data(), new_name_.size());
  Emit(rest.data(), rest.size());
}

void ArchiveOutput::Emit(const char* data, std::size_t length) {
  try {
    (pending_ ? pending_->file() : stdout_).Write(data, length);
  } catch (const os::Error& error) {
    throw Failure(E_EWRITE, shown_, std::string("cannot be written: ") + error.what());
  }
  written_ += length;
}

void ArchiveOutput::Commit() {
  if (rewriting_) {
    throw Failure(E_BAD_ARCHIVE, shown_, "the plugin's archive ended inside its header");
  }
  if (!pending_) return;
  try {
    pending_->Commit(force_);
  } catch (const os::Error& error) {
    if (!force_ && os::LinkInfo(target_).kind != os::Kind::kMissing) {
      throw Failure(kExitOutputExists, target_, "already exists (use --force to replace it)");
    }
    throw Failure(E_EWRITE, target_, std::string("cannot be written: ") + error.what());
  }
}

// ------------------------------------------------------------ MemPackJob

MemPackJob::MemPackJob(const Plugin& plugin, const std::string& job_name, ArchiveOutput& output)
    : plugin_(plugin), output_(output), buffer_(kChunk) {
  if (!plugin.CanPackInMemory()) {
    throw Failure(E_NOT_SUPPORTED, plugin.path(), "the plugin cannot pack in memory");
  }
  plugin.SetPackingCallback(ProgressCallback);
  handle_ = plugin.StartMemPack(job_name);
}

MemPackJob::~MemPackJob() { plugin_.DoneMemPack(handle_); }

bool MemPackJob::Push(const char* data, std::size_t length) {
  int idle = 0;
  while (length > 0 && result_ == 0) {
    int piece = static_cast<int>(std::min(length, kChunk));
    int taken = 0;
    int written = 0;
    int answer = plugin_.PackToMem(handle_, data, piece, taken, buffer_.data(),
                                   static_cast<int>(buffer_.size()), written);
    if (answer != MEMPACK_OK) {
      result_ = answer == MEMPACK_DONE ? E_EWRITE : answer;
      break;
    }
    Emit(written);
    if (taken < 0 || taken > piece) taken = 0;
    if (taken == 0 && written <= 0 && ++idle > kMaxIdleCalls) result_ = E_EWRITE;
    if (taken > 0) idle = 0;
    data += taken;
    length -= static_cast<std::size_t>(taken);
    pushed_ += static_cast<std::uint64_t>(taken);
  }
  return result_ == 0;
}

void MemPackJob::Finish() {
  if (result_ != 0) return;
  CurrentProgress().Begin("packing", pushed_);
  int idle = 0;
  for (;;) {
    int taken = 0;
    int written = 0;
    int answer = plugin_.PackToMem(handle_, nullptr, 0, taken, buffer_.data(),
                                   static_cast<int>(buffer_.size()), written);
    if (answer == MEMPACK_DONE) break;
    if (answer != MEMPACK_OK) {
      result_ = answer;
      break;
    }
    Emit(written);
    idle = written > 0 ? 0 : idle + 1;
    if (idle > kMaxIdleCalls) {
      result_ = E_EWRITE;
      break;
    }
  }
  CurrentProgress().Finish(result_ == 0 && !os::Interrupted());
}

void MemPackJob::Cancel() noexcept {
  StopRequested() = true;
  try {
    Finish();
  } catch (...) {
  }
  StopRequested() = false;
}

void MemPackJob::Check() const {
  if (result_ == 0 && !os::Interrupted()) return;
  CheckResult(result_, plugin_, Command::kPacking, output_.shown());
}

void MemPackJob::Emit(int written) {
  if (written <= 0) return;
  output_.Write(buffer_.data(), std::min(static_cast<std::size_t>(written), buffer_.size()));
}

std::uint64_t PackStream(const Plugin& plugin, os::File& input, std::uint64_t total,
                         const std::string& job_name, ArchiveOutput& output) {
  MemPackJob job(plugin, job_name, output);
  std::vector<char> buffer(kChunk);
  CurrentProgress().Begin("reading", total);
  try {
    for (;;) {
      if (os::Interrupted()) break;
      std::size_t got = 0;
      try {
        got = input.Read(buffer.data(), buffer.size());
      } catch (const os::Error& error) {
        throw Failure(E_EREAD, job_name, std::string("cannot be read: ") + error.what());
      }
      if (got == 0) break;
      CurrentProgress().Advance(got);
      if (!job.Push(buffer.data(), got)) break;
    }
  } catch (...) {
    CurrentProgress().Clear();
    job.Cancel();
    throw;
  }
  CurrentProgress().Finish(!os::Interrupted() && job.result() == 0);
  if (os::Interrupted() || job.result() != 0) {
    job.Cancel();
    job.Check();
  }
  job.Finish();
  job.Check();
  return job.pushed();
}

// ------------------------------------------------------------ pack

int Pack(const Plugin& plugin, const std::vector<std::string>& operands, const Settings& given) {
  // [ARCHIVE] SOURCE...: one operand is the source, packed beside itself
  // (or to standard output with -c), as bzip2 does.
  std::string archive;
  std::vector<std::string> sources = operands;
  if (given.to_stdout || (operands.size() == 1 && operands[0] == "-")) {
    archive = "-";
  } else if (operands.size() == 1) {
    const std::string name = os::NamePart(Trimmed(operands[0]));
    if (name == "." || name == "..") {
      throw Failure(kExitUsage, operands[0],
                    "name the archive: wcx pack --tar ARCHIVE " + operands[0]);
    }
    archive = Trimmed(operands[0]) + ".qv";
  } else {
    archive = operands[0];
    sources.erase(sources.begin());
  }
  // Nothing but the archive may go to standard output.
  Settings settings = given;
  settings.to_stdout = archive == "-";

  if (settings.tar) {
    for (const std::string& source : sources) {
      os::FileInfo info = os::LinkInfo(source);
      if (info.kind == os::Kind::kMissing) {
        throw Failure(E_EOPEN, source, "cannot open: " + os::ErrorText(info.error));
      }
    }
    ArchiveOutput output(archive, settings.force);
    return PackTar(plugin, sources, output, settings);
  }

  const std::string& file = sources[0];
  const bool from_stdin = file == "-";
  os::FileInfo source;
  if (!from_stdin) {
    source = CheckSource(file);
    WarnAboutLimits(file, source);
  }
  if (archive != "-" && !from_stdin && !settings.name) {
    PackWithPlugin(plugin, archive, file, source, settings);
    return kExitOk;
  }

  // Through in-memory packing, which stores the data as NAME.tar: the
  // header is given the right name (and a file's own time) on the way out.
  os::File input;
  try {
    input = from_stdin ? os::File::StandardInput() : os::File::OpenRead(file);
  } catch (const os::Error& error) {
    throw Failure(E_EOPEN, file, std::string("cannot open: ") + error.what());
  }
  ArchiveOutput output(archive, settings.force);
  if (plugin.FormatName() != "Quorvane") {
    if (settings.name) throw Failure(kExitUsage, "", "--name needs the Quorvane plugin");
  } else if (from_stdin) {
    // Without --name, the archive's name without its extension, as
    // readers list an entry with no name; on standard output, no name.
    std::string stem = archive == "-" ? "" : os::NamePart(archive);
    stem = stem.substr(0, stem.rfind('.'));
    output.RewriteHeader(settings.name.value_or(stem), std::nullopt);
  } else {
    output.RewriteHeader(settings.name.value_or(os::NamePart(file)),
                         os::DosTime(source.mtime_seconds));
  }
  const std::uint64_t read =
      PackStream(plugin, input, from_stdin ? 0 : static_cast<std::uint64_t>(source.size),
                 from_stdin ? kStandardInput : file, output);
  output.Commit();
  PrintPacked(settings, output.shown(), from_stdin ? kStandardInput : os::NamePart(file), read,
              output.written());
  return kExitOk;
}

}  // namespace wcx

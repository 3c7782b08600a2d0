// pack --tar: files and folders joined into a tar stream by libarchive and
// pushed piece by piece through the plugin's in-memory packing.  Neither the
// tar stream nor the archive is ever held whole in memory.  As GNU tar does,
// a file that cannot be read is left out and one that changes is stored as
// its header describes it; either is named, and the job ends with warnings.
#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "commands.h"
#include "mempack.h"
#include "progress.h"
#include "results.h"

namespace wcx {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

struct TarItem {
  std::string path;  // where it is on disk
  std::string name;  // what the tar calls it
  os::FileInfo info;
};

// The name an argument gets in the tar: its last component, so
// "a/b/photos" is stored as "photos/...".
std::string TopName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && os::IsSeparator(trimmed.back())) trimmed.pop_back();
  std::string name = os::NamePart(trimmed);
  if (name == "." || name == ".." || name.empty()) {
    // "." and the like say nothing; use what the folder is really called.
    name = os::NamePart(os::Resolved(trimmed));
  }
  return name;
}

// A problem with one file that does not stop the job: named on standard
// error, worded as GNU tar words it.
class Warnings {
 public:
  void Add(const std::string& path, const std::string& text) {
    CurrentProgress().Clear();
    std::fprintf(stderr, "wcx: %s: %s\n", Printable(path).c_str(), text.c_str());
    ++count_;
  }
  int status() const noexcept { return count_ > 0 ? kExitWarnings : kExitOk; }

 private:
  int count_ = 0;
};

void Collect(const std::string& path, const std::string& name, std::vector<TarItem>& items,
             Warnings& warnings) {
  os::FileInfo info = os::LinkInfo(path);
  if (info.kind == os::Kind::kMissing) {
    // It vanished since its folder was read.
    warnings.Add(path, "cannot open: " + os::ErrorText(info.error) + "; left out");
    return;
  }
  if (info.kind == os::Kind::kOther) {
    warnings.Add(path, "not a file, folder or link; left out");
    return;
  }
  items.push_back({path, name, info});
  if (info.kind != os::Kind::kDirectory) return;
  std::vector<std::string> children;
  try {
    children = os::ListDirectory(path);
  } catch (const os::Error& error) {
    warnings.Add(path, std::string("cannot read the folder: ") + error.what() +
                           "; its contents are left out");
    return;
  }
  for (const std::string& child : children) {
    Collect(os::Join(path, child), name + "/" + child, items, warnings);
  }
}

// libarchive's output goes straight into the plugin.  Failures are kept
// here and raised after libarchive has unwound.
struct StreamContext {
  MemPackJob* job;
  std::unique_ptr<Failure> failure;
  bool stopped;
};

extern "C" la_ssize_t WriteToPlugin(struct archive*, void* client, const void* buffer,
                                    size_t length) {
  auto* context = static_cast<StreamContext*>(client);
  if (context->stopped || os::Interrupted()) return -1;
  try {
    if (!context->job->Push(static_cast<const char*>(buffer), length)) return -1;
  } catch (const Failure& failure) {
    context->failure = std::make_unique<Failure>(failure);
    return -1;
  } catch (...) {
    return -1;
  }
  return static_cast<la_ssize_t>(length);
}

struct ArchiveDeleter {
  void operator()(struct archive* a) const { archive_write_free(a); }
};
struct EntryDeleter {
  void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};

// Stops with the reason: a failure met while writing, an interrupt, the
// plugin giving up, or libarchive's own complaint.
[[noreturn]] void StreamFailed(struct archive* a, StreamContext& context,
                               const std::string& subject) {
  if (context.failure) throw *context.failure;
  if (os::Interrupted()) {
    throw Failure(E_EABORTED, subject, DescribeResult(E_EABORTED, Command::kPacking));
  }
  context.job->Check();
  const char* reason = archive_error_string(a);
  throw Failure(E_EWRITE, subject,
                std::string("cannot build the tar stream: ") + (reason ? reason : "unknown error"));
}

// Whether the file read is still the one whose header was written: same
// size, same modification time.
bool Unchanged(const os::File& file, const os::FileInfo& described) {
  os::FileInfo now = file.Info();
  return now.size == described.size && now.mtime_seconds == described.mtime_seconds &&
         now.mtime_nanoseconds == described.mtime_nanoseconds;
}

// Writes one entry; false when it was left out.
bool WriteItem(struct archive* a, StreamContext& context, const TarItem& item,
               std::vector<char>& buffer, Warnings& warnings) {
  std::unique_ptr<struct archive_entry, EntryDeleter> entry(archive_entry_new());
  archive_entry_copy_pathname(entry.get(), item.name.c_str());
  archive_entry_set_perm(entry.get(), static_cast<mode_t>(item.info.permissions));
  archive_entry_set_mtime(entry.get(), static_cast<time_t>(item.info.mtime_seconds),
                          static_cast<long>(item.info.mtime_nanoseconds));
  archive_entry_set_uid(entry.get(), item.info.uid);
  archive_entry_set_gid(entry.get(), item.info.gid);
  // A file is opened before its header is written, so one that cannot be
  // read is left out whole rather than stored empty.
  os::File file;
  switch (item.info.kind) {
    case os::Kind::kDirectory:
      archive_entry_set_filetype(entry.get(), AE_IFDIR);
      break;
    case os::Kind::kSymlink:
      archive_entry_set_filetype(entry.get(), AE_IFLNK);
      try {
        archive_entry_copy_symlink(entry.get(), os::ReadLink(item.path).c_str());
      } catch (const os::Error& error) {
        warnings.Add(item.path,
                     std::string("cannot read the link: ") + error.what() + "; left out");
        return false;
      }
      break;
    default:
      archive_entry_set_filetype(entry.get(), AE_IFREG);
      archive_entry_set_size(entry.get(), item.info.size);
      try {
        file = os::File::OpenRead(item.path);
      } catch (const os::Error& error) {
        warnings.Add(item.path, std::string("cannot open: ") + error.what() + "; left out");
        return false;
      }
      break;
  }
  if (archive_write_header(a, entry.get()) < ARCHIVE_WARN) StreamFailed(a, context, item.path);
  if (item.info.kind != os::Kind::kRegular) return true;

  // The size in the header is a promise: a file that grew is cut, one that
  // shrank (or could not be read to its end) is padded by libarchive, so
  // the tar stays valid.  The file is stored as it was when its header was
  // written, and the caller says so.
  std::int64_t left = item.info.size;
  while (left > 0) {
    std::size_t got = 0;
    try {
      got = file.Read(buffer.data(),
                      std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(left)));
    } catch (const os::Error& error) {
      warnings.Add(item.path, std::string("read error: ") + error.what() +
                                  "; stored padded with zeros from there");
      return true;
    }
    if (got == 0) break;
    if (archive_write_data(a, buffer.data(), got) < 0) StreamFailed(a, context, item.path);
    left -= static_cast<std::int64_t>(got);
    CurrentProgress().Advance(got);
  }
  // GNU tar's words, so scripts that look for them find them.
  if (left > 0 || !Unchanged(file, item.info))
    warnings.Add(item.path, "file changed as we read it");
  return true;
}

}  // namespace

int PackTar(const Plugin& plugin, const std::vector<std::string>& paths, ArchiveOutput& output,
            const Settings& settings) {
  Warnings warnings;
  std::vector<TarItem> items;
  for (const std::string& path : paths) Collect(path, TopName(path), items, warnings);

  std::uint64_t total = 0;
  for (const TarItem& item : items) {
    if (item.info.kind == os::Kind::kRegular) total += static_cast<std::uint64_t>(item.info.size);
  }
  // The plugin stores the tar under the archive's name with ".tar"; on
  // standard output that is the first path's name.
  MemPackJob job(plugin, output.to_stdout() ? TopName(paths[0]) + ".qv" : output.shown(), output);
  std::FILE* report = Report(settings);
  std::unique_ptr<Failure> failure;
  int files = 0, folders = 0, links = 0;
  {
    StreamContext context{&job, nullptr, false};
    std::unique_ptr<struct archive, ArchiveDeleter> a(archive_write_new());
    // pax keeps long and non-ASCII names intact, and GNU tar reads it.
    archive_write_set_format_pax_restricted(a.get());
    archive_write_set_bytes_in_last_block(a.get(), 1);
    std::vector<char> buffer(kChunk);
    CurrentProgress().Begin("reading", total);
    try {
      if (archive_write_open(a.get(), &context, nullptr, WriteToPlugin, nullptr) != ARCHIVE_OK) {
        StreamFailed(a.get(), context, output.shown());
      }
      for (const TarItem& item : items) {
        if (os::Interrupted()) break;
        if (settings.verbose && report != nullptr) {
          CurrentProgress().Clear();
          std::fprintf(report, "%s\n", Printable(item.name).c_str());
          std::fflush(report);
        }
        if (!WriteItem(a.get(), context, item, buffer, warnings)) continue;
        files += item.info.kind == os::Kind::kRegular;
        folders += item.info.kind == os::Kind::kDirectory;
        links += item.info.kind == os::Kind::kSymlink;
      }
      if (!os::Interrupted() && archive_write_close(a.get()) != ARCHIVE_OK) {
        StreamFailed(a.get(), context, output.shown());
      }
    } catch (const Failure& caught) {
      failure = std::make_unique<Failure>(caught);
    }
    // Nothing more reaches the plugin, not even the trailer libarchive
    // writes when it is freed unclosed.
    context.stopped = true;
    CurrentProgress().Finish(!failure && !os::Interrupted());
  }
  if (failure || os::Interrupted()) {
    // The plugin is still walked to the end of its job, told to stop
    // through its callback, so it can remove its own temporary files.
    job.Cancel();
    if (failure && failure->status() != E_EABORTED) throw *failure;
    throw Failure(E_EABORTED, output.shown(), DescribeResult(E_EABORTED, Command::kPacking));
  }
  job.Finish();
  job.Check();
  output.Commit();
  if (report != nullptr) {
    std::fprintf(report,
                 "%s: packed %d file%s, %d folder%s, %d link%s (%llu bytes of tar) into %llu\n",
                 Printable(output.shown()).c_str(), files, files == 1 ? "" : "s", folders,
                 folders == 1 ? "" : "s", links, links == 1 ? "" : "s",
                 static_cast<unsigned long long>(job.pushed()),
                 static_cast<unsigned long long>(output.written()));
  }
  return warnings.status();
}

}  // namespace wcx

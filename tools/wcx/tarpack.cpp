// pack --tar: files and folders joined into a tar stream by libarchive and
// pushed piece by piece through the plugin's in-memory packing.  Neither the
// tar stream nor the archive is ever held whole in memory.
#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "commands.h"
#include "progress.h"
#include "results.h"

namespace wcx {

namespace {

constexpr std::size_t kChunk = 64 * 1024;
// A plugin that answers "call again" this many times in a row without
// moving a byte has stopped working.
constexpr int kMaxIdleCalls = 1000;

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

void Collect(const std::string& path, const std::string& name, std::vector<TarItem>& items) {
  os::FileInfo info = os::LinkInfo(path);
  if (info.kind == os::Kind::kMissing) {
    throw Failure(E_EREAD, path, "cannot read: " + os::ErrorText(info.error));
  }
  if (info.kind == os::Kind::kOther) {
    std::fprintf(stderr, "wcx: %s: skipped: not a file, folder or link\n", path.c_str());
    return;
  }
  if (!name.empty()) items.push_back({path, name, info});
  if (info.kind != os::Kind::kDirectory) return;
  std::vector<std::string> children;
  try {
    children = os::ListDirectory(path);
  } catch (const os::Error& error) {
    throw Failure(E_EREAD, path, std::string("cannot read the folder: ") + error.what());
  }
  for (const std::string& child : children) {
    Collect(os::Join(path, child), name.empty() ? child : name + "/" + child, items);
  }
}

// One in-memory packing job: takes the tar stream, writes what the plugin
// hands back to the pending archive file.
class MemPackJob {
 public:
  MemPackJob(const Plugin& plugin, const std::string& archive, const std::string& output_path)
      : plugin_(plugin), archive_(archive), output_path_(output_path), buffer_(kChunk) {
    try {
      output_ = os::File::OpenWrite(output_path);
    } catch (const os::Error& error) {
      throw Failure(E_EWRITE, archive, std::string("cannot be created: ") + error.what());
    }
    plugin.SetPackingCallback(ProgressCallback);
    handle_ = plugin.StartMemPack(archive);
  }
  MemPackJob(const MemPackJob&) = delete;
  MemPackJob& operator=(const MemPackJob&) = delete;
  ~MemPackJob() { plugin_.DoneMemPack(handle_); }

  // Pushes input; false once the plugin has given up (see result()).
  bool Push(const char* data, std::size_t length) {
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

  // Ends the input and collects the finished archive.  After an interrupt
  // the plugin is still called, so it can stop and clean up through its
  // own progress callback.
  void Finish() {
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
    CurrentProgress().Finish();
    try {
      output_.Close();
    } catch (const os::Error& error) {
      throw Failure(E_EWRITE, archive_, std::string("cannot be written: ") + error.what());
    }
  }

  // Ends a job that is being given up: the callback answers "stop", so
  // the plugin ends early; whatever it answers is of no interest.
  void Cancel() noexcept {
    StopRequested() = true;
    try {
      Finish();
    } catch (...) {
    }
    StopRequested() = false;
  }

  int result() const noexcept { return result_; }
  const std::string& archive() const noexcept { return archive_; }
  std::uint64_t pushed() const noexcept { return pushed_; }
  std::uint64_t produced() const noexcept { return produced_; }

 private:
  void Emit(int written) {
    if (written <= 0) return;
    std::size_t count = std::min(static_cast<std::size_t>(written), buffer_.size());
    try {
      output_.Write(buffer_.data(), count);
    } catch (const os::Error& error) {
      throw Failure(E_EWRITE, archive_, std::string("cannot be written: ") + error.what());
    }
    produced_ += count;
  }

  const Plugin& plugin_;
  std::string archive_;
  std::string output_path_;
  os::File output_;
  std::vector<char> buffer_;
  void* handle_ = nullptr;
  int result_ = 0;
  std::uint64_t pushed_ = 0;
  std::uint64_t produced_ = 0;
};

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
  if (int code = context.job->result(); code != 0) {
    throw Failure(ExitStatusFor(code), context.job->archive(),
                  DescribeResult(code, Command::kPacking));
  }
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

// Writes one entry; false when a file changed while it was read.
bool WriteItem(struct archive* a, StreamContext& context, const TarItem& item,
               std::vector<char>& buffer) {
  std::unique_ptr<struct archive_entry, EntryDeleter> entry(archive_entry_new());
  archive_entry_copy_pathname(entry.get(), item.name.c_str());
  archive_entry_set_perm(entry.get(), static_cast<mode_t>(item.info.permissions));
  archive_entry_set_mtime(entry.get(), static_cast<time_t>(item.info.mtime_seconds),
                          static_cast<long>(item.info.mtime_nanoseconds));
  archive_entry_set_uid(entry.get(), item.info.uid);
  archive_entry_set_gid(entry.get(), item.info.gid);
  switch (item.info.kind) {
    case os::Kind::kDirectory:
      archive_entry_set_filetype(entry.get(), AE_IFDIR);
      break;
    case os::Kind::kSymlink:
      archive_entry_set_filetype(entry.get(), AE_IFLNK);
      try {
        archive_entry_copy_symlink(entry.get(), os::ReadLink(item.path).c_str());
      } catch (const os::Error& error) {
        throw Failure(E_EREAD, item.path, std::string("cannot read the link: ") + error.what());
      }
      break;
    default:
      archive_entry_set_filetype(entry.get(), AE_IFREG);
      archive_entry_set_size(entry.get(), item.info.size);
      break;
  }
  if (archive_write_header(a, entry.get()) < ARCHIVE_WARN) StreamFailed(a, context, item.path);
  if (item.info.kind != os::Kind::kRegular) return true;

  // The size in the header is a promise: a file that grew is cut, one that
  // shrank is padded by libarchive, so the tar stays valid.  The file is
  // stored as it was when its header was written, and the caller says so.
  os::File file;
  try {
    file = os::File::OpenRead(item.path);
  } catch (const os::Error& error) {
    throw Failure(E_EREAD, item.path, std::string("cannot read: ") + error.what());
  }
  std::int64_t left = item.info.size;
  while (left > 0) {
    std::size_t got = 0;
    try {
      got = file.Read(buffer.data(), std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(left)));
    } catch (const os::Error& error) {
      throw Failure(E_EREAD, item.path, std::string("cannot read: ") + error.what());
    }
    if (got == 0) return false;
    if (archive_write_data(a, buffer.data(), got) < 0) StreamFailed(a, context, item.path);
    left -= static_cast<std::int64_t>(got);
    CurrentProgress().Advance(got);
  }
  return Unchanged(file, item.info);
}

}  // namespace

int PackTar(const Plugin& plugin, const std::string& archive,
            const std::vector<std::string>& paths, bool force) {
  if (!plugin.CanPackInMemory()) {
    throw Failure(E_NOT_SUPPORTED, plugin.path(), "the plugin cannot pack in memory");
  }
  std::vector<TarItem> items;
  for (const std::string& path : paths) Collect(path, TopName(path), items);
  if (items.empty()) throw Failure(E_NO_FILES, archive, DescribeResult(E_NO_FILES, Command::kPacking));

  std::uint64_t total = 0;
  int files = 0, folders = 0, links = 0;
  for (const TarItem& item : items) {
    if (item.info.kind == os::Kind::kRegular) {
      total += static_cast<std::uint64_t>(item.info.size);
      ++files;
    }
    folders += item.info.kind == os::Kind::kDirectory;
    links += item.info.kind == os::Kind::kSymlink;
  }

  PendingOutput output(archive, force, E_EWRITE);
  MemPackJob job(plugin, archive, output.temporary());
  std::unique_ptr<Failure> failure;
  int changed = 0;
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
        StreamFailed(a.get(), context, archive);
      }
      for (const TarItem& item : items) {
        if (os::Interrupted()) break;
        if (!WriteItem(a.get(), context, item, buffer)) {
          // GNU tar's words, so scripts that look for them find them.
          CurrentProgress().Clear();
          std::fprintf(stderr, "wcx: %s: file changed as we read it\n", item.path.c_str());
          ++changed;
        }
      }
      if (!os::Interrupted() && archive_write_close(a.get()) != ARCHIVE_OK) {
        StreamFailed(a.get(), context, archive);
      }
    } catch (const Failure& caught) {
      failure = std::make_unique<Failure>(caught);
    }
    // Nothing more reaches the plugin, not even the trailer libarchive
    // writes when it is freed unclosed.
    context.stopped = true;
    CurrentProgress().Finish();
  }
  if (failure || os::Interrupted()) {
    // The plugin is still walked to the end of its job, told to stop
    // through its callback, so it can remove its own temporary files.
    job.Cancel();
    if (failure && failure->status() != E_EABORTED) throw *failure;
    throw Failure(E_EABORTED, archive, DescribeResult(E_EABORTED, Command::kPacking));
  }
  job.Finish();
  CheckResult(job.result(), plugin, Command::kPacking, archive);
  output.Commit();
  std::printf("%s: packed %d file%s, %d folder%s, %d link%s (%llu bytes of tar) into %llu\n",
              archive.c_str(), files, files == 1 ? "" : "s", folders, folders == 1 ? "" : "s",
              links, links == 1 ? "" : "s", static_cast<unsigned long long>(job.pushed()),
              static_cast<unsigned long long>(job.produced()));
  return changed > 0 ? kExitFileChanged : kExitOk;
}

}  // namespace wcx

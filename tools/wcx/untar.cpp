// extract --untar and list --tar: the members of a stored tar, read by
// libarchive from the extracted tar as it is consumed.  Members are written
// with tar's safety rules (libarchive's secure-extraction flags: no
// absolute paths, no "..", nothing written through a link), and the tar's
// space is given back as it is read, so the data is never on the disk twice.
#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "commands.h"
#include "progress.h"
#include "results.h"

namespace wcx {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

struct ReadDeleter {
  void operator()(struct archive* a) const { archive_read_free(a); }
};
struct WriteDeleter {
  void operator()(struct archive* a) const { archive_write_free(a); }
};

struct TarSource {
  os::File* file;
  std::vector<char> buffer;
  std::int64_t offset = 0;
};

extern "C" la_ssize_t ReadTarBlock(struct archive* a, void* client, const void** block) {
  auto* source = static_cast<TarSource*>(client);
  if (os::Interrupted()) {
    archive_set_error(a, EINTR, "stopped by the user");
    return -1;
  }
  try {
    const std::size_t got = source->file->Read(source->buffer.data(), source->buffer.size());
    // Once in memory, those bytes are not needed on the disk any more.
    source->file->Discard(source->offset, static_cast<std::int64_t>(got));
    source->offset += static_cast<std::int64_t>(got);
    CurrentProgress().Advance(got);
    *block = source->buffer.data();
    return static_cast<la_ssize_t>(got);
  } catch (const os::Error& error) {
    archive_set_error(a, EIO, "%s", error.what());
    return -1;
  }
}

// A reader of the tar in `file`; raises Failure when it is no tar.
std::unique_ptr<struct archive, ReadDeleter> OpenTar(TarSource& source, const std::string& shown) {
  std::unique_ptr<struct archive, ReadDeleter> in(archive_read_new());
  // Only tar (ustar, pax, GNU): the stored file is a tar or nothing.
  archive_read_support_format_tar(in.get());
  if (archive_read_open(in.get(), &source, nullptr, ReadTarBlock, nullptr) != ARCHIVE_OK) {
    throw Failure(E_UNKNOWN_FORMAT, shown, "the stored file is not a tar");
  }
  return in;
}

// The next member; false at the end.  A first header that is no tar
// header means the stored file is no tar; a later one, a damaged tar.
bool NextMember(struct archive* in, struct archive_entry*& entry, bool first,
                const std::string& shown) {
  const int result = archive_read_next_header(in, &entry);
  if (result == ARCHIVE_EOF) return false;
  if (result >= ARCHIVE_WARN) return true;
  if (os::Interrupted()) throw Failure(E_EABORTED, shown, "stopped by the user");
  if (first) throw Failure(E_UNKNOWN_FORMAT, shown, "the stored file is not a tar");
  throw Failure(E_BAD_ARCHIVE, shown,
                std::string("the stored tar is damaged: ") + archive_error_string(in));
}

// The status for a member libarchive would not write.
int MemberStatus(int error, const char* text) {
  if (error == EEXIST) return kExitOutputExists;
  if (error == ENOSPC || error == EFBIG || error == EDQUOT) return E_EWRITE;
  // The secure-extraction refusals have no errno of their own.
  const std::string reason = text != nullptr ? text : "";
  if (reason.find("'..'") != std::string::npos || reason.find("is absolute") != std::string::npos ||
      reason.find("through symlink") != std::string::npos) {
    return kExitUnsafeName;
  }
  return E_ECREATE;
}

// Whether a member would replace something that is there, for a name the
// secure flags let through.  A folder may meet a folder.
bool Replaces(struct archive_entry* entry, const std::string& name) {
  if (name.empty() || name[0] == '/' || ("/" + name + "/").find("/../") != std::string::npos) {
    return false;
  }
  const os::FileInfo there = os::LinkInfo(name);
  if (there.kind == os::Kind::kMissing) return false;
  return !(archive_entry_filetype(entry) == AE_IFDIR && there.kind == os::Kind::kDirectory);
}

// Copies a member's data; libarchive's result.
int CopyData(struct archive* in, struct archive* out, const std::string& shown) {
  for (;;) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    const int result = archive_read_data_block(in, &block, &size, &offset);
    if (result == ARCHIVE_EOF) return archive_write_finish_entry(out);
    if (result < ARCHIVE_WARN) {
      if (os::Interrupted()) throw Failure(E_EABORTED, shown, "stopped by the user");
      throw Failure(E_BAD_ARCHIVE, shown,
                    std::string("the stored tar is damaged: ") + archive_error_string(in));
    }
    if (archive_write_data_block(out, block, size, offset) < ARCHIVE_WARN) return ARCHIVE_FAILED;
  }
}

}  // namespace

int Untar(os::File& tar, const std::string& folder, const std::string& shown,
          const Settings& settings) {
  TarSource source{&tar, std::vector<char>(kChunk)};
  CurrentProgress().Begin("unpacking", tar.Info().size);
  auto in = OpenTar(source, shown);
  std::unique_ptr<struct archive, WriteDeleter> out(archive_write_disk_new());
  int flags = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
              ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;
  flags |= settings.force ? ARCHIVE_EXTRACT_UNLINK : ARCHIVE_EXTRACT_NO_OVERWRITE;
  archive_write_disk_set_options(out.get(), flags);
  std::FILE* report = Report(settings);
  int status = kExitOk;
  int files = 0, folders = 0, links = 0;
  {
    // Members are named relative to the folder; the secure flags then
    // check every part of each name.
    os::FolderChange inside(folder);
    struct archive_entry* entry = nullptr;
    for (bool first = true; NextMember(in.get(), entry, first, shown); first = false) {
      const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
      const std::string shown_member = os::Join(folder, name);
      const bool refused = !settings.force && Replaces(entry, name);
      int result = refused ? ARCHIVE_FAILED : archive_write_header(out.get(), entry);
      if (result >= ARCHIVE_WARN) result = CopyData(in.get(), out.get(), shown);
      if (result < ARCHIVE_WARN) {
        const int member_status =
            refused ? kExitOutputExists
                    : MemberStatus(archive_errno(out.get()), archive_error_string(out.get()));
        CurrentProgress().Clear();
        if (member_status == kExitUnsafeName) {
          std::fprintf(stderr, "wcx: %s: refusing to extract a member named \"%s\": %s\n",
                       Printable(shown).c_str(), Printable(name).c_str(),
                       archive_error_string(out.get()));
        } else if (member_status == kExitOutputExists) {
          std::fprintf(stderr, "wcx: %s: already exists (use --force to replace it)\n",
                       Printable(shown_member).c_str());
        } else {
          std::fprintf(stderr, "wcx: %s: cannot be created: %s\n", Printable(shown_member).c_str(),
                       archive_error_string(out.get()));
        }
        status = std::max(status, member_status);
        continue;
      }
      const int type = archive_entry_filetype(entry);
      files += type == AE_IFREG;
      folders += type == AE_IFDIR;
      links += type == AE_IFLNK;
      if (settings.verbose && report != nullptr) {
        CurrentProgress().Clear();
        std::fprintf(report, "%s\n", Printable(shown_member).c_str());
      }
    }
    // Folders get their times and permissions last, once nothing more is
    // written into them.
    if (archive_write_close(out.get()) != ARCHIVE_OK) {
      std::fprintf(stderr, "wcx: %s: %s\n", Printable(folder).c_str(),
                   archive_error_string(out.get()));
      status = std::max(status, static_cast<int>(E_ECREATE));
    }
  }
  CurrentProgress().Finish(status == kExitOk);
  if (report != nullptr && !settings.verbose) {
    std::fprintf(report, "%s: unpacked %d file%s, %d folder%s, %d link%s into %s\n",
                 Printable(shown).c_str(), files, files == 1 ? "" : "s", folders,
                 folders == 1 ? "" : "s", links, links == 1 ? "" : "s", Printable(folder).c_str());
  }
  return status;
}

int ListTar(os::File& tar, const std::string& shown, const Settings& settings) {
  TarSource source{&tar, std::vector<char>(kChunk)};
  auto in = OpenTar(source, shown);
  std::string json = "{\"archive\":" + JsonString(shown) + ",\"members\":[";
  if (settings.several && !settings.json) std::printf("%s:\n", Printable(shown).c_str());
  struct archive_entry* entry = nullptr;
  for (bool first = true; NextMember(in.get(), entry, first, shown); first = false) {
    const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
    const std::int64_t mtime = archive_entry_mtime(entry);
    const std::string link = archive_entry_symlink(entry) ? archive_entry_symlink(entry) : "";
    if (settings.json) {
      json += first ? "{" : ",{";
      json += JsonName(name) + ",\"size\":" + std::to_string(archive_entry_size(entry)) +
              ",\"modified\":" + JsonString(os::FormatTime(mtime, true)) +
              ",\"mtime\":" + std::to_string(mtime) +
              ",\"mode\":" + std::to_string(archive_entry_mode(entry)) +
              (link.empty() ? "" : ",\"link\":" + JsonString(link)) + "}";
    } else {
      std::printf("%s %12lld  %-19s  %s%s\n", archive_entry_strmode(entry),
                  static_cast<long long>(archive_entry_size(entry)), os::FormatTime(mtime).c_str(),
                  Printable(name).c_str(), link.empty() ? "" : (" -> " + Printable(link)).c_str());
    }
    archive_read_data_skip(in.get());
  }
  if (settings.json) std::printf("%s]}\n", json.c_str());
  return kExitOk;
}

}  // namespace wcx

// libFuzzer target for the reading side.  Each input is written to a file and
// walked through the entry points the way a file manager browses and tests an
// archive: CanYouHandleThisFile, OpenArchive, ReadHeader, ProcessFile (test),
// ReadHeader again, CloseArchive; then extracted with one thread and with two,
// which must give the same code and the same bytes.  Besides the sanitizers'
// own checks, every input must leave the temporary directory as empty as it
// found it and no descriptor open; a leftover or a difference is reported as
// a crash so the fuzzer keeps the input that caused it.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "CMain/module.h"
#include "platform/platform.h"
#include "quorvane.h"

namespace {

std::string work_dir;   // holds the input file; private to this process
std::string temp_dir;   // the plugin's temporary directory, empty between inputs
std::string input_path;

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        names.emplace_back(e->d_name);
      }
    }
    closedir(d);
  }
  return names;
}

int OpenDescriptors() { return static_cast<int>(Entries("/proc/self/fd").size()); }

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_reader: %s\n", what.c_str());
  std::abort();
}

int KeepGoing(char*, int) { return 1; }

std::string ReadWhole(const std::string& path) {
  std::string bytes;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, n);
    std::fclose(file);
  }
  return bytes;
}

// Extracts the entry with `threads` threads: the code, and what was left at
// the target (a damaged file stays for the user).
std::pair<int, std::string> Extract(const char* threads) {
  setenv("QUORVANE_THREADS", threads, 1);
  std::string target = work_dir + "/extracted";
  unlink(target.c_str());
  wcx::tOpenArchiveData open_record{};
  open_record.ArcName = input_path.data();
  open_record.OpenMode = wcx::PK_OM_EXTRACT;
  void* handle = OpenArchive(&open_record);
  if (handle == nullptr) return {-1, ""};
  SetProcessDataProc(handle, KeepGoing);
  wcx::tHeaderData header{};
  int result = ReadHeader(handle, &header);
  if (result == wcx::E_SUCCESS) result = ProcessFile(handle, wcx::PK_EXTRACT, nullptr, target.data());
  CloseArchive(handle);
  std::pair<int, std::string> outcome{result, ReadWhole(target)};
  unlink(target.c_str());
  return outcome;
}

void Browse() {
  CanYouHandleThisFile(input_path.data());

  wcx::tOpenArchiveData open_record{};
  open_record.ArcName = input_path.data();
  open_record.OpenMode = wcx::PK_OM_EXTRACT;
  void* handle = OpenArchive(&open_record);
  if (handle == nullptr) {
    if (open_record.OpenResult != wcx::E_UNKNOWN_FORMAT) {
      Fail("OpenArchive refused with " + std::to_string(open_record.OpenResult));
    }
    return;
  }
  SetProcessDataProc(handle, KeepGoing);

  wcx::tHeaderData header{};
  int result = ReadHeader(handle, &header);
  if (result == wcx::E_SUCCESS) {
    if (std::memchr(header.FileName, 0, sizeof header.FileName) == nullptr) {
      Fail("the listed name is not terminated");
    }
    char dest_name[] = "fuzz-entry";
    result = ProcessFile(handle, wcx::PK_TEST, nullptr, dest_name);
    if (result != wcx::E_SUCCESS && result != wcx::E_BAD_ARCHIVE && result != wcx::E_EOPEN &&
        result != wcx::E_ECREATE && result != wcx::E_EWRITE) {
      Fail("testing ended with code " + std::to_string(result));
    }
    if (ReadHeader(handle, &header) != wcx::E_END_ARCHIVE) {
      Fail("the second ReadHeader did not answer 10");
    }
  } else if (result != wcx::E_END_ARCHIVE && result != wcx::E_EOPEN) {
    Fail("ReadHeader answered " + std::to_string(result));
  }
  CloseArchive(handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  // The plugin takes its temporary directory from TMPDIR, which must name an
  // empty directory of our own so that leftovers can be told apart.
  temp_dir = quorvane::TempDir();
  if (!Entries(temp_dir).empty()) {
    std::fprintf(stderr,
                 "fuzz_reader: the temporary directory %s is not empty; set TMPDIR to an "
                 "empty directory of its own (scripts/fuzz does)\n",
                 temp_dir.c_str());
    std::exit(1);
  }
  char pattern[] = "/tmp/quorvane-fuzz-input.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("fuzz_reader: mkdtemp");
    std::exit(1);
  }
  work_dir = pattern;
  input_path = work_dir + "/input.qv";
  const platform::Path library = platform::CompressionLibraryPath(quorvane::ModuleDir());
  std::fprintf(stderr, "fuzz_reader: temporary directory %s, bzip2 library %s\n",
               temp_dir.c_str(), library.c_str());
  std::atexit([] {
    unlink(input_path.c_str());
    rmdir(work_dir.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int descriptors = OpenDescriptors();
  {
    const int fd = open(input_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("cannot write " + input_path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) Fail("cannot write " + input_path);
      done += static_cast<std::size_t>(n);
    }
    close(fd);
  }

  Browse();
  const auto serial = Extract("1");
  const auto parallel = Extract("2");
  if (serial.first != parallel.first) {
    Fail("extracting gave " + std::to_string(serial.first) + " with one thread, " +
         std::to_string(parallel.first) + " with two");
  }
  if (serial.second != parallel.second) Fail("extracting with one thread and with two left different bytes");

  const std::vector<std::string> left = Entries(temp_dir);
  for (const std::string& name : left) unlink((temp_dir + name).c_str());
  if (!left.empty()) Fail("left in the temporary directory: " + left.front());
  if (OpenDescriptors() != descriptors) Fail("a descriptor was left open");
  return 0;
}

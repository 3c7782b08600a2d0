// libFuzzer target for the reading side.  Each input is written to a file and
// walked through the entry points the way a file manager browses and tests an
// archive: CanYouHandleThisFile, OpenArchive, ReadHeader, ProcessFile (test),
// ReadHeader again, CloseArchive.  Besides the sanitizers' own checks, every
// input must leave the temporary directory as empty as it found it and no
// descriptor open; a leftover is reported as a crash so the fuzzer keeps the
// input that caused it.
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
#include <vector>

#include "CMain/module.h"

extern "C" {
int CanYouHandleThisFile(char* file_name);
void* OpenArchive(void* open_record);
int ReadHeader(void* handle, void* header_record);
int ProcessFile(void* handle, int operation, char* dest_path, char* dest_name);
int CloseArchive(void* handle);
void SetProcessDataProc(void* handle, int (*proc)(char* file_name, int size));
}

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

// Byte layout of the host's records, as a 64-bit host passes them.
constexpr std::size_t kOpenRecordSize = 64;
constexpr std::size_t kOpenResultOffset = 12;
constexpr std::size_t kHeaderRecordSize = 576;
constexpr std::size_t kFileNameOffset = 260;

void Browse() {
  CanYouHandleThisFile(input_path.data());

  alignas(8) unsigned char open_record[kOpenRecordSize] = {};
  char* name = input_path.data();
  std::memcpy(open_record, &name, sizeof name);
  void* handle = OpenArchive(open_record);
  std::int32_t open_result = 0;
  std::memcpy(&open_result, open_record + kOpenResultOffset, sizeof open_result);
  if (handle == nullptr) {
    if (open_result != 14) Fail("OpenArchive refused with " + std::to_string(open_result));
    return;
  }
  SetProcessDataProc(handle, KeepGoing);

  alignas(8) unsigned char header[kHeaderRecordSize] = {};
  int result = ReadHeader(handle, header);
  if (result == 0) {
    if (std::memchr(header + kFileNameOffset, 0, 260) == nullptr) {
      Fail("the listed name is not terminated");
    }
    char dest_name[] = "fuzz-entry";
    result = ProcessFile(handle, 1, nullptr, dest_name);
    if (result != 0 && result != 13 && result != 15 && result != 16 && result != 19) {
      Fail("testing ended with code " + std::to_string(result));
    }
    if (ReadHeader(handle, header) != 10) Fail("the second ReadHeader did not answer 10");
  } else if (result != 10 && result != 15) {
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

  const std::vector<std::string> left = Entries(temp_dir);
  for (const std::string& name : left) unlink((temp_dir + name).c_str());
  if (!left.empty()) Fail("left in the temporary directory: " + left.front());
  if (OpenDescriptors() != descriptors) Fail("a descriptor was left open");
  return 0;
}

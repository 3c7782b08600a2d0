// A copy of the built plugin with a broken, empty or incomplete
// libbz2.so.1.0 beside it, driven through its exported entry points the way
// a file manager drives it: every operation that needs the library must be
// refused, never crash, and leave nothing behind (which code each kind of
// operation answers is FaultInjection's to check).  The copy with nothing
// beside it binds the system's library and shows that the same steps
// succeed.  Two libraries compress with other block sizes than asked: on
// four threads, packing gives exactly what it gives on one, and in-memory
// packing, whose data is gone by the time a job can tell, fails once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "archive.h"
#include "files.h"
#include "host.h"
#include "process.h"

namespace {

enum class Beside {
  kNothing, kEmptyFile, kGarbage, kNoCodingFunctions, kNoDecompressEnd,
  kOtherBlockSizes,   // at every level: the probe before the first parallel job finds it
  kOtherBlocksAtNine  // only at level 9: the probe passes, the job finds it
};

const char* NameOf(Beside beside) {
  switch (beside) {
    case Beside::kNothing: return "NothingBeside";
    case Beside::kEmptyFile: return "EmptyFile";
    case Beside::kGarbage: return "Garbage";
    case Beside::kNoCodingFunctions: return "NoCodingFunctions";
    case Beside::kNoDecompressEnd: return "NoDecompressEnd";
    case Beside::kOtherBlockSizes: return "OtherBlockSizes";
    case Beside::kOtherBlocksAtNine: return "OtherBlocksAtNine";
  }
  return "Unknown";
}
std::string Describe(const ::testing::TestParamInfo<Beside>& info) { return NameOf(info.param); }
void PrintTo(Beside beside, std::ostream* out) { *out << NameOf(beside); }

class MissingLibraryTest : public ::testing::TestWithParam<Beside> {
 protected:
  void SetUp() override {
    const std::string folder = scratch / "plugin";
    std::filesystem::create_directory(folder);
    std::filesystem::create_directory(temp_dir);
    const std::string copy = qvtest::CopyPlugin(folder);
    const std::string library = folder + "/libbz2.so.1.0";
    switch (GetParam()) {
      case Beside::kNothing: break;
      case Beside::kEmptyFile: qvtest::WriteFile(library, ""); break;
      case Beside::kGarbage: qvtest::WriteFile(library, qvtest::RandomBytes(5000, 1)); break;
      case Beside::kNoCodingFunctions: std::filesystem::copy_file(QV_FAKE_PARTIAL_PATH, library); break;
      case Beside::kNoDecompressEnd: std::filesystem::copy_file(QV_FAKE_FORWARDING_PATH, library); break;
      case Beside::kOtherBlockSizes: std::filesystem::copy_file(QV_FAKE_OTHER_BLOCKS_PATH, library); break;
      case Beside::kOtherBlocksAtNine: std::filesystem::copy_file(QV_FAKE_OTHER_NINTH_PATH, library); break;
    }
    {
      // The plugin takes its temporary folder when it is loaded.
      qvtest::ScopedEnv tmpdir("TMPDIR", temp_dir);
      plugin = std::make_unique<qvtest::Plugin>(copy);
    }
    ASSERT_TRUE(plugin->Loaded() && plugin->Missing().empty()) << plugin->Problem();

    // Two blocks, so that packing takes to its threads.
    contents = qvtest::TextBytes(1200000, 2);
    archive = scratch / "data.qv";
    qvtest::WriteFile(archive, qvtest::MakeArchive("data.txt", contents,
                                                   qvtest::BzipProgramCompress(contents, scratch.path())));
  }

  bool LibraryWorks() const {
    return GetParam() == Beside::kNothing || GetParam() >= Beside::kOtherBlockSizes;
  }
  bool MemoryPackingWorks() const { return LibraryWorks() && GetParam() != Beside::kOtherBlocksAtNine; }

  qvtest::TempDir scratch;
  const std::string temp_dir = scratch / "tmp";
  qvtest::ScopedEnv threads{"QUORVANE_THREADS", "4"};
  std::unique_ptr<qvtest::Plugin> plugin;
  std::string contents;
  std::string archive;
};

TEST_P(MissingLibraryTest, ExtractingAndTestingAreRefused) {
  void* handle = plugin->Open(archive);
  ASSERT_NE(nullptr, handle);

  qvtest::HeaderRecord header;
  ASSERT_EQ(0, plugin->ReadHeader(handle, header.data()));
  EXPECT_EQ("data.txt", header.FileName());

  std::string dest_path = scratch.path();
  std::string dest_name = "data.txt";
  EXPECT_EQ(LibraryWorks(), plugin->ProcessFile(handle, 2, dest_path.data(), dest_name.data()) == 0);
  EXPECT_EQ(LibraryWorks(), qvtest::ReadFile(scratch / "data.txt") == contents);

  EXPECT_EQ(10, plugin->ReadHeader(handle, header.data()));
  ASSERT_EQ(0, plugin->ReadHeader(handle, header.data()));
  EXPECT_EQ(LibraryWorks(), plugin->ProcessFile(handle, 1, nullptr, nullptr) == 0);
  EXPECT_EQ(std::vector<std::string>{}, qvtest::ListDir(temp_dir))
      << "testing left its temporary file";
  EXPECT_EQ(0, plugin->CloseArchive(handle));
}

TEST_P(MissingLibraryTest, PackingIsRefused) {
  const std::string source_dir = scratch / "src";
  std::filesystem::create_directory(source_dir);
  qvtest::WriteFile(source_dir + "/data.txt", contents);
  const auto pack = [&](const std::string& name) {
    std::string packed = scratch / name;
    std::string sub_path;
    std::string src_path = source_dir;
    std::string add_list("data.txt\0\0", 10);
    return plugin->PackFiles(packed.data(), sub_path.data(), src_path.data(), add_list.data(), 0);
  };
  plugin->SetProcessDataProc(qvtest::kNoHandle, qvtest::ProgressRecorder::Callback);
  qvtest::ProgressRecorder recorder;
  EXPECT_EQ(LibraryWorks(), pack("packed.qv") == 0);
  if (LibraryWorks()) {
    qvtest::WriteFile(scratch / "payload.bz2", qvtest::ReadFile(scratch / "packed.qv").substr(28 + 8));
    EXPECT_TRUE(qvtest::BzipProgramDecompressFile(scratch / "payload.bz2") == contents);
    EXPECT_EQ(static_cast<long long>(contents.size()), recorder.TotalSize()) << "bytes reported twice";
    qvtest::ScopedEnv serial("QUORVANE_THREADS", "1");
    ASSERT_EQ(0, pack("serial.qv"));
    EXPECT_TRUE(qvtest::ReadFile(scratch / "packed.qv") == qvtest::ReadFile(scratch / "serial.qv"))
        << "four threads wrote other bytes than one";
  }
}

TEST_P(MissingLibraryTest, MemoryPackingIsRefusedOnce) {
  std::string target = scratch / "mem.qv";
  void* handle = plugin->StartMemPack(0, target.data());
  ASSERT_NE(nullptr, handle);
  int taken = -5;
  int written = -5;
  std::vector<char> out(100000);
  // The data is compressed as it arrives: a missing library shows at once.
  std::vector<int> answers = {plugin->PackToMem(handle, contents.data(), static_cast<int>(contents.size()),
                                                &taken, out.data(), static_cast<int>(out.size()), &written, 0)};
  EXPECT_EQ(MemoryPackingWorks() ? static_cast<int>(contents.size()) : 0, taken);

  std::string archive_bytes;
  for (int call = 0; call < 1000; ++call) {
    written = 0;
    const int answer = plugin->PackToMem(handle, nullptr, 0, &taken, out.data(),
                                        static_cast<int>(out.size()), &written, 0);
    answers.push_back(answer);
    EXPECT_GE(written, 0);
    if (answer == 0) archive_bytes.append(out.data(), static_cast<std::size_t>(std::max(written, 0)));
    if (answer == 1 && answers.size() >= 2 && answers[answers.size() - 2] == 1) break;
  }
  if (MemoryPackingWorks()) {
    EXPECT_EQ(0, answers.front());
    // Stored as "mem.tar", seven bytes.
    ASSERT_GE(archive_bytes.size(), 28u + 7u);
    qvtest::WriteFile(scratch / "payload.bz2", archive_bytes.substr(28 + 7));
    EXPECT_TRUE(qvtest::BzipProgramDecompressFile(scratch / "payload.bz2") == contents);
  } else {
    EXPECT_TRUE(archive_bytes.empty());
    // The failure is answered once; the job is over after that.
    EXPECT_TRUE(answers.size() == 3 && answers[0] > 1 && answers[1] == 1 && answers[2] == 1);
  }
  EXPECT_EQ(0, plugin->DoneMemPack(handle));
  EXPECT_EQ(std::vector<std::string>{}, qvtest::ListDir(temp_dir))
      << "the job left its temporary files";
}

INSTANTIATE_TEST_SUITE_P(Library, MissingLibraryTest,
                         ::testing::Values(Beside::kNothing, Beside::kEmptyFile, Beside::kGarbage,
                                           Beside::kNoCodingFunctions, Beside::kNoDecompressEnd,
                                           Beside::kOtherBlockSizes, Beside::kOtherBlocksAtNine),
                         Describe);

}  // namespace

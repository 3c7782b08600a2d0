// The packer: payloads it writes and reads against the real bzip2 tools,
// damaged and truncated payloads, stopping through the host's callback,
// progress reports, failures of the file system, and packers on two
// threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CMain/failure.h"
#include "CMain/packer.h"
#include "bzLib/library.h"
#include "archive.h"
#include "files.h"
#include "host.h"
#include "process.h"

namespace {

constexpr int kBlock = 65536;
const std::string kUnpackText = "Распаковка: ";
const std::string kPackText = "Orvel's Quorvane - Упаковка: ";

// A new, empty file at `path`.
platform::File Fresh(const std::string& path) {
  platform::RemoveFile(path);
  return platform::File::CreateNew(path, platform::Share::kNone, platform::Visibility::kPrivate);
}

// How a packer call ended: "done", "damaged" (the payload was not intact),
// "stopped", or "write error".  Anything else raised fails the test.
template <typename Call>
std::string Outcome(Call call) {
  try {
    return call() ? "done" : "damaged";
  } catch (const quorvane::EFailure& failure) {
    return failure.failed() == quorvane::TFailed::kStop ? "stopped" : "failed";
  } catch (const quorvane::parallel::EStopped&) {
    return "stopped";
  } catch (const platform::FileWriteError&) {
    return "write error";
  }
}

// One packer on files opened the way the plugin opens them, reporting to
// the calling thread's recorder.
std::string Shrink(const std::string& source, const std::string& archive, std::int64_t startpos) {
  platform::File input = platform::File::OpenRead(source, platform::Share::kRead);
  platform::File output = Fresh(archive);
  const quorvane::TBZip2Library library(quorvane::ModuleDir());
  quorvane::TZPacker packer(startpos, library, qvtest::ProgressRecorder::Callback);
  return Outcome([&] {
    packer.Shrink(input, output);
    return true;
  });
}

std::string Expand(const std::string& archive, const std::string& target, std::int64_t startpos) {
  platform::File input = platform::File::OpenRead(archive, platform::Share::kRead);
  platform::File output = Fresh(target);
  const quorvane::TBZip2Library library(quorvane::ModuleDir());
  quorvane::TZPacker packer(startpos, library, qvtest::ProgressRecorder::Callback);
  return Outcome([&] { return packer.Expand(input, &output); });
}

class PackerTest : public ::testing::Test {
 protected:
  // An archive around `payload` whose data starts at kOffset.
  std::string PutArchive(const std::string& contents, const std::string& payload) {
    const std::string path = scratch / "payload.qv";
    qvtest::WriteFile(path, qvtest::MakeArchive(kName, contents, payload));
    return path;
  }

  static constexpr const char* kName = "data.bin";
  static constexpr std::int64_t kOffset = 28 + 8;
  qvtest::TempDir scratch;
};

TEST_F(PackerTest, ExpandRestoresWhatOtherEncodersWrote) {
  const std::string data = qvtest::TextBytes(1000000, 4) + qvtest::RandomBytes(300000, 5);
  const std::string plain = scratch / "plain";
  const char* const kEncoders[] = {"bzip2 -9 -c", "bzip2 -1 -c", "lbzip2 -9 -n 2 -c",
                                   "lbzip2 -1 -n 2 -c"};
  for (const std::string& contents : {std::string(), data}) {
    qvtest::WriteFile(plain, contents);
    for (const char* encoder : kEncoders) {
      SCOPED_TRACE(std::string(encoder) + ", size " + std::to_string(contents.size()));
      const std::string packed = scratch / "packed.bz2";
      ASSERT_EQ(0, qvtest::RunShell(std::string(encoder) + " " + qvtest::ShellQuote(plain) + " > " +
                                    qvtest::ShellQuote(packed)));
      const std::string archive = PutArchive(contents, qvtest::ReadFile(packed));
      qvtest::ProgressRecorder recorder;
      ASSERT_EQ("done", Expand(archive, scratch / "out", kOffset));
      EXPECT_TRUE(qvtest::ReadFile(scratch / "out") == contents);
    }
  }
}

TEST_F(PackerTest, ExpandRejectsPayloadsTheDecompressorRefuses) {
  const std::string data = qvtest::RandomBytes(150000, 6);
  const std::string stream = qvtest::BzipProgramCompress(data, scratch.path());
  std::string damaged = stream;
  damaged[stream.size() / 2] = static_cast<char>(damaged[stream.size() / 2] ^ 0x20);
  const std::pair<const char*, std::string> kPayloads[] = {
      {"two joined streams", stream + stream},
      {"junk after the stream", stream + "junk"},
      {"a big tail of junk", stream + std::string(300000, 'j')},
      {"a damaged byte", damaged},
      {"no bzip2 at all", std::string(5000, 'Q')},
  };
  for (const auto& [what, payload] : kPayloads) {
    SCOPED_TRACE(what);
    const std::string archive = PutArchive(data, payload);
    qvtest::ProgressRecorder recorder;
    const int descriptors = qvtest::CountOpenFds();
    EXPECT_EQ("damaged", Expand(archive, scratch / "out", kOffset));
    EXPECT_EQ(descriptors, qvtest::CountOpenFds()) << "a file was left open";
  }
}

TEST_F(PackerTest, TruncatedPayloadsYieldWhatTheyHoldAndAreDamaged) {
  // Missing only the end-of-stream trailer: the whole file, also when the
  // one block is far larger than a transfer buffer.
  for (std::size_t size : {std::size_t{30000}, std::size_t{480000}}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string data = qvtest::RandomBytes(size, 7);
    const std::string stream = qvtest::BzipProgramCompress(data, scratch.path());
    const std::string archive = PutArchive(data, stream.substr(0, stream.size() - 10));
    qvtest::ProgressRecorder recorder;
    EXPECT_EQ("damaged", Expand(archive, scratch / "out", kOffset)) << "a stream must end with its end marker";
    EXPECT_EQ(data.size(), qvtest::ReadFile(scratch / "out").size());
    EXPECT_TRUE(qvtest::ReadFile(scratch / "out") == data);
  }
  // Cut inside the compressed data: a shorter file.
  const std::string data = qvtest::TextBytes(3000000, 8);
  const std::string stream = qvtest::BzipProgramCompress(data, scratch.path());
  for (std::size_t keep : {stream.size() / 2, std::size_t{4}, std::size_t{40}}) {
    SCOPED_TRACE("payload cut to " + std::to_string(keep) + " bytes");
    const std::string archive = PutArchive(data, stream.substr(0, keep));
    qvtest::ProgressRecorder recorder;
    EXPECT_EQ("damaged", Expand(archive, scratch / "out", kOffset));
    const std::string restored = qvtest::ReadFile(scratch / "out");
    EXPECT_LT(restored.size(), data.size());
    EXPECT_TRUE(data.compare(0, restored.size(), restored) == 0) << "what comes out is a prefix";
  }
}

TEST_F(PackerTest, ShrinkStopsAtTheReportThatSaysSo) {
  const std::string data = qvtest::RandomBytes(10 * kBlock + 100, 9);
  const std::string source = scratch / "source";
  qvtest::WriteFile(source, data);
  for (std::size_t stop_at : {0, 3}) {
    SCOPED_TRACE("stopped at report " + std::to_string(stop_at));
    qvtest::ProgressRecorder recorder;
    recorder.StopAt(stop_at);
    EXPECT_EQ("stopped", Shrink(source, scratch / "archive.qv", kOffset));
    EXPECT_EQ(stop_at + 1, recorder.Count()) << "went on after the stop";
  }
}

TEST_F(PackerTest, ExpandStopsWhenTheHostSaysSo) {
  const std::string data = qvtest::RandomBytes(10 * kBlock + 100, 10);
  const std::string archive = PutArchive(data, qvtest::BzipProgramCompress(data, scratch.path()));
  // Report 0 is the nameless opening report, whose answer does not count;
  // the stop takes effect at the first block after it.
  for (std::size_t stop_at : {0, 3}) {
    SCOPED_TRACE("answering 0 from report " + std::to_string(stop_at));
    qvtest::ProgressRecorder recorder;
    recorder.StopAt(stop_at);
    EXPECT_EQ("stopped", Expand(archive, scratch / "out", kOffset));
    const std::size_t blocks = std::max<std::size_t>(stop_at, 1);
    EXPECT_EQ(blocks + 1, recorder.Count());
    EXPECT_TRUE(qvtest::ReadFile(scratch / "out") == data.substr(0, blocks * kBlock));
  }
}

TEST_F(PackerTest, ProgressReportsCountTheBytesOfEachBlock) {
  for (std::size_t size : {std::size_t{0}, std::size_t{100}, std::size_t{kBlock},
                           std::size_t{3 * kBlock + 100}}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string data = qvtest::RandomBytes(size, 12);
    std::vector<int> expected(size / kBlock, kBlock);
    if (size % kBlock != 0 || size == 0) expected.push_back(static_cast<int>(size % kBlock));

    const std::string source = scratch / "source";
    const std::string archive = scratch / "archive.qv";
    qvtest::WriteFile(source, data);
    {
      qvtest::ProgressRecorder recorder;
      ASSERT_EQ("done", Shrink(source, archive, kOffset));
      EXPECT_EQ(expected, recorder.Sizes(kPackText + source));
      EXPECT_EQ(expected.size(), recorder.Reports().size()) << "reports with other texts";
    }
    {
      qvtest::ProgressRecorder recorder;
      ASSERT_EQ("done", Expand(archive, scratch / "out", kOffset));
      ASSERT_FALSE(recorder.Reports().empty());
      EXPECT_TRUE(recorder.Reports()[0].null_name) << "the first report has no name";
      EXPECT_EQ(0, recorder.Reports()[0].size);
      // An empty file gets the opening report only.
      if (size == 0) expected.clear();
      EXPECT_EQ(expected, recorder.Sizes(kUnpackText + archive));
      EXPECT_EQ(expected.size() + 1, recorder.Reports().size()) << "reports with other texts";
      EXPECT_EQ(static_cast<std::int64_t>(size), recorder.SizeSum(kUnpackText + archive));
    }
  }
}

TEST_F(PackerTest, FullDiskRaisesWriteErrorInBothDirections) {
  const std::string data = qvtest::RandomBytes(1 << 20, 14);
  const std::string small = qvtest::RandomBytes(30000, 15);
  const std::string source = scratch / "source";
  const std::string small_source = scratch / "small";
  qvtest::WriteFile(source, data);
  qvtest::WriteFile(small_source, small);
  const std::string archive = PutArchive(data, qvtest::BzipProgramCompress(data, scratch.path()));

  const auto trial = [&](const char* what, std::uint64_t limit, auto operation) {
    SCOPED_TRACE(what);
    EXPECT_EQ("", qvtest::RunInChild([&]() -> std::string {
      const int before = qvtest::CountOpenFds();
      qvtest::ImitateFullDisk(limit);
      const std::string outcome = operation();
      const int after = qvtest::CountOpenFds();
      std::string verdict;
      if (outcome != "write error") verdict += "ended " + outcome + "; ";
      if (before != after) {
        verdict += std::to_string(after - before) + " descriptor(s) left open; ";
      }
      return verdict;
    }));
  };
  trial("Expand into a full disk", 256 * 1024, [&] { return Expand(archive, scratch / "out", kOffset); });
  trial("Shrink into a full disk", 256 * 1024, [&] { return Shrink(source, scratch / "a.qv", kOffset); });
  // Everything fits in the staging buffer until the stream is completed,
  // so it is completing the stream that fails.
  trial("Shrink whose final write fails", 8 * 1024,
        [&] { return Shrink(small_source, scratch / "b.qv", kOffset); });
}

TEST(PackerThreads, PackersOnTwoThreadsAtOnce) {
  qvtest::TempDir scratch;
  const int references = quorvane::BZip2LibraryReferences();
  std::atomic<int> failures{0};
  const auto worker = [&](int id) {
    qvtest::ProgressRecorder recorder;
    const std::string source = scratch / ("source" + std::to_string(id));
    const std::string archive = scratch / ("archive" + std::to_string(id));
    const std::string out = scratch / ("out" + std::to_string(id));
    for (int round = 0; round < 60; ++round) {
      const std::string data = qvtest::TextBytes(1000 + static_cast<std::size_t>(round), static_cast<std::uint32_t>(id * 1000 + round));
      qvtest::WriteFile(source, data);
      if (Shrink(source, archive, 28) != "done" || Expand(archive, out, 28) != "done" ||
          qvtest::ReadFile(out) != data) {
        ++failures;
      }
    }
    // Each thread hears only its own reports.
    if (recorder.SizeSum(kPackText + source) + recorder.SizeSum(kUnpackText + archive) !=
        2 * (60 * 1000 + 59 * 60 / 2)) {
      ++failures;
    }
  };
  std::thread first(worker, 1);
  std::thread second(worker, 2);
  first.join();
  second.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(references, quorvane::BZip2LibraryReferences());
}

}  // namespace

// The bzip2 stream adapters on their own: round trips with awkward buffer
// sizes, the library's statuses, and what happens to bytes that follow the
// end of a stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CMain/module.h"
#include "bzLib/streams.h"
#include "archive.h"
#include "files.h"
#include "process.h"
#include "platform/platform.h"

namespace {

using platform::File;
using platform::Origin;
using platform::Share;
using quorvane::TBZCompressionStream;
using quorvane::TBZDecompressionStream;

// A new, empty file at `path`.
File Fresh(const std::string& path) {
  platform::RemoveFile(path);
  return File::CreateNew(path, Share::kNone, platform::Visibility::kPrivate);
}

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.bound()); }

  // Compresses `data` into a new file behind `prefix`; the pieces handed to
  // Write take the sizes of `chunks` in turn.
  void Compress(const std::string& path, const std::string& data,
                const std::vector<std::size_t>& chunks, const std::string& prefix = "") {
    File file = Fresh(path);
    if (!prefix.empty()) file.Write(prefix.data(), prefix.size());
    TBZCompressionStream z(library, file);
    std::size_t turn = 0;
    for (std::size_t done = 0; done < data.size();) {
      const std::size_t n = std::min(chunks[turn++ % chunks.size()], data.size() - done);
      z.Write(data.data() + done, n);
      done += n;
    }
    z.Finish();
    file.Close();
  }

  // Decompresses from `offset` on, asking Read for the sizes of `chunks` in
  // turn.  Every read before the end must fill what it was asked for.
  std::string Decompress(const std::string& path, const std::vector<std::size_t>& chunks,
                         std::int64_t offset = 0) {
    File file = File::OpenRead(path, Share::kNone);
    file.Seek(offset, Origin::kBegin);
    TBZDecompressionStream z(library, file);
    std::string out;
    std::vector<char> buffer(*std::max_element(chunks.begin(), chunks.end()));
    bool short_read_seen = false;
    for (std::size_t turn = 0;; ++turn) {
      const std::size_t chunk = chunks[turn % chunks.size()];
      const std::size_t n = z.Read(buffer.data(), chunk);
      EXPECT_LE(n, chunk);
      if (n == 0) break;
      EXPECT_FALSE(short_read_seen) << "a short read came before the end, at " << out.size();
      short_read_seen = n < chunk;
      out.append(buffer.data(), n);
    }
    EXPECT_EQ(0u, z.Read(buffer.data(), buffer.size())) << "the end must stay the end";
    return out;
  }

  const quorvane::TBZip2Library library{quorvane::ModuleDir()};
  qvtest::TempDir scratch;
};

TEST_F(StreamTest, RoundTripsWithOddBufferSizes) {
  const std::size_t kChunks[] = {1, 4095, 65535, 65537};
  const std::string path = scratch / "round.bz2";
  int shift = 0;
  for (std::size_t size : {0, 1, 65535, 65536, 65537}) {
    const std::string data = qvtest::RandomBytes(size, 7);
    // Across the sizes every write size meets every read size.
    for (int i = 0; i < 4; ++i) {
      const std::size_t write_chunk = kChunks[i];
      const std::size_t read_chunk = kChunks[(i + shift) % 4];
      SCOPED_TRACE("size " + std::to_string(size) + ", writes of " + std::to_string(write_chunk) +
                   ", reads of " + std::to_string(read_chunk));
      Compress(path, data, {write_chunk});
      EXPECT_TRUE(Decompress(path, {read_chunk}) == data);
    }
    ++shift;
  }
  // A few MiB, several blocks, in pieces that take all four sizes in turn
  // (byte-sized calls throughout would take minutes).
  const std::string data = qvtest::TextBytes(3 * 1024 * 1024 + 17, 7);
  Compress(path, data, {1, 4095, 65535, 65537});
  EXPECT_TRUE(Decompress(path, {65537, 1, 4095, 65535}) == data);
  EXPECT_TRUE(Decompress(path, {4095, 65537, 65535, 1}) == data);
  // What the adapter wrote is plain bzip2 for the real program too.
  EXPECT_TRUE(qvtest::BzipProgramDecompressFile(path) == data);
}

TEST_F(StreamTest, EmptyStreamIsComplete) {
  const std::string finished = scratch / "finished.bz2";
  Compress(finished, "", {1});
  // Ending the compressor without Finish completes the stream as well.
  const std::string destroyed = scratch / "destroyed.bz2";
  {
    File file = Fresh(destroyed);
    TBZCompressionStream z(library, file);
  }
  for (const std::string& path : {finished, destroyed}) {
    EXPECT_EQ(qvtest::ReadFile(scratch / "finished.bz2"), qvtest::ReadFile(path));
    EXPECT_EQ(std::optional<std::string>(""), qvtest::BzipProgramDecompressFile(path));
    File file = File::OpenRead(path, Share::kNone);
    TBZDecompressionStream z(library, file);
    char buffer[16];
    EXPECT_EQ(0u, z.Read(buffer, sizeof buffer)) << "the first read already finds the end";
  }
}

TEST_F(StreamTest, DestructionCompletesAStreamWithData) {
  const std::string data = qvtest::RandomBytes(200000, 3);
  const std::string path = scratch / "destroyed.bz2";
  {
    File file = Fresh(path);
    TBZCompressionStream z(library, file);
    z.Write(data.data(), data.size());
  }
  EXPECT_TRUE(qvtest::BzipProgramDecompressFile(path) == data);
}

TEST_F(StreamTest, LibraryStatusesBecomeErrorMessages) {
  const auto expect_error = [&](const std::string& path, const std::string& message) {
    File file = File::OpenRead(path, Share::kNone);
    TBZDecompressionStream z(library, file);
    std::vector<char> buffer(65536);
    try {
      while (z.Read(buffer.data(), buffer.size()) > 0) {
      }
      ADD_FAILURE() << path << " was accepted";
    } catch (const quorvane::EBZDecompressionError& e) {
      EXPECT_EQ(message, e.what()) << path;
    }
  };
  qvtest::WriteFile(scratch / "not-bzip2", "PK\x03\x04 certainly not a bzip2 stream");
  expect_error(scratch / "not-bzip2", "error -5");

  std::string damaged = qvtest::BzipProgramCompress(qvtest::RandomBytes(100000, 5), scratch.path());
  damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x55);
  qvtest::WriteFile(scratch / "damaged.bz2", damaged);
  expect_error(scratch / "damaged.bz2", "error -4");
}

TEST_F(StreamTest, BytesAfterTheStreamEndFailWithSequenceError) {
  const std::string data = qvtest::TextBytes(50000, 2);
  const std::string stream = qvtest::BzipProgramCompress(data, scratch.path());
  const auto expect_sequence_error = [&](const std::string& name, const std::string& contents) {
    const std::string path = scratch / name;
    qvtest::WriteFile(path, contents);
    File file = File::OpenRead(path, Share::kNone);
    TBZDecompressionStream z(library, file);
    std::vector<char> buffer(1000);
    try {
      while (z.Read(buffer.data(), buffer.size()) > 0) {
      }
      ADD_FAILURE() << name << " was accepted";
    } catch (const quorvane::EBZDecompressionError& e) {
      EXPECT_STREQ("error -1", e.what()) << name;
    }
  };
  expect_sequence_error("junk-after", stream + "JUNK");
  expect_sequence_error("one-byte-after", stream + '\0');
  expect_sequence_error("two-streams", stream + stream);

  // Junk that appears only after the end was read.
  const std::string path = scratch / "grows";
  qvtest::WriteFile(path, stream);
  File file = File::OpenRead(path, Share::kNone);
  TBZDecompressionStream z(library, file);
  std::vector<char> buffer(65536);
  std::string restored;
  for (std::size_t n; (n = z.Read(buffer.data(), buffer.size())) > 0;) restored.append(buffer.data(), n);
  EXPECT_TRUE(restored == data);
  qvtest::AppendFile(path, "late junk");
  try {
    z.Read(buffer.data(), buffer.size());
    ADD_FAILURE() << "bytes that arrived after the end were accepted";
  } catch (const quorvane::EBZDecompressionError& e) {
    EXPECT_STREQ("error -1", e.what());
  }
}

TEST_F(StreamTest, TruncatedStreamsGiveWhatTheyHoldThenFail) {
  // A stream must end with its end marker; everything decoded before the
  // cut comes out first, whatever the read size.
  const auto read_cut = [&](const std::string& stream, std::size_t keep, std::size_t chunk) {
    qvtest::WriteFile(scratch / "cut", stream.substr(0, keep));
    File file = File::OpenRead(scratch / "cut", Share::kNone);
    TBZDecompressionStream z(library, file);
    std::vector<char> buffer(chunk);
    std::string restored;
    try {
      for (std::size_t n; (n = z.Read(buffer.data(), buffer.size())) > 0;) restored.append(buffer.data(), n);
      ADD_FAILURE() << "a stream cut to " << keep << " bytes was accepted";
    } catch (const quorvane::EBZDecompressionError& e) {
      EXPECT_STREQ("error -7", e.what());
    }
    return restored;
  };
  // 500,000 incompressible bytes make one block, far more than one buffer.
  // Without the 10-byte end-of-stream trailer the block is still whole.
  for (std::size_t size : {1000u, 500000u}) {
    const std::string data = qvtest::RandomBytes(size, 13);
    const std::string stream = qvtest::BzipProgramCompress(data, scratch.path());
    for (std::size_t chunk : {65536u, 4095u}) {
      EXPECT_TRUE(read_cut(stream, stream.size() - 10, chunk) == data) << size << ", reads of " << chunk;
      EXPECT_TRUE(read_cut(stream, stream.size() - 1, chunk) == data) << size << ", reads of " << chunk;
    }
  }
  // A cut inside a later block keeps the blocks before it.
  const std::string data = qvtest::TextBytes(3000000, 17);
  const std::string stream = qvtest::BzipProgramCompress(data, scratch.path());
  const std::string restored = read_cut(stream, stream.size() * 2 / 3, 65536);
  EXPECT_LT(restored.size(), data.size());
  EXPECT_GT(restored.size(), 0u);
  EXPECT_TRUE(data.compare(0, restored.size(), restored) == 0) << "what comes out is a prefix";
}

}  // namespace

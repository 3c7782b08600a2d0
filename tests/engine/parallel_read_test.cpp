// Damage equivalence: the parallel reader against the serial stream.  For
// streams from several encoders (bzip2 at both block sizes, lbzip2, 7-Zip,
// and data that plants a false block magic in every block) whole, cut,
// bit-flipped, with bytes put in or taken out, and followed by more bytes,
// four decoding threads must give the same bytes and end with the same
// error as the serial stream.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CMain/module.h"
#include "archive.h"
#include "bzLib/decompressor.h"
#include "bzLib/streams.h"
#include "files.h"
#include "process.h"

namespace {

using platform::File;
using platform::Share;

struct Outcome {
  std::string data;
  std::string error;  // empty: the stream ended well
};

Outcome ReadAll(const quorvane::TBZip2Library& library, const std::string& path, int threads) {
  File file = File::OpenRead(path, Share::kNone);
  Outcome outcome;
  std::vector<char> buffer(65536);
  try {
    quorvane::TBZDecompressionStream stream(library, file, {}, threads);
    for (std::size_t n; (n = stream.Read(buffer.data(), buffer.size())) > 0;) outcome.data.append(buffer.data(), n);
  } catch (const quorvane::EBZDecompressionError& e) {
    outcome.error = e.what();
  }
  return outcome;
}

bool ReadInParallel(const std::string& path) {
  File file = File::OpenRead(path, Share::kNone);
  return quorvane::parallel::TDecompressor::Open(file, 4, {}) != nullptr;
}

// Bytes used so that every block's map of used byte values spells the
// block magic, 0x314159265359: ranges 2, 3, 7, 9 and 15 (0x3141), then the
// bytes of range 2 (0x5926) and of range 3 (0x5359); no runs, which would
// add their lengths as bytes.
std::string PlantedMagic(std::size_t size) {
  std::vector<char> used;
  for (int range : {2, 3, 7, 9, 15}) {
    const unsigned bits = range == 2 ? 0x5926 : range == 3 ? 0x5359 : 0x8001;
    for (int j = 0; j < 16; ++j) {
      if (bits >> (15 - j) & 1) used.push_back(static_cast<char>(range * 16 + j));
    }
  }
  std::mt19937 random(11);
  std::string data;
  while (data.size() < size) {
    const char c = used[random() % used.size()];
    if (data.size() >= 3 && data.compare(data.size() - 3, 3, std::string(3, c)) == 0) continue;
    data += c;
  }
  return data;
}

// Where block magics stand in `payload`, in bits.
std::vector<std::uint64_t> BlockMagics(const std::string& payload) {
  std::vector<std::uint64_t> found;
  std::uint64_t window = 0;
  for (std::size_t bit = 0; bit < payload.size() * 8; ++bit) {
    window = (window << 1 | (static_cast<unsigned char>(payload[bit / 8]) >> (7 - bit % 8) & 1)) & 0xFFFFFFFFFFFF;
    if (window == 0x314159265359) found.push_back(bit - 47);
  }
  return found;
}

// `payload` with `count` zero bits put in at bit `at`.
std::string WithZeroBits(const std::string& payload, std::uint64_t at, unsigned count) {
  std::string out((payload.size() * 8 + count + 7) / 8, '\0');
  for (std::uint64_t bit = 0; bit < payload.size() * 8; ++bit) {
    const std::uint64_t to = bit < at ? bit : bit + count;
    if (static_cast<unsigned char>(payload[bit / 8]) >> (7 - bit % 8) & 1) out[to / 8] |= static_cast<char>(0x80 >> to % 8);
  }
  return out;
}

class ParallelRead : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library.bound()); }
  // Four workers, whatever the machine has.
  qvtest::ScopedEnv threads_{"QUORVANE_THREADS", "4"};

  // What an encoder program makes of `data`.
  std::string Encode(const std::string& command, const std::string& data) {
    qvtest::WriteFile(scratch / "plain", data);
    EXPECT_EQ(0, qvtest::RunShell(command + " < " + qvtest::ShellQuote(scratch / "plain") + " > " +
                                  qvtest::ShellQuote(scratch / "encoded") + " 2>/dev/null"));
    return qvtest::ReadFile(scratch / "encoded");
  }

  void ExpectSame(const std::string& what, const std::string& payload) {
    SCOPED_TRACE(what);
    qvtest::WriteFile(scratch / "payload", payload);
    const Outcome serial = ReadAll(library, scratch / "payload", 1);
    const Outcome parallel = ReadAll(library, scratch / "payload", 4);
    EXPECT_EQ(serial.error, parallel.error);
    EXPECT_EQ(serial.data.size(), parallel.data.size());
    EXPECT_TRUE(serial.data == parallel.data) << "different bytes before the error";
  }

  const quorvane::TBZip2Library library{quorvane::ModuleDir()};
  qvtest::TempDir scratch;
};

TEST_F(ParallelRead, GivesWhatTheSerialStreamGivesWhateverTheDamage) {
  const std::string text = qvtest::TextBytes(700000, 5);
  const std::string big = qvtest::RandomBytes(700000, 6) + qvtest::TextBytes(1200000, 7);
  const std::string planted = PlantedMagic(450000);
  // Runs of 4 to 7 letters: a block started at another row unpacks past its
  // end, which the library finds only as it writes the block's last bytes.
  std::string runs;
  for (std::mt19937 letters(3); runs.size() < 400000;) runs.append(4 + letters() % 4, static_cast<char>('a' + letters() % 26));
  const struct {
    const char* what;
    std::string data;
    std::string payload;
    int damaged_copies;
  } kStreams[] = {
      {"bzip2 -1", text, qvtest::Bzip2Compress(text, 1), 60},
      {"bzip2 -9", big, qvtest::Bzip2Compress(big, 9), 12},
      {"lbzip2", text, Encode("lbzip2 -1 -n 2 -c", text), 60},
      {"7-Zip", text, Encode("7z a -tbzip2 -mx=1 -mmt=2 -si -so unused", text), 60},
      {"a false block magic in every block", planted, qvtest::Bzip2Compress(planted, 1), 60},
      {"runs", runs, qvtest::Bzip2Compress(runs, 1), 30},
  };
  std::mt19937 random(20240601);  // fixed: a failure must reproduce
  for (const auto& stream : kStreams) {
    SCOPED_TRACE(stream.what);
    const std::string& payload = stream.payload;
    qvtest::WriteFile(scratch / "payload", payload);
    ASSERT_TRUE(ReadInParallel(scratch / "payload"));
    const Outcome whole = ReadAll(library, scratch / "payload", 4);
    EXPECT_EQ("", whole.error);
    EXPECT_TRUE(whole.data == stream.data);

    for (std::size_t cut = 1; cut <= 12; ++cut) ExpectSame("the last " + std::to_string(cut) + " bytes cut", payload.substr(0, payload.size() - cut));
    for (int i = 1; i < 24; ++i) {
      const std::size_t keep = payload.size() * i / 24 + random() % 64;
      ExpectSame("cut to " + std::to_string(keep), payload.substr(0, keep));
    }
    // Bits flipped, or bytes put in or taken out, which leave a block that
    // decodes to its end but is not what its tables say.
    for (int copy = 0; copy < stream.damaged_copies; ++copy) {
      std::string damaged = payload;
      const std::size_t at = random() % damaged.size();
      if (copy % 3 == 0) {
        damaged.insert(at, 1 + random() % 3, static_cast<char>(random()));
      } else if (copy % 3 == 1) {
        damaged.erase(at, 1 + random() % 3);
      } else {
        for (auto flips = 1 + random() % 3; flips > 0; --flips) {
          const std::size_t flip = random() % damaged.size();
          damaged[flip] = static_cast<char>(damaged[flip] ^ 1 << random() % 8);
        }
      }
      ExpectSame("damaged copy " + std::to_string(copy), damaged);
    }
    // A block that ends well but short of the next block's magic.
    const std::uint64_t second = BlockMagics(payload).at(1);
    for (unsigned bits : {1u, 7u, 8u, 47u}) {
      ExpectSame(std::to_string(bits) + " bits before the second block", WithZeroBits(payload, second, bits));
    }
    // The second block unpacked from its first row: its origin pointer, 24
    // bits after its magic, its checksum and a flag, set to 0.
    std::string first_row = payload;
    for (std::uint64_t bit = second + 81; bit < second + 105; ++bit) {
      first_row[bit / 8] = static_cast<char>(first_row[bit / 8] & ~(0x80 >> bit % 8));
    }
    ExpectSame("the second block unpacked from its first row", first_row);
    ExpectSame("junk after the stream", payload + "junk");
    ExpectSame("zeros after the stream", payload + std::string(100, '\0'));
    ExpectSame("a second stream", payload + qvtest::Bzip2Compress("a second stream"));
    ExpectSame("the stream twice", payload + payload);
    if (HasFailure()) return;
  }
}

}  // namespace

// The buffer checksum, called directly, on both systems: known answers, every
// length and offset against the tests' own table, and counts past 32 bits.
#include <gtest/gtest.h>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif
#include <cpuid.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "crc32.h"
#include "files.h"
#include "reference_crc32.h"

namespace {

using qvtest::Crc32Step;

// Bytes that are never written, so the system backs them all with its page
// of zeros (a huge one where it can: far fewer faults to take).
class Zeros {
 public:
  explicit Zeros(std::size_t size) : size_(size) {
#ifdef _WIN32
    data_ = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
#else
    data_ = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (data_ == MAP_FAILED) data_ = nullptr;
    if (data_ != nullptr) madvise(data_, size, MADV_HUGEPAGE);
#endif
  }
  ~Zeros() {
    if (data_ == nullptr) return;
#ifdef _WIN32
    VirtualFree(data_, 0, MEM_RELEASE);
#else
    munmap(data_, size_);
#endif
  }
  Zeros(const Zeros&) = delete;
  Zeros& operator=(const Zeros&) = delete;
  const void* data() const { return data_; }

 private:
  std::size_t size_;
  void* data_;
};

TEST(Crc32, KnownAnswers) {
  EXPECT_EQ(~quorvane::UpdateCRC32(0xFFFFFFFFu, "123456789", 9), 0xCBF43926u);
  // An empty piece may come without a buffer at all.
  EXPECT_EQ(quorvane::UpdateCRC32(0x12345678u, nullptr, 0), 0x12345678u);
}

// Every length up to a few pages, from every offset within a 64-byte line and
// from a register of its own each time: the vector code folds 16, 64 and 128
// bytes a step, aligns its loads and changes method at 1 KiB, and its heads
// and tails are where it can go wrong.
TEST(Crc32, EveryLengthAndOffsetMatchesTheTable) {
  constexpr std::size_t kLongest = 4096;
  const std::string data = qvtest::RandomBytes(kLongest + 128, 7);
  const char* line = data.data() + (-reinterpret_cast<std::uintptr_t>(data.data()) & 63u);
  for (std::size_t offset = 0; offset < 64; offset += offset < 16 ? 1 : 16) {
    const char* start = line + offset;
    const std::uint32_t first = 0x9E3779B9u * static_cast<std::uint32_t>(offset + 1);
    std::uint32_t expected = first;
    for (std::size_t length = 0; length <= kLongest; ++length) {
      ASSERT_EQ(quorvane::UpdateCRC32(first, start, length), expected)
          << "offset " << offset << ", length " << length;
      expected = Crc32Step(expected, static_cast<unsigned char>(start[length]));
    }
  }
}

// A count past 4 GiB must reach the routine whole, not cut to 32 bits.
TEST(Crc32, CountBeyondFourGiB) {
  constexpr std::size_t kSize = (std::size_t{1} << 32) + 3;
  Zeros zeros(kSize);
  if (zeros.data() == nullptr) GTEST_SKIP() << "no room for 4 GiB of address space";
  EXPECT_EQ(~quorvane::UpdateCRC32(0xFFFFFFFFu, zeros.data(), kSize), 0x2144DF1Cu)
      << "zlib's answer for as many zeros";
}

// libdeflate picks its method by the processor it finds.  CMakeLists.txt runs
// the buffer checks again on emulated processors without AVX, and without
// carry-less multiplication, naming the method they should get; this makes
// sure the emulator really offered that processor.
TEST(Crc32Processor, IsTheOneTheRunAsksFor) {
  const char* wanted = std::getenv("QV_EXPECTED_CRC_METHOD");
  if (wanted == nullptr) GTEST_SKIP() << "not an emulated run";
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  ASSERT_TRUE(__get_cpuid(1, &eax, &ebx, &ecx, &edx));
  const bool pclmul = (ecx & bit_PCLMUL) != 0, avx = (ecx & bit_AVX) != 0;
  EXPECT_EQ(!pclmul ? "portable" : avx ? "pclmul-avx" : "pclmul", std::string(wanted));
}

}  // namespace

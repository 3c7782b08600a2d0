// CRC-32 throughput of the plugin's own routine, in memory: reads a file
// once, then feeds it to quorvane::UpdateCRC32 in the 32 KiB pieces the file
// checksum uses.  Prints the checksum (so the caller can check it against an
// independent one) and the best GB/s of a few passes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "crc32.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: crc_speed FILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.empty()) {
    std::fprintf(stderr, "crc_speed: cannot read %s\n", argv[1]);
    return 2;
  }
  constexpr std::size_t kPiece = 32768;
  double best = 0;
  std::uint32_t crc = 0;
  for (int pass = 0; pass < 5; ++pass) {
    const auto start = std::chrono::steady_clock::now();
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t at = 0; at < data.size(); at += kPiece) {
      reg = quorvane::UpdateCRC32(reg, data.data() + at, std::min(kPiece, data.size() - at));
    }
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    crc = ~reg;
    best = std::max(best, static_cast<double>(data.size()) / spent.count() / 1e9);
  }
  std::printf("%08x %.3f\n", crc, best);
  return 0;
}

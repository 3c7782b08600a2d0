// Names for new files that nobody can guess or take over first: a prefix, a
// pseudo-random number and a suffix, a fresh number on every clash.  The
// plugin's temporary files and wcx's partial outputs are named this way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qvcommon {

// Seeds the pseudo-random source from a high-resolution clock and an address
// that differs from process to process.  The first draw seeds it when nobody
// has; the plugin seeds it when it is loaded.
void SeedRandom() noexcept;
// The next number from 0 to 2147483646.  Safe from several threads; the
// source needs no lock and no start-up code, so it leaves nothing behind
// when a module holding it is unloaded.
std::uint32_t NextRandom() noexcept;

// How many names in a row may be taken before ClaimUniqueName gives up.
inline constexpr int kUniqueNameAttempts = 1000;

// Offers `create` the names prefix + number + suffix, a new number each time,
// until it claims one: `create` answers true when it created the file, false
// when the name was taken (and raises on any other failure).  The claimed
// name, or nothing after kUniqueNameAttempts clashes.
template <typename Char, typename Create>
std::optional<std::basic_string<Char>> ClaimUniqueName(std::basic_string_view<Char> prefix,
                                                       std::basic_string_view<Char> suffix,
                                                       Create&& create) {
  for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
    std::basic_string<Char> candidate(prefix);
    for (char digit : std::to_string(NextRandom())) candidate += static_cast<Char>(digit);
    candidate += suffix;
    if (create(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace qvcommon

// The shared helpers on their own: UTF-8 character lengths against the byte
// ranges RFC 3629 allows, and unique names on clashes.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "unique_name.h"
#include "utf8.h"

namespace {

TEST(Utf8, CharacterLengthFollowsTheStandardsByteRanges) {
  struct Case {
    const char* what;
    std::string text;
    std::size_t length;
  };
  const Case cases[] = {
      {"ASCII", "a", 1},
      {"two bytes", "\xC3\xA9", 2},
      {"three bytes", "\xE2\x82\xAC", 3},
      {"four bytes", "\xF0\x9F\x98\x80", 4},
      {"the last character", "\xF4\x8F\xBF\xBF", 4},
      {"a stray continuation byte", "\x80", 0},
      {"an overlong two-byte form", "\xC0\xAF", 0},
      {"an overlong three-byte form", "\xE0\x80\xAF", 0},
      {"an overlong four-byte form", "\xF0\x80\x80\xAF", 0},
      {"a surrogate", "\xED\xA0\x80", 0},
      {"past U+10FFFF", "\xF4\x90\x80\x80", 0},
      {"a lead byte no character has", "\xF5\x80\x80\x80", 0},
      {"a sequence cut short", "\xE2\x82", 0},
      {"a lead byte before ASCII", "\xC3" "a", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qvcommon::Utf8CharacterLength(c.text, 0), c.length) << c.what;
  }
  const std::string text = "a\xC3\xA9";
  EXPECT_EQ(qvcommon::Utf8CharacterLength(text, 1), 2u) << "in the middle of a text";
  EXPECT_EQ(qvcommon::Utf8CharacterLength(text, 3), 0u) << "at the end";
}

TEST(UniqueNames, EveryClashDrawsAnotherNumberUntilTheAttemptsRunOut) {
  std::vector<std::string> offered;
  const auto taken_three_times = [&](const std::string& candidate) {
    offered.push_back(candidate);
    return offered.size() > 3;
  };
  const auto claimed = qvcommon::ClaimUniqueName<char>("dir/pre", ".part", taken_three_times);
  ASSERT_TRUE(claimed.has_value());
  ASSERT_EQ(offered.size(), 4u);
  EXPECT_EQ(*claimed, offered.back());
  EXPECT_EQ(std::set<std::string>(offered.begin(), offered.end()).size(), 4u) << "a number came twice";
  for (const std::string& name : offered) {
    ASSERT_EQ(name.rfind("dir/pre", 0), 0u) << name;
    ASSERT_EQ(name.substr(name.size() - 5), ".part") << name;
    const std::string number = name.substr(7, name.size() - 12);
    ASSERT_FALSE(number.empty()) << name;
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << name;
    EXPECT_LE(std::stoll(number), 2147483646) << name;
  }

  int calls = 0;
  const auto always_taken = [&](const std::wstring&) { return ++calls == 0; };
  EXPECT_FALSE(qvcommon::ClaimUniqueName<wchar_t>(L"x", L"", always_taken).has_value());
  EXPECT_EQ(calls, qvcommon::kUniqueNameAttempts);
}

}  // namespace

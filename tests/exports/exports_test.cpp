// The module file itself: what a file manager sees before it calls anything.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "host.h"

namespace {

#ifndef QUORVANE_NM
#define QUORVANE_NM "nm"
#endif
#ifndef QUORVANE_OBJDUMP
#define QUORVANE_OBJDUMP "objdump"
#endif

// What `command` prints, one string a line; false when it fails.
bool OutputLines(const std::string& command, std::vector<std::string>& lines) {
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return false;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) lines.emplace_back(line);
  return pclose(pipe) == 0;
}

struct Symbol {
  char type;
  std::string name;
  bool operator<(const Symbol& other) const { return name < other.name; }
};

// The defined dynamic symbols of `path`, as nm lists them.
bool DefinedSymbols(const std::string& path, std::set<Symbol>& symbols) {
  std::vector<std::string> lines;
  if (!OutputLines(std::string(QUORVANE_NM) + " -D --defined-only '" + path + "'", lines)) return false;
  for (const std::string& line : lines) {
    // "0000000000001234 T Name" (the address is missing for absolute symbols)
    std::istringstream in(line);
    std::string first, second, third;
    in >> first >> second >> third;
    if (third.empty()) {
      symbols.insert({second.empty() ? '?' : first[0], second});
    } else {
      symbols.insert({second[0], third});
    }
  }
  return true;
}

TEST(Exports, ExactlyTheHostEntryPointsAsFunctions) {
  const std::set<std::string> expected = {
      "GetPackerCaps", "CanYouHandleThisFile", "OpenArchive",   "ReadHeader",   "ReadHeaderEx",
      "CloseArchive",  "SetProcessDataProc",   "SetChangeVolProc", "ProcessFile",
      "PackFiles",     "ConfigurePacker",      "StartMemPack",  "PackToMem",
      "DoneMemPack",   "ExtensionInitialize"};
  std::set<Symbol> symbols;
  ASSERT_TRUE(DefinedSymbols(qvtest::DefaultPluginPath(), symbols));
  std::set<std::string> names;
  for (const Symbol& s : symbols) {
    names.insert(s.name);
    if (expected.count(s.name) != 0) {
      EXPECT_EQ(s.type, 'T') << s.name << " is not a code symbol";
    }
  }
  EXPECT_EQ(names, expected);
}

// libdeflate is linked in and libbz2 is bound at run time: the loader is asked
// for neither.
TEST(Exports, NeedsNeitherTheChecksumNorTheCompressionLibrary) {
  std::vector<std::string> lines;
  ASSERT_TRUE(OutputLines(std::string(QUORVANE_OBJDUMP) + " -p '" + qvtest::DefaultPluginPath() + "'", lines));
  std::vector<std::string> needed;
  for (const std::string& line : lines) {
    std::istringstream in(line);
    std::string tag, name;
    if (in >> tag >> name && tag == "NEEDED") needed.push_back(name);
  }
  ASSERT_FALSE(needed.empty()) << "no dynamic section found";
  for (const std::string& name : needed) {
    EXPECT_EQ(name.find("deflate"), std::string::npos) << name;
    EXPECT_EQ(name.find("bz2"), std::string::npos) << name;
  }
}

TEST(Exports, SixtyFourBitElfSharedObjectWithoutLibPrefix) {
  std::string path = qvtest::DefaultPluginPath();
  std::string name = std::filesystem::path(path).filename().string();
  EXPECT_EQ(name, "quorvane.wcx");
  EXPECT_NE(name.rfind("lib", 0), 0u);

  std::string bytes = qvtest::ReadFile(path);
  ASSERT_GE(bytes.size(), 20u);
  EXPECT_EQ(bytes.substr(0, 4), "\x7f" "ELF");
  EXPECT_EQ(bytes[4], 2) << "EI_CLASS is not ELFCLASS64";
  EXPECT_EQ(bytes[5], 1) << "not little-endian";
  EXPECT_EQ(static_cast<unsigned char>(bytes[16]) | static_cast<unsigned char>(bytes[17]) << 8, 3)
      << "e_type is not ET_DYN";
  EXPECT_EQ(static_cast<unsigned char>(bytes[18]) | static_cast<unsigned char>(bytes[19]) << 8, 62)
      << "e_machine is not x86-64";
}

TEST(Exports, LoadsAndResolvesEveryEntryPoint) {
  qvtest::Plugin plugin;
  ASSERT_TRUE(plugin.Loaded()) << plugin.Problem();
  EXPECT_TRUE(plugin.Missing().empty()) << plugin.Problem();
  ASSERT_NE(plugin.GetPackerCaps, nullptr);
  EXPECT_EQ(plugin.GetPackerCaps(), 241);
}

}  // namespace

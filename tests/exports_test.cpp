// The module file itself: what a file manager sees before it calls anything.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "host.h"

namespace {

#ifndef QUORVANE_NM
#define QUORVANE_NM "nm"
#endif

struct Symbol {
  char type;
  std::string name;
  bool operator<(const Symbol& other) const { return name < other.name; }
};

// The defined dynamic symbols of `path`, as nm lists them.
bool DefinedSymbols(const std::string& path, std::set<Symbol>& symbols) {
  std::string command = std::string(QUORVANE_NM) + " -D --defined-only '" + path + "' 2>&1";
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
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
  return pclose(pipe) == 0;
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

// wcx: a command-line host for WCX packer plugins.
//
// Loads a plugin as a file manager does and lists, tests, extracts and packs
// archives through it.  Exit statuses: 0 success, 1 a file changed while
// pack --tar read it, 2 usage, 3 not a plugin, 4 missing exports, 5 output
// exists, 6 unsafe entry name, 7 an unknown plugin code or a failure of wcx
// itself; the plugin's own result codes (10..24) pass through unchanged.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "os.h"
#include "plugin.h"
#include "progress.h"
#include "results.h"

namespace {

using wcx::Failure;

const char kUsage[] =
    "usage: wcx [--plugin PATH] [--quiet | --progress] COMMAND ...\n"
    "\n"
    "commands:\n"
    "  list [--json] ARCHIVE            one line per entry: size, packed size, time, name\n"
    "  test ARCHIVE                     checks every entry\n"
    "  extract [--force] ARCHIVE [DIR]  extracts into DIR (default: the current folder)\n"
    "  pack [--force] ARCHIVE FILE      packs one file\n"
    "  pack --tar [--force] ARCHIVE PATH...\n"
    "                                   packs files and folders as one tar\n"
    "  about                            the plugin's capabilities and about text\n"
    "\n"
    "options:\n"
    "  --plugin PATH   load this WCX plugin instead of quorvane.wcx\n"
    "  --force, -f     replace an existing output file\n"
    "  --quiet, -q     no progress bar\n"
    "  --progress      progress even when standard error is not a terminal\n"
    "  --help, -h      this text\n"
    "  --version       wcx's version\n";

struct Options {
  std::string plugin;
  std::string command;
  std::vector<std::string> operands;
  bool quiet = false;
  bool progress = false;
  bool force = false;
  bool tar = false;
  bool json = false;
  bool help = false;
  bool version = false;
};

[[noreturn]] void UsageError(const std::string& text) {
  throw Failure(wcx::kExitUsage, "", text + " (try 'wcx --help')");
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  bool only_operands = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (only_operands || arg.empty() || arg[0] != '-' || arg == "-") {
      if (options.command.empty()) {
        options.command = arg;
      } else {
        options.operands.push_back(arg);
      }
    } else if (arg == "--") {
      only_operands = true;
    } else if (arg == "--plugin") {
      if (i + 1 >= argc) UsageError("--plugin needs a path");
      options.plugin = argv[++i];
    } else if (arg.rfind("--plugin=", 0) == 0) {
      options.plugin = arg.substr(9);
      if (options.plugin.empty()) UsageError("--plugin needs a path");
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (arg == "--progress") {
      options.progress = true;
    } else if (arg == "--force" || arg == "-f") {
      options.force = true;
    } else if (arg == "--tar") {
      options.tar = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else {
      UsageError("unknown option " + arg);
    }
  }
  return options;
}

void CheckOperands(const Options& options) {
  const std::string& command = options.command;
  std::size_t count = options.operands.size();
  auto expect = [&](bool ok, const char* form) {
    if (!ok) UsageError(std::string("usage: wcx ") + form);
  };
  if (command == "list") {
    expect(count == 1, "list [--json] ARCHIVE");
  } else if (command == "test") {
    expect(count == 1, "test ARCHIVE");
  } else if (command == "extract") {
    expect(count == 1 || count == 2, "extract [--force] ARCHIVE [DIR]");
  } else if (command == "pack") {
    if (options.tar) {
      expect(count >= 2, "pack --tar [--force] ARCHIVE PATH...");
    } else {
      expect(count == 2, "pack [--force] ARCHIVE FILE");
    }
  } else if (command == "about") {
    expect(count == 0, "about");
  } else if (command.empty()) {
    UsageError("no command given");
  } else {
    UsageError("unknown command " + command);
  }
  if (options.json && command != "list") UsageError("--json is for list only");
  if (options.tar && command != "pack") UsageError("--tar is for pack only");
  if (options.force && command != "extract" && command != "pack") {
    UsageError("--force is for extract and pack only");
  }
  for (const std::string& operand : options.operands) {
    if (operand.empty()) UsageError("an empty name is not a file");
  }
}

void ShowPluginMessage(const std::string& caption, const std::string& text) {
  wcx::CurrentProgress().Clear();
  std::string flat = text;
  for (char& c : flat) {
    if (c == '\n') c = ' ';
  }
  std::fprintf(stderr, "wcx: %s%s%s\n", caption.empty() ? "plugin" : caption.c_str(), ": ",
               flat.c_str());
}

int Run(int argc, char** argv) {
  Options options = ParseArguments(argc, argv);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("%s\n", wcx::kVersionLine);
    return 0;
  }
  CheckOperands(options);

  std::string plugin_path = options.plugin;
  if (plugin_path.empty()) {
    plugin_path = wcx::FindDefaultPlugin();
    if (plugin_path.empty()) {
      throw Failure(wcx::kExitNotAPlugin, os::kDefaultPluginName,
                    std::string("not found beside wcx nor in ") + wcx::kInstalledPluginFolder +
                        " (name one with --plugin PATH)");
    }
  }
  wcx::SetMessageHandler(ShowPluginMessage);
  wcx::CurrentProgress().Configure(!options.quiet && (options.progress || os::StderrIsTerminal()),
                                   os::StderrIsTerminal());
  wcx::Plugin plugin = wcx::Plugin::Load(plugin_path);
  os::CatchInterrupts();

  const std::vector<std::string>& operands = options.operands;
  int status = wcx::kExitOk;
  if (options.command == "list") {
    wcx::ListArchive(plugin, operands[0], options.json);
  } else if (options.command == "test") {
    wcx::TestArchive(plugin, operands[0]);
  } else if (options.command == "extract") {
    wcx::ExtractArchive(plugin, operands[0], operands.size() > 1 ? operands[1] : ".",
                        options.force);
  } else if (options.command == "pack" && options.tar) {
    status = wcx::PackTar(plugin, operands[0], {operands.begin() + 1, operands.end()},
                          options.force);
  } else if (options.command == "pack") {
    wcx::PackFile(plugin, operands[0], operands[1], options.force);
  } else {
    wcx::ShowAbout(plugin);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    throw Failure(wcx::E_EWRITE, "standard output", "cannot be written");
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  os::SetUpLocale();
  try {
    return Run(argc, argv);
  } catch (const Failure& failure) {
    wcx::CurrentProgress().Clear();
    std::fflush(stdout);
    if (failure.subject().empty()) {
      std::fprintf(stderr, "wcx: %s\n", failure.what());
    } else {
      std::fprintf(stderr, "wcx: %s: %s\n", failure.subject().c_str(), failure.what());
    }
    return failure.status();
  } catch (const std::exception& error) {
    wcx::CurrentProgress().Clear();
    std::fprintf(stderr, "wcx: %s\n", error.what());
    return wcx::kExitOther;
  }
}

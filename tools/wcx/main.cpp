// wcx: a command-line host for WCX packer plugins.
//
// Loads a plugin as a file manager does and lists, tests, extracts and packs
// archives through it, with the conventions of bzip2 and tar: several
// archives per command, `-` for standard input and output, combined short
// flags.  Exit statuses: 0 success, 1 done with warnings, 2 usage, 3 not a
// plugin, 4 missing exports, 5 output exists, 6 unsafe entry name, 7 an
// unknown plugin code or a failure of wcx itself; the plugin's own result
// codes (10..24) pass through unchanged.  With several archives, the
// highest status of them all.
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
    "usage: wcx [OPTIONS] COMMAND ...\n"
    "\n"
    "commands:\n"
    "  list [--json] [--tar] ARCHIVE...  one line per entry (with --tar: per member of the tar)\n"
    "  test ARCHIVE...                   checks every entry\n"
    "  extract [-f] [-c | --untar] ARCHIVE... [-C DIR]\n"
    "                                    extracts into DIR (default: the current folder)\n"
    "  extract ARCHIVE DIR               the same, DIR being no file\n"
    "  pack [-f] [-c] [ARCHIVE] FILE     packs one file (alone: into FILE.qv beside it)\n"
    "  pack [--name NAME] ARCHIVE -      packs standard input\n"
    "  pack --tar [-f] [-c] [ARCHIVE] PATH...\n"
    "                                    packs files and folders as one tar (alone: PATH.qv)\n"
    "  setup doublecmd [FOLDER]          adds the plugin to Double Commander's configuration\n"
    "  about                             the plugin's capabilities and about text\n"
    "\n"
    "options:\n"
    "  -c, --stdout        write the archive, or the extracted contents, to standard output\n"
    "  -C, -o DIR, --directory DIR\n"
    "                      extract into DIR\n"
    "  -f, --force         replace an existing output file\n"
    "  --untar             extract a stored tar's members (safely: nothing outside DIR)\n"
    "  --tar               pack files and folders as a tar; list a stored tar's members\n"
    "  --name NAME         the name stored for standard input\n"
    "  --json              list as JSON\n"
    "  -q, --quiet         nothing on success: no progress, no summary\n"
    "  -v, --verbose       name each member of a tar as it is packed or unpacked\n"
    "  --progress          progress even when standard error is not a terminal\n"
    "  -T N, --threads N   the plugin's worker threads (1: none; 0: one per core)\n"
    "  --plugin PATH       load this WCX plugin instead of quorvane.wcx\n"
    "  -h, --help          this text\n"
    "  -V, --version       wcx's version\n"
    "  --                  ends the options: what follows are names, even with a leading -\n"
    "\n"
    "ARCHIVE - is standard input (list, test, extract) or standard output (pack).\n";

struct Options {
  std::string plugin;
  std::string command;
  std::vector<std::string> operands;
  wcx::Settings settings;
  bool progress = false;
  bool help = false;
  bool version = false;
  std::optional<std::string> directory;
  std::optional<std::string> threads;
};

[[noreturn]] void UsageError(const std::string& text) {
  throw Failure(wcx::kExitUsage, "", text + " (try 'wcx --help')");
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  wcx::Settings& s = options.settings;
  std::optional<std::string> plugin;
  const std::vector<std::pair<std::string, bool*>> flags = {
      {"quiet", &s.quiet},     {"verbose", &s.verbose},
      {"force", &s.force},     {"stdout", &s.to_stdout},
      {"tar", &s.tar},         {"untar", &s.untar},
      {"json", &s.json},       {"progress", &options.progress},
      {"help", &options.help}, {"version", &options.version}};
  const std::string short_flags = "qvfchV";
  bool* const short_fields[] = {&s.quiet,     &s.verbose,    &s.force,
                                &s.to_stdout, &options.help, &options.version};
  std::optional<std::string> name;
  const auto value_field = [&](const std::string& long_name) -> std::optional<std::string>* {
    if (long_name == "plugin") return &plugin;
    if (long_name == "directory") return &options.directory;
    if (long_name == "name") return &name;
    if (long_name == "threads") return &options.threads;
    return nullptr;
  };
  const auto set_value = [&](std::optional<std::string>* field, const std::string& option,
                             const std::string& value) {
    if (value.empty()) UsageError(option + " needs a value");
    if (*field && field != &plugin) UsageError(option + " given twice");
    *field = value;
  };

  bool only_operands = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (only_operands || arg.size() < 2 || arg[0] != '-') {
      (options.command.empty() ? options.command : options.operands.emplace_back()) = arg;
    } else if (arg == "--") {
      only_operands = true;
    } else if (arg.rfind("--", 0) == 0) {
      std::string long_name = arg.substr(2);
      std::optional<std::string> inline_value;
      if (std::size_t eq = long_name.find('='); eq != std::string::npos) {
        inline_value = long_name.substr(eq + 1);
        long_name.resize(eq);
      }
      if (auto* field = value_field(long_name)) {
        if (!inline_value && i + 1 >= argc) UsageError("--" + long_name + " needs a value");
        set_value(field, "--" + long_name, inline_value ? *inline_value : argv[++i]);
        continue;
      }
      bool known = false;
      for (const auto& [flag_name, field] : flags) {
        if (flag_name == long_name && !inline_value) {
          *field = true;
          known = true;
        }
      }
      if (!known) UsageError("unknown option " + arg);
    } else {
      // Short flags combine ("-fq"); one that takes a value takes the rest
      // of the word or the next argument ("-Cout", "-C out").
      for (std::size_t k = 1; k < arg.size(); ++k) {
        const char c = arg[k];
        if (c == 'C' || c == 'o' || c == 'T') {
          const std::string option = std::string("-") + c;
          std::string value = arg.substr(k + 1);
          if (value.empty()) {
            if (i + 1 >= argc) UsageError(option + " needs a value");
            value = argv[++i];
          }
          set_value(c == 'T' ? &options.threads : &options.directory, option, value);
          break;
        }
        const std::size_t at = short_flags.find(c);
        if (at == std::string::npos) UsageError(std::string("unknown option -") + c);
        *short_fields[at] = true;
      }
    }
  }
  if (plugin) options.plugin = *plugin;
  s.name = name;
  return options;
}

// Checks the operands against the command; fills in the folder of extract.
void CheckOperands(Options& options) {
  const std::string& command = options.command;
  wcx::Settings& s = options.settings;
  std::vector<std::string>& operands = options.operands;
  const std::size_t count = operands.size();
  auto expect = [&](bool ok, const char* form) {
    if (!ok) UsageError(std::string("usage: wcx ") + form);
  };
  auto only_for = [](bool given, const char* option, const char* commands, bool allowed) {
    if (given && !allowed) UsageError(std::string(option) + " is for " + commands + " only");
  };
  if (command == "list") {
    expect(count >= 1, "list [--json] [--tar] ARCHIVE...");
  } else if (command == "test") {
    expect(count >= 1, "test ARCHIVE...");
  } else if (command == "extract") {
    expect(count >= 1, "extract [-f] [-c | --untar] [-C DIR] ARCHIVE...");
    // As cp takes its last operand: a folder when it is one, or when two
    // operands name an archive and something that is no file.
    if (!options.directory && !s.to_stdout && count >= 2 && operands.back() != "-") {
      const os::Kind kind = os::Info(operands.back()).kind;
      if (kind == os::Kind::kDirectory || (count == 2 && kind == os::Kind::kMissing)) {
        options.directory = operands.back();
        operands.pop_back();
      }
    }
    if (s.to_stdout && (s.untar || options.directory)) {
      UsageError("-c writes to standard output: not with --untar or -C");
    }
  } else if (command == "pack") {
    if (s.tar) {
      expect(count >= 1, "pack --tar [-f] [-c] [ARCHIVE] PATH...");
    } else {
      expect(count == 1 || (count == 2 && !s.to_stdout), "pack [-f] [-c] [ARCHIVE] FILE");
    }
    only_for(s.name.has_value(), "--name", "pack without --tar", !s.tar);
  } else if (command == "setup") {
    expect((count == 1 || count == 2) && operands[0] == "doublecmd", "setup doublecmd [FOLDER]");
  } else if (command == "about") {
    expect(count == 0, "about");
  } else if (command.empty()) {
    UsageError("no command given");
  } else {
    UsageError("unknown command " + command);
  }
  if (command != "pack") only_for(s.name.has_value(), "--name", "pack", false);
  only_for(s.json, "--json", "list", command == "list");
  only_for(s.tar, "--tar", "pack and list", command == "pack" || command == "list");
  only_for(s.untar, "--untar", "extract", command == "extract");
  only_for(options.directory.has_value(), "-C", "extract", command == "extract");
  only_for(s.to_stdout, "-c", "extract and pack", command == "extract" || command == "pack");
  only_for(s.force, "--force", "extract and pack", command == "extract" || command == "pack");
  if (s.quiet && s.verbose) UsageError("-q and -v say the opposite");
  int from_stdin = 0;
  for (const std::string& operand : operands) {
    if (operand.empty()) UsageError("an empty name is not a file");
    from_stdin += operand == "-";
  }
  if (from_stdin > 1) UsageError("standard input can be read only once");
  if (options.threads && options.threads->find_first_not_of("0123456789") != std::string::npos) {
    UsageError("--threads needs a number");
  }
  s.several = operands.size() > 1 && (command == "list" || command == "test");
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

void PrintFailure(const Failure& failure) {
  wcx::CurrentProgress().Clear();
  std::fflush(stdout);
  if (failure.subject().empty()) {
    std::fprintf(stderr, "wcx: %s\n", failure.what());
  } else {
    std::fprintf(stderr, "wcx: %s: %s\n", wcx::Printable(failure.subject()).c_str(),
                 failure.what());
  }
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
  const wcx::Settings& settings = options.settings;

  std::string plugin_path = options.plugin;
  if (plugin_path.empty()) {
    plugin_path = wcx::FindDefaultPlugin();
    if (plugin_path.empty()) {
      throw Failure(wcx::kExitNotAPlugin, os::kDefaultPluginName,
                    std::string("not found beside wcx nor in ") + wcx::kInstalledPluginFolder +
                        " (name one with --plugin PATH)");
    }
  }
  // The plugin reads it when it starts its workers.
  if (options.threads) os::SetEnvironment("QUORVANE_THREADS", *options.threads);
  wcx::SetMessageHandler(ShowPluginMessage);
  wcx::CurrentProgress().Configure(!settings.quiet && (options.progress || os::StderrIsTerminal()),
                                   os::StderrIsTerminal());
  wcx::Plugin plugin = wcx::Plugin::Load(plugin_path);
  os::CatchInterrupts();

  const std::vector<std::string>& operands = options.operands;
  const std::string& command = options.command;
  int status = wcx::kExitOk;
  if (command == "pack") {
    status = wcx::Pack(plugin, operands, settings);
  } else if (command == "setup") {
    status = wcx::SetUpDoubleCommander(plugin, operands.size() > 1 ? operands[1] : "", settings);
  } else if (command == "about") {
    wcx::ShowAbout(plugin);
  } else {
    // Each archive in turn; a failure is told and the next one follows.
    for (std::size_t i = 0; i < operands.size() && !os::Interrupted(); ++i) {
      if (settings.several && command == "list" && i > 0 && !settings.json) std::printf("\n");
      try {
        int result = wcx::kExitOk;
        if (command == "list") {
          result = wcx::ListArchive(plugin, operands[i], settings);
        } else if (command == "test") {
          result = wcx::TestArchive(plugin, operands[i], settings);
        } else {
          result =
              wcx::ExtractArchive(plugin, operands[i], options.directory.value_or("."), settings);
        }
        status = std::max(status, result);
      } catch (const Failure& failure) {
        if (operands.size() == 1) throw;
        PrintFailure(failure);
        status = std::max(status, failure.status());
      }
    }
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
    PrintFailure(failure);
    return failure.status();
  } catch (const std::exception& error) {
    wcx::CurrentProgress().Clear();
    std::fprintf(stderr, "wcx: %s\n", error.what());
    return wcx::kExitOther;
  }
}

// setup doublecmd: the plugin's entry in Double Commander's configuration,
// so that .qv files open like folders without editing XML by hand.
//
// Double Commander keeps its packer plugins in doublecmd.xml, inside
// <doublecmd><Plugins><WcxPlugins>, one <WcxPlugin Enabled="True"> each with
// <ArchiveExt>, <Path> and <Flags>, and reads the flags from there, not from
// the plugin.  It finds that file in ~/.config/doublecmd/ of the account it
// runs as (from the account database, not $HOME), and writes the whole file
// back when it exits, so it must not be running meanwhile.
#include <cstring>

#include "commands.h"
#include "results.h"

namespace wcx {

namespace {

constexpr char kExtension[] = "qv";
constexpr char kProgram[] = "doublecmd";

std::string XmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

// What an element holds, between <tag> and </tag> from `from` on; npos for
// `start` when there is no such element.
struct Span {
  std::size_t start = std::string::npos;  // where "<tag" begins
  std::size_t inner = 0;                  // just after "<tag ...>"
  std::size_t close = 0;                  // where "</tag>" begins
  std::size_t end = 0;                    // just after "</tag>" (or "<tag/>")
  bool empty = false;                     // written as <tag/>
};

Span FindElement(const std::string& xml, const std::string& tag, std::size_t from,
                 std::size_t limit) {
  Span span;
  for (std::size_t at = xml.find("<" + tag, from); at != std::string::npos && at < limit;
       at = xml.find("<" + tag, at + 1)) {
    const char next = xml[at + tag.size() + 1];
    if (next != '>' && next != '/' && next != ' ' && next != '\t' && next != '\n' && next != '\r') {
      continue;  // a longer name that starts the same way
    }
    const std::size_t open_end = xml.find('>', at);
    if (open_end == std::string::npos) return span;
    span.start = at;
    span.inner = open_end + 1;
    if (xml[open_end - 1] == '/') {
      span.empty = true;
      span.close = span.end = open_end + 1;
      return span;
    }
    span.close = xml.find("</" + tag + ">", span.inner);
    if (span.close == std::string::npos || span.close > limit) {
      span.start = std::string::npos;
      return span;
    }
    span.end = span.close + tag.size() + 3;
    return span;
  }
  return span;
}

std::string ValueOf(const std::string& xml, const Span& parent, const std::string& tag) {
  Span value = FindElement(xml, tag, parent.inner, parent.close);
  if (value.start == std::string::npos || value.empty) return "";
  return xml.substr(value.inner, value.close - value.inner);
}

bool SameText(std::string a, std::string b) {
  for (char& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : b) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return a == b;
}

// The entry, indented as Double Commander writes its file.
std::string EntryXml(const std::string& path, int flags) {
  return "      <WcxPlugin Enabled=\"True\">\n        <ArchiveExt>" + std::string(kExtension) +
         "</ArchiveExt>\n        <Path>" + XmlText(path) + "</Path>\n        <Flags>" +
         std::to_string(flags) + "</Flags>\n      </WcxPlugin>\n";
}

// The configuration with the entry in it: unchanged when it is there
// already; an entry for .qv that names another plugin or other flags is
// replaced.  Raises Failure when the text is no configuration of
// Double Commander's.
std::string WithEntry(const std::string& xml, const std::string& file, const std::string& path,
                      int flags) {
  const std::string entry = EntryXml(path, flags);
  Span root = FindElement(xml, "doublecmd", 0, xml.size());
  if (root.start == std::string::npos || root.empty) {
    throw Failure(E_UNKNOWN_FORMAT, file,
                  "not a configuration of Double Commander (no <doublecmd> element)");
  }
  Span plugins = FindElement(xml, "Plugins", root.inner, root.close);
  if (plugins.start == std::string::npos) {
    return xml.substr(0, root.close) + "  <Plugins>\n    <WcxPlugins>\n" + entry +
           "    </WcxPlugins>\n  </Plugins>\n" + xml.substr(root.close);
  }
  if (plugins.empty) {
    return xml.substr(0, plugins.start) + "<Plugins>\n    <WcxPlugins>\n" + entry +
           "    </WcxPlugins>\n  </Plugins>" + xml.substr(plugins.end);
  }
  Span list = FindElement(xml, "WcxPlugins", plugins.inner, plugins.close);
  if (list.start == std::string::npos || list.empty) {
    const std::size_t at = list.start == std::string::npos ? plugins.inner : list.start;
    const std::size_t after = list.start == std::string::npos ? plugins.inner : list.end;
    return xml.substr(0, at) + (list.start == std::string::npos ? "\n    " : "") +
           "<WcxPlugins>\n" + entry + "    </WcxPlugins>" + xml.substr(after);
  }
  for (Span item = FindElement(xml, "WcxPlugin", list.inner, list.close);
       item.start != std::string::npos;
       item = FindElement(xml, "WcxPlugin", item.end, list.close)) {
    if (item.empty || !SameText(ValueOf(xml, item, "ArchiveExt"), kExtension)) continue;
    const std::string open_tag = xml.substr(item.start, item.inner - item.start);
    const bool enabled = open_tag.find("Enabled=\"False\"") == std::string::npos;
    if (enabled && ValueOf(xml, item, "Path") == XmlText(path) &&
        ValueOf(xml, item, "Flags") == std::to_string(flags)) {
      return xml;
    }
    // Replaced where it stands, so the order of the entries is kept.
    std::size_t line = xml.rfind('\n', item.start);
    line = line == std::string::npos ? item.start : line + 1;
    std::size_t end = item.end;
    if (end < xml.size() && xml[end] == '\n') ++end;
    return xml.substr(0, line) + entry + xml.substr(end);
  }
  std::size_t line = xml.rfind('\n', list.close);
  line = line == std::string::npos || line < list.inner ? list.close : line + 1;
  return xml.substr(0, line) + entry + xml.substr(line);
}

// Whether a running Double Commander of this account uses the
// configuration in `folder`: the one its --config-dir names, else the
// account's own.
bool UsedByRunningProgram(const std::string& folder, const std::string& default_folder) {
  const std::string wanted = os::Resolved(folder);
  for (const std::vector<std::string>& arguments : os::RunningPrograms(kProgram)) {
    std::string used = default_folder;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (arguments[i].rfind("--config-dir=", 0) == 0) used = arguments[i].substr(13);
      if (arguments[i] == "--config-dir" && i + 1 < arguments.size()) used = arguments[i + 1];
    }
    if (os::Resolved(used) == wanted) return true;
  }
  return false;
}

}  // namespace

int SetUpDoubleCommander(const Plugin& plugin, std::string folder, const Settings& settings) {
  const std::string home = os::AccountHome();
  const std::string default_folder = home.empty() ? "" : os::Join(home, ".config/doublecmd");
  if (folder.empty()) {
    if (home.empty()) {
      throw Failure(E_EOPEN, "",
                    "this account has no home folder, so Double Commander has no "
                    "configuration here (name its folder: wcx setup doublecmd FOLDER)");
    }
    folder = default_folder;
  }
  const std::string file = os::Join(folder, "doublecmd.xml");
  const std::string path = os::Resolved(plugin.path());
  const int flags = plugin.HasCaps() ? plugin.Caps() : 0;

  std::string before;
  const bool exists = os::LinkInfo(file).kind != os::Kind::kMissing;
  if (exists) {
    try {
      before = os::ReadAll(file);
    } catch (const os::Error& error) {
      throw Failure(E_EOPEN, file, std::string("cannot be read: ") + error.what());
    }
  }
  const std::string after =
      exists ? WithEntry(before, file, path, flags)
             : WithEntry("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doublecmd>\n</doublecmd>\n",
                         file, path, flags);
  std::FILE* report = Report(settings);
  if (exists && after == before) {
    if (report)
      std::fprintf(report, "%s: already set up: .qv opens with %s\n", file.c_str(), path.c_str());
    return kExitOk;
  }
  // It writes its whole configuration back when it exits.
  if (UsedByRunningProgram(folder, default_folder)) {
    throw Failure(E_ECREATE, file,
                  "Double Commander is running and would overwrite the change when it exits; "
                  "close it and run this again");
  }
  try {
    os::MakeDirectories(folder);
    if (exists) os::ReplaceContents(file + ".bak", before);
    os::ReplaceContents(file, after);
  } catch (const os::Error& error) {
    throw Failure(E_ECREATE, file, std::string("cannot be written: ") + error.what());
  }
  if (report) {
    std::fprintf(report, "%s: %s the plugin %s for .qv, flags %d%s\n", file.c_str(),
                 exists ? "added" : "created with", path.c_str(), flags,
                 exists ? " (the previous file is doublecmd.xml.bak)" : "");
  }
  return kExitOk;
}

}  // namespace wcx

// The module as a whole: what it computes when it is loaded, the host's
// progress callbacks for packing, and the values handed out as handles.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "wcxhead.h"

namespace quorvane {

// The caption of the plugin's messages.
inline constexpr char kCaption[] = "Quorvane";

// A path as the host passed it: a host string, or on Windows UTF-16; null
// gives an empty path.
inline platform::Path ToPath(const char* host) { return platform::FromHost(host); }
#ifdef _WIN32
inline platform::Path ToPath(const wchar_t* wide) { return wide ? platform::Path(wide) : platform::Path(); }
#endif

// Where the plugin's own module file lies, and the system's temporary
// directory; both end in a separator.
const platform::Path& ModuleDir();
const platform::Path& TempDir();

// The host's progress callback for one job, in whichever form the host
// registered it.  The wide form, where there is one, is preferred.
struct TProgress {
  // Implicit: a plain 8-bit callback is the common case.
  TProgress(wcx::TProcessDataProc narrow = nullptr) : proc(narrow) {}

  wcx::TProcessDataProc proc = nullptr;
#ifdef _WIN32
  wcx::TProcessDataProcW proc_w = nullptr;
#endif
};

// A callback as the host registers it: it replaces only the slot of its
// own form.
struct TCallback {
  wcx::TProcessDataProc proc = nullptr;
#ifdef _WIN32
  wcx::TProcessDataProcW proc_w = nullptr;
  bool wide = false;
#endif
  void ApplyTo(TProgress& progress) const;
};

// A progress text (a fixed text in UTF-8 and a path), ready for either form
// of the callback.
struct TProgressText {
  TProgressText(std::string_view utf8, const platform::Path& path);
  std::string host;
#ifdef _WIN32
  std::wstring wide;
#endif
};

// Forwards a progress report; 1 ("go on") when there is no callback.  A
// null text reports no name.  Every progress report of the plugin goes
// through here.
int ReportProgress(const TProgress& progress, const TProgressText* text, int size);

// The callback the calling thread registered with a handle that names no
// open archive: hosts register it that way (with -1) before they pack.
TProgress PackingCallback();
void SetPackingCallback(const TCallback& callback);

// A handle value never handed out before in this module's life: never 0
// (a refusal) or -1 (the hosts' "no handle").
std::uintptr_t NewHandleValue();

int GetPackerCaps();
void ExtensionInitialize(const wcx::tExtensionStartupInfo* info);

}  // namespace quorvane

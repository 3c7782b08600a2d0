// The module as a whole: what it computes when it is loaded, the host's
// progress callbacks for packing, and the values handed out as handles.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "wcxhead.h"

namespace quorvane {

// The caption of the plugin's messages.
inline constexpr char kCaption[] = "Quorvane";

// The start of the names of files that grow beside their target before they
// take its place: short, so that any name the file system takes can have one
// beside it, and starting with a dot, so that listings hide them meanwhile.
inline constexpr platform::PathChar kBesidePrefix[] = QV_PATH(".qv");

// Where the plugin's own module file lies, and the system's temporary
// directory; both end in a separator.
const platform::Path& ModuleDir();
const platform::Path& TempDir();

// Forwards a progress report to `proc`; 1 ("go on") when there is none.
// Every progress report of the plugin goes through here.
int ReportProgress(wcx::TProcessDataProc proc, const char* file_name, int size);

// The callback the calling thread registered with a handle that names no
// open archive: hosts register it that way (with -1) before they pack.
wcx::TProcessDataProc PackingCallback();
void SetPackingCallback(wcx::TProcessDataProc proc);

// A handle value never handed out before in this module's life: never 0
// (a refusal) or -1 (the hosts' "no handle").
std::uintptr_t NewHandleValue();

int GetPackerCaps();
void ExtensionInitialize(const wcx::tExtensionStartupInfo* info);

}  // namespace quorvane

// What each system's implementation file provides to the shared part of the
// platform layer (common.cpp), and what the shared part gives them back.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"
#include "unique_name.h"

namespace platform {

// The system's own way of showing a message when the host gave no message
// box: a message box on Windows, one line on standard error on Linux.
void ShowSystemMessage(const std::string& text, const std::string& caption) noexcept;

// Creates a file under the first name prefix + number + suffix that
// `create` (a name to a File, FileExistsError when the name is taken) can
// claim, a new number on every clash; `name` receives it.  `where` names the
// folder in the error raised when no name is free.
template <typename Create>
File CreateUnique(PathView prefix, PathView suffix, const Path& where, Path& name, Create&& create) {
  File file;
  const auto claim = [&](const Path& candidate) {
    try {
      file = create(candidate);
      return true;
    } catch (const FileExistsError&) {
      return false;
    }
  };
  const std::optional<Path> claimed = qvcommon::ClaimUniqueName<PathChar>(prefix, suffix, claim);
  if (!claimed) throw FileCreateError(ToHost(where) + ": no free name for a new file", where);
  name = *claimed;
  return file;
}

}  // namespace platform

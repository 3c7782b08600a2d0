// What each system's implementation file provides to the shared part of the
// platform layer (common.cpp).
#pragma once

#include <string>

namespace platform {

// The system's own way of showing a message when the host gave no message
// box: a message box on Windows, one line on standard error on Linux.
void ShowSystemMessage(const std::string& text, const std::string& caption) noexcept;

}  // namespace platform

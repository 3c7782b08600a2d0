// Fault injection for the test flavour of the plugin: makes the n-th call of
// one kind of system operation fail, so tests can walk every failure path.
// kAlloc counts the plugin's own allocations (on Linux), failing one as an
// exhausted heap would.  In the shipped plugin every check is a constant
// false.
#pragma once

namespace platform::faults {

// kUnnamed refuses an unnamed file (O_TMPFILE), as NFS does, so that the
// named fallback runs.
enum Kind { kOpen = 0, kRead, kWrite, kSeek, kClose, kRename, kLookup, kAlloc, kUnnamed, kKinds };

#ifdef QUORVANE_FAULT_INJECTION
// Counts a call of this kind; true when this call is the one to fail.
bool Hit(Kind kind) noexcept;
// Arms the n-th call of `kind` (counted from now) to fail; 0 disarms.
void Arm(int kind, long n) noexcept;
// Calls of `kind` since it was last armed.
long Calls(int kind) noexcept;
#else
inline bool Hit(Kind) noexcept { return false; }
#endif

}  // namespace platform::faults

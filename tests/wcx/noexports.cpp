// A shared library that looks like a packer plugin from afar but exports only
// GetPackerCaps: wcx must refuse it by name instead of crashing on it.
extern "C" __attribute__((visibility("default"))) int GetPackerCaps() { return 1; }

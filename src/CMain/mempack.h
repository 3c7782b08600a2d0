// In-memory packing: the host pushes a stream of bytes in and pulls a
// finished archive out.  Each job has its own handle, temporary files and
// state; any number may run at once, on any threads.
#pragma once

#include <cstdint>

#include "CMain/handles.h"
#include "CMain/module.h"
#include "platform/platform.h"
#include "wcxhead.h"

namespace quorvane {

enum class TMemPackStage : std::uint8_t { reading = 0, writting = 1, done = 2 };

// One job.  Collects the pushed bytes in a scratch file, builds the archive
// into another at the end of the input and hands that out.  Both are
// private and nameless (platform::CreateScratchFile): whatever is left of
// them goes when the job is destroyed (DoneMemPack, or the module's
// unload), or with the process, however it ends.
struct TMemPackState {
  TMemPackState() = default;
  TMemPackState(const TMemPackState&) = delete;
  TMemPackState& operator=(const TMemPackState&) = delete;
  ~TMemPackState();

  platform::Path fn;   // the target archive's name, as the host gave it
  platform::File han;  // the collected bytes, then the archive built from them
  TMemPackStage state = TMemPackStage::reading;
  TProgressSlot pdp;
  TOperationLock lock;
};

void* StartMemPack(int options, const char* file_name);
void* StartMemPackPath(const platform::Path& file_name);
#ifdef _WIN32
void* StartMemPackW(int options, const wchar_t* file_name);
#endif
int PackToMem(void* handle, const char* buf_in, int in_len, int* taken, char* buf_out, int out_len,
              int* written);
int DoneMemPack(void* handle);
// Gives the job behind `handle` its own progress callback; false when the
// handle names no job.
bool SetJobCallback(void* handle, const TCallback& callback);

}  // namespace quorvane

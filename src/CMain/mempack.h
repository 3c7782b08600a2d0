// In-memory packing: the host pushes a stream of bytes in and pulls a
// finished archive out.  Each job has its own handle, temporary files and
// state; any number may run at once, on any threads.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "CMain/handles.h"
#include "CMain/module.h"
#include "CMain/packer.h"
#include "bzLib/streams.h"
#include "platform/platform.h"
#include "wcxhead.h"

namespace quorvane {

enum class TMemPackStage : std::uint8_t { reading = 0, writting = 1, done = 2 };

// One job.  Compresses the pushed bytes as they arrive, keeping only the
// compressed payload, in a scratch file that is private and nameless
// (platform::CreateScratchFile); at the end of the input it hands out the
// header and the stored name, then the payload.  Whatever is left of it
// goes when the job is destroyed (DoneMemPack, or the module's unload), or
// with the process, however it ends.  Its worker threads, if any, live
// between the calls that feed it and are joined when its input ends, on a
// stop and when it is destroyed.
struct TMemPackState {
  TMemPackState() = default;
  TMemPackState(const TMemPackState&) = delete;
  TMemPackState& operator=(const TMemPackState&) = delete;
  ~TMemPackState();

  platform::Path fn;         // the target archive's name, as the host gave it
  platform::File han;        // the payload, written while reading, read while handing out
  std::unique_ptr<TBZip2Library> library;        // while reading
  std::unique_ptr<TBZCompressionStream> stream;  // while reading
  TContentTally content;     // what was pushed
  std::size_t unreported = 0;  // pushed bytes the host has not heard of
  std::string front;         // the header and stored name, handed out first
  std::size_t front_given = 0;
  TMemPackStage state = TMemPackStage::reading;
  std::exception_ptr failure;  // why the job could not start
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

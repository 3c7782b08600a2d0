// In-memory packing jobs and their handles.
#include "CMain/mempack.h"

#include <mutex>

#include "CMain/builder.h"
#include "CMain/handles.h"
#include "CMain/module.h"

namespace quorvane {

using platform::File;
using platform::Path;

namespace {

THandleTable<TMemPackState> jobs;

void SetCount(int* count, int value) {
  if (count) *count = value;
}

// Ends a job: nothing of it stays, and every later call answers "finished".
void EndJob(TMemPackState& job) noexcept {
  job.han = File();
  platform::RemoveFile(job.fntmp);
  platform::RemoveFile(job.fnpack);
  job.fntmp.clear();
  job.fnpack.clear();
  job.state = TMemPackStage::done;
}

// Ends a job that cannot go on: the host hears the failure once.
int FailJob(TMemPackState& job, int code) {
  EndJob(job);
  return code;
}

// The end of the input: builds the archive from what was collected and
// turns to handing it out.
int FinishCollecting(TMemPackState& job) {
  // The data is stored under the target's base name with ".tar", in the
  // form the host's character set can carry.
  const Path inner = platform::FromHost(
      platform::ToHost(platform::ChangeFileExt(platform::ChangeFileExt(job.fn, Path()), QV_PATH(".tar")))
          .c_str());
  File archive;
  try {
    job.han.Seek(0, platform::Origin::kBegin);
    archive = platform::CreateUniqueFile(TempDir(), QV_PATH("quorvane$"), QV_PATH(".qv"),
                                         platform::Visibility::kPrivate, job.fnpack);
  } catch (const platform::FileError&) {
    return FailJob(job, wcx::E_EWRITE);
  }
  int result = WriteArchive(job.han, archive, StoredName(inner), platform::FileDosTime(job.fntmp), job.pdp);
  if (result == wcx::E_SUCCESS) {
    try {
      archive.Seek(0, platform::Origin::kBegin);
    } catch (const platform::FileError&) {
      result = wcx::E_EWRITE;
    }
  }
  // From here the job holds the archive alone: its files can go whatever
  // happens (Windows removes no file that is still open).
  job.han = std::move(archive);
  if (result != wcx::E_SUCCESS)
    return FailJob(job, result == wcx::E_EABORTED ? wcx::E_EABORTED : wcx::E_EWRITE);
  platform::RemoveFile(job.fntmp);
  job.fntmp.clear();
  return wcx::E_SUCCESS;
}

int Collect(TMemPackState& job, const char* buf_in, int in_len, int* taken) {
  // Input after the end of input has nowhere to go.
  if (job.state != TMemPackStage::reading || !buf_in) {
    SetCount(taken, 0);
    return wcx::E_EWRITE;
  }
  try {
    job.han.Write(buf_in, static_cast<std::size_t>(in_len));
  } catch (const platform::FileError&) {
    // A short write (a full disk) would leave a hole in the archive.
    SetCount(taken, 0);
    return FailJob(job, wcx::E_EWRITE);
  }
  SetCount(taken, in_len);
  return wcx::MEMPACK_OK;
}

int HandOut(TMemPackState& job, char* buf_out, int out_len, int* written) {
  if (job.state == TMemPackStage::reading) {
    job.state = TMemPackStage::writting;
    if (int result = FinishCollecting(job); result != wcx::E_SUCCESS) return result;
  }
  std::size_t n;
  try {
    n = job.han.Read(buf_out, static_cast<std::size_t>(out_len));
  } catch (const platform::FileError&) {
    return FailJob(job, wcx::E_EWRITE);  // never hand out a cut archive
  }
  if (n == 0) EndJob(job);
  SetCount(written, static_cast<int>(n));
  return wcx::MEMPACK_OK;
}

}  // namespace

TMemPackState::~TMemPackState() { EndJob(*this); }

void* StartMemPackPath(const Path& file_name) {
  auto job = std::make_shared<TMemPackState>();
  job->fn = file_name;
  job->pdp = PackingCallback();
  try {
    job->han = platform::CreateUniqueFile(TempDir(), QV_PATH("quorvane$"), QV_PATH(".$$$"),
                                          platform::Visibility::kPrivate, job->fntmp);
  } catch (const platform::FileError&) {
    // Collecting cannot start; the first PackToMem reports it.
  }
  return jobs.Add(std::move(job));
}

void* StartMemPack(int, const char* file_name) { return StartMemPackPath(platform::FromHost(file_name)); }

#ifdef _WIN32
void* StartMemPackW(int, const wchar_t* file_name) {
  return StartMemPackPath(file_name ? Path(file_name) : Path());
}
#endif

int PackToMem(void* handle, const char* buf_in, int in_len, int* taken, char* buf_out, int out_len,
              int* written) {
  const std::shared_ptr<TMemPackState> found = jobs.Find(handle);
  if (!found) {
    SetCount(taken, 0);
    SetCount(written, 0);
    return wcx::E_EWRITE;
  }
  TMemPackState& job = *found;
  std::lock_guard guard(job.lock);
  if (job.state == TMemPackStage::done) return wcx::MEMPACK_DONE;
  if (job.state == TMemPackStage::reading && !job.han.IsOpen()) {
    SetCount(taken, 0);
    SetCount(written, 0);
    return FailJob(job, wcx::E_EWRITE);
  }
  if (in_len > 0) {
    SetCount(written, 0);
    return Collect(job, buf_in, in_len, taken);
  }
  SetCount(written, 0);
  // No room to deliver anything: a later call will.
  if (out_len <= 0 || !buf_out) return wcx::MEMPACK_OK;
  return HandOut(job, buf_out, out_len, written);
}

int DoneMemPack(void* handle) { return jobs.Remove(handle) ? wcx::E_SUCCESS : wcx::E_ECLOSE; }

bool SetJobCallback(void* handle, const TCallback& callback) { return jobs.SetCallback(handle, callback); }

}  // namespace quorvane

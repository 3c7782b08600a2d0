// In-memory packing jobs and their handles.
#include "CMain/mempack.h"

#include "CMain/builder.h"
#include "CMain/failure.h"
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

// Ends a job: nothing of it stays (closing a scratch file removes it), and
// every later call answers "finished".
void EndJob(TMemPackState& job) noexcept {
  job.han = File();
  job.state = TMemPackStage::done;
}

// A scratch file of the job's in the temporary folder.
File CreateJobFile(platform::PathView suffix) {
  return platform::CreateScratchFile(TempDir(), QV_PATH("quorvane$"), suffix);
}

// The end of the input: builds the archive from what was collected and
// turns to handing it out.
void FinishCollecting(TMemPackState& job) {
  // The data is stored under the target's base name with ".tar", in the
  // form the host's character set can carry.
  const Path inner = platform::FromHost(
      platform::ToHost(platform::ChangeFileExt(platform::ChangeFileExt(job.fn, Path()), QV_PATH(".tar")))
          .c_str());
  job.han.Seek(0, platform::Origin::kBegin);
  File archive = CreateJobFile(QV_PATH(".qv"));
  WriteArchive(job.han, archive, StoredName(inner), job.han.DosTime(), job.pdp.Get(), job.fn);
  archive.Seek(0, platform::Origin::kBegin);
  job.han = std::move(archive);
}

int Collect(TMemPackState& job, const char* buf_in, int in_len, int* taken) {
  // Input after the end of input has nowhere to go.
  if (job.state != TMemPackStage::reading || !buf_in) return wcx::E_EWRITE;
  // A short write (a full disk) would leave a hole in the archive: it ends the job.
  job.han.Write(buf_in, static_cast<std::size_t>(in_len));
  SetCount(taken, in_len);
  return wcx::MEMPACK_OK;
}

int HandOut(TMemPackState& job, char* buf_out, int out_len, int* written) {
  if (job.state == TMemPackStage::reading) {
    job.state = TMemPackStage::writting;
    FinishCollecting(job);
  }
  // A read that fails ends the job: a cut archive is never handed out.
  const std::size_t n = job.han.Read(buf_out, static_cast<std::size_t>(out_len));
  if (n == 0) EndJob(job);
  SetCount(written, static_cast<int>(n));
  return wcx::MEMPACK_OK;
}

}  // namespace

TMemPackState::~TMemPackState() { EndJob(*this); }

void* StartMemPackPath(const Path& file_name) {
  auto job = std::make_shared<TMemPackState>();
  job->fn = file_name;
  job->pdp.Set(PackingCallback());
  try {
    job->han = CreateJobFile(QV_PATH(".$$$"));
  } catch (const platform::FileError&) {
    // Collecting cannot start; the first PackToMem reports it.
  }
  return jobs.Add(std::move(job));
}

void* StartMemPack(int, const char* file_name) { return StartMemPackPath(ToPath(file_name)); }

#ifdef _WIN32
void* StartMemPackW(int, const wchar_t* file_name) {
  return StartMemPackPath(ToPath(file_name));
}
#endif

int PackToMem(void* handle, const char* buf_in, int in_len, int* taken, char* buf_out, int out_len,
              int* written) {
  // Both counts say what this call moved, whatever it answers.
  SetCount(taken, 0);
  SetCount(written, 0);
  const std::shared_ptr<TMemPackState> found = jobs.Find(handle);
  if (!found) return wcx::E_EWRITE;
  TMemPackState& job = *found;
  const TEntered entered(job.lock);
  if (!entered) return wcx::E_NOT_SUPPORTED;
  if (job.state == TMemPackStage::done) return wcx::MEMPACK_DONE;
  try {
    if (job.state == TMemPackStage::reading && !job.han.IsOpen()) {
      throw EFailure(TFailed::kCreate);  // the collecting file could not be created
    }
    if (in_len > 0) return Collect(job, buf_in, in_len, taken);
    // No room to deliver anything: a later call will.
    if (out_len <= 0 || !buf_out) return wcx::MEMPACK_OK;
    return HandOut(job, buf_out, out_len, written);
  } catch (...) {
    // A job that fails is over: the host hears the failure once, and every
    // later call answers "finished".
    EndJob(job);
    throw;
  }
}

int DoneMemPack(void* handle) { return jobs.Remove(handle) ? wcx::E_SUCCESS : wcx::E_ECLOSE; }

bool SetJobCallback(void* handle, const TCallback& callback) { return jobs.SetCallback(handle, callback); }

}  // namespace quorvane

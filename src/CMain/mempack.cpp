// In-memory packing jobs and their handles.
#include "CMain/mempack.h"

#include <algorithm>

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

// Ends a job: its workers stop, nothing of it stays (closing the scratch
// file removes it), and every later call answers "finished".
void EndJob(TMemPackState& job) noexcept {
  if (job.stream) job.stream->Abandon();
  job.stream.reset();
  job.library.reset();
  job.han = File();
  job.front.clear();
  job.state = TMemPackStage::done;
}

TProgressText ProgressText(const TMemPackState& job) { return TProgressText(kPackingText, job.fn); }

// The end of the input: completes the payload and puts the header in front
// of it.
void FinishCollecting(TMemPackState& job) {
  job.stream->Finish();
  job.stream.reset();
  job.library.reset();
  // The data is stored under the target's base name with ".tar", in the
  // form the host's character set can carry.
  const Path inner = platform::FromHost(
      platform::ToHost(platform::ChangeFileExt(platform::ChangeFileExt(job.fn, Path()), QV_PATH(".tar")))
          .c_str());
  job.front = ArchiveFront(StoredName(inner), job.han.DosTime(), job.content,
                           static_cast<std::uint64_t>(job.han.Size()));
  job.han.Seek(0, platform::Origin::kBegin);
}

// Reports the input taken since the last report, once per 64 KiB as
// packing a file does, and the rest at the end of the input; the host's
// answer to stop is raised.
void ReportInput(TMemPackState& job, bool at_end) {
  const TProgressText message = ProgressText(job);
  // An empty input is reported once, like a block.
  const bool empty = at_end && job.content.size() == 0;
  while (job.unreported >= kStagingSize || (at_end && job.unreported > 0) || empty) {
    const std::size_t n = std::min(job.unreported, kStagingSize);
    job.unreported -= n;
    if (ReportProgress(job.pdp.Get(), &message, static_cast<int>(n)) == 0) throw EFailure(TFailed::kStop);
    if (empty) break;
  }
}

int Collect(TMemPackState& job, const char* buf_in, int in_len, int* taken) {
  // Input after the end of input has nowhere to go.
  if (job.state != TMemPackStage::reading || !buf_in) return wcx::E_EWRITE;
  // A failure (a full disk would leave a hole in the archive) ends the job.
  for (std::size_t done = 0, size = static_cast<std::size_t>(in_len); done < size;) {
    const std::size_t n = std::min(kStagingSize, size - done);
    job.stream->Write(buf_in + done, n);
    job.content.Add(buf_in + done, n);
    job.unreported += n;
    done += n;
    ReportInput(job, false);
  }
  SetCount(taken, in_len);
  return wcx::MEMPACK_OK;
}

int HandOut(TMemPackState& job, char* buf_out, int out_len, int* written) {
  if (job.state == TMemPackStage::reading) {
    job.state = TMemPackStage::writting;
    ReportInput(job, true);
    FinishCollecting(job);
  }
  const std::size_t room = static_cast<std::size_t>(out_len);
  const std::size_t front = std::min(job.front.size() - job.front_given, room);
  std::copy_n(job.front.data() + job.front_given, front, buf_out);
  job.front_given += front;
  // A read that fails ends the job: a cut archive is never handed out.
  const std::size_t payload = front < room ? job.han.Read(buf_out + front, room - front) : 0;
  if (front + payload == 0) EndJob(job);
  SetCount(written, static_cast<int>(front + payload));
  return wcx::MEMPACK_OK;
}

}  // namespace

TMemPackState::~TMemPackState() { EndJob(*this); }

void* StartMemPackPath(const Path& file_name) {
  auto job = std::make_shared<TMemPackState>();
  try {
    job->fn = file_name;
    job->pdp.Set(PackingCallback());
    job->library = std::make_unique<TBZip2Library>(ModuleDir());
    job->han = platform::CreateScratchFile(TempDir(), QV_PATH("quorvane$"), QV_PATH(".$$$"));
    TMemPackState& state = *job;
    const auto still_wanted = [&state] {
      const TProgressText message = ProgressText(state);
      return ReportProgress(state.pdp.Get(), &message, 0) != 0;
    };
    job->stream = std::make_unique<TBZCompressionStream>(*job->library, job->han, still_wanted);
  } catch (...) {
    // Packing cannot start: the host still gets a handle, and the first
    // PackToMem answers what failed.  Only a job that cannot be had at all
    // gives no handle, and a null one answers 19 too.
    job->failure = std::current_exception();
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
    if (job.failure) std::rethrow_exception(job.failure);
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

// In-memory packing jobs and their handles.
#include "CMain/mempack.h"

#include <algorithm>
#include <mutex>

#include "parallel/compressor.h"

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

// The one place a job's payload file is made.
File CreatePayloadFile(Path& path) {
  return platform::CreateUniqueFile(TempDir(), QV_PATH("quorvane$"), QV_PATH(".$$$"),
                                    platform::Visibility::kPrivate, path);
}

// Ends a job: its workers stop, nothing of it stays, and every later call
// answers "finished".
void EndJob(TMemPackState& job) noexcept {
  if (job.stream) job.stream->Abandon();
  job.stream.reset();
  if (job.bound) FreeBZip2Library();
  job.bound = false;
  job.han = File();
  platform::RemoveFile(job.fnpayload);
  job.fnpayload.clear();
  job.front.clear();
  job.state = TMemPackStage::done;
}

// Ends a job that cannot go on: the host hears the failure once.
int FailJob(TMemPackState& job, int code) {
  EndJob(job);
  return code;
}

// What a failure of a job's compression or payload file answers.
template <typename Step>
int Guarded(TMemPackState& job, Step step) {
  try {
    step();
    return wcx::E_SUCCESS;
  } catch (const parallel::EStopped&) {
    return FailJob(job, wcx::E_EABORTED);
  } catch (const EBZip2Error&) {
    return FailJob(job, wcx::E_EWRITE);
  } catch (const platform::FileError&) {
    // A short write (a full disk) would leave a hole in the archive.
    return FailJob(job, wcx::E_EWRITE);
  }
}

TProgressText ProgressText(const TMemPackState& job) { return TProgressText(kPackingText, job.fn); }

// The end of the input: completes the payload and puts the header in front
// of it.
int FinishCollecting(TMemPackState& job) {
  if (int result = Guarded(job, [&] { job.stream->Finish(); }); result != wcx::E_SUCCESS) return result;
  job.stream.reset();
  FreeBZip2Library();
  job.bound = false;
  // The data is stored under the target's base name with ".tar", in the
  // form the host's character set can carry.
  const Path inner = platform::FromHost(
      platform::ToHost(platform::ChangeFileExt(platform::ChangeFileExt(job.fn, Path()), QV_PATH(".tar")))
          .c_str());
  return Guarded(job, [&] {
    job.front = ArchiveFront(StoredName(inner), platform::FileDosTime(job.fnpayload), job.content,
                             static_cast<std::uint64_t>(job.han.Size()));
    job.han.Seek(0, platform::Origin::kBegin);
  });
}

// Reports the input taken since the last report, once per 64 KiB as
// packing a file does, and the rest at the end of the input.
bool ReportInput(TMemPackState& job, bool at_end) {
  const TProgressText message = ProgressText(job);
  // An empty input is reported once, like a block.
  const bool empty = at_end && job.content.size() == 0;
  while (job.unreported >= kStagingSize || (at_end && job.unreported > 0) || empty) {
    const std::size_t n = std::min(job.unreported, kStagingSize);
    job.unreported -= n;
    if (ReportProgress(job.pdp, &message, static_cast<int>(n)) == 0) return false;
    if (empty) break;
  }
  return true;
}

int Collect(TMemPackState& job, const char* buf_in, int in_len, int* taken) {
  SetCount(taken, 0);
  // Input after the end of input has nowhere to go.
  if (job.state != TMemPackStage::reading || !buf_in) return wcx::E_EWRITE;
  for (std::size_t done = 0, size = static_cast<std::size_t>(in_len); done < size;) {
    const std::size_t n = std::min(kStagingSize, size - done);
    if (int result = Guarded(job, [&] { job.stream->Write(buf_in + done, n); }); result != wcx::E_SUCCESS) {
      return result;
    }
    job.content.Add(buf_in + done, n);
    job.unreported += n;
    done += n;
    if (!ReportInput(job, false)) return FailJob(job, wcx::E_EABORTED);
  }
  SetCount(taken, in_len);
  return wcx::MEMPACK_OK;
}

int HandOut(TMemPackState& job, char* buf_out, int out_len, int* written) {
  if (job.state == TMemPackStage::reading) {
    job.state = TMemPackStage::writting;
    if (!ReportInput(job, true)) return FailJob(job, wcx::E_EABORTED);
    if (int result = FinishCollecting(job); result != wcx::E_SUCCESS) return result;
  }
  const std::size_t room = static_cast<std::size_t>(out_len);
  const std::size_t front = std::min(job.front.size() - job.front_given, room);
  std::copy_n(job.front.data() + job.front_given, front, buf_out);
  job.front_given += front;
  std::size_t payload = 0;
  // Never hand out a cut archive.
  if (int result = Guarded(job, [&] { payload = front < room ? job.han.Read(buf_out + front, room - front) : 0; });
      result != wcx::E_SUCCESS) {
    return result;
  }
  if (front + payload == 0) EndJob(job);
  SetCount(written, static_cast<int>(front + payload));
  return wcx::MEMPACK_OK;
}

}  // namespace

TMemPackState::~TMemPackState() { EndJob(*this); }

void* StartMemPackPath(const Path& file_name) {
  auto job = std::make_shared<TMemPackState>();
  job->fn = file_name;
  job->pdp = PackingCallback();
  job->bound = true;
  if (LoadBZip2Library(ModuleDir())) {
    try {
      job->han = CreatePayloadFile(job->fnpayload);
      TMemPackState& state = *job;
      const auto still_wanted = [&state] {
        const TProgressText message = ProgressText(state);
        return ReportProgress(state.pdp, &message, 0) != 0;
      };
      job->stream = std::make_unique<TBZCompressionStream>(job->han, still_wanted);
    } catch (const platform::FileError&) {
      // Packing cannot start; the first PackToMem reports it.
    } catch (const EBZip2Error&) {
    }
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
  if (job.state == TMemPackStage::reading && !job.stream) {
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

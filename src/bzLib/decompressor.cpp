// The parallel decompressor (see decompressor.h).  A worker decodes from a
// block mark on exactly as the serial stream decodes from there: the library
// gets a stream header with this stream's block size, a shim block that
// leaves the mark at its own bit offset, then the file's bytes from the mark
// on, unchanged.  The library hands out a block's data only once it has read
// the whole block, so a worker feeds up to each later mark and looks: no
// output yet means the block goes on past that mark (a false one, passed
// over); output means the block ended before the mark's first bits, and
// then the library either reads the mark as its next one (the block ended
// there) or fails where the serial stream fails.  A block that does not
// decode gives what the serial stream gives before its error, because it is
// the same decoding.
#include "bzLib/decompressor.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "bzLib/library.h"
#include "bzLib/marks.h"

namespace quorvane::parallel {
namespace {

using Clock = std::chrono::steady_clock;
using TLock = std::unique_lock<platform::Mutex>;

constexpr std::size_t kChunk = 256 * 1024;  // read from the file at a time
constexpr std::size_t kFeed = 64 * 1024;    // input per library call: workers see a stop soon
constexpr std::size_t kPiece = 256 * 1024;  // output handed over at a time
// Output the block being read may decode ahead of the reader, and output
// the blocks after it may hold, per worker.
constexpr std::size_t kHeadAhead = 1024 * 1024;
constexpr std::size_t kOutputPerWorker = 4 * 1024 * 1024;
// Compressed input read ahead, per worker: about one block of data that
// does not compress.
constexpr std::uint64_t kInputPerWorker = 1024 * 1024;
// How far Open looks for a second block mark: further than a first block
// can reach.
constexpr std::uint64_t kLookAhead = 4 * 1024 * 1024;

// The serial stream's error for a library status.
std::exception_ptr Damage(int status) {
  try {
    CheckDecompress(status < 0 ? status : kBzDataError);
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

struct TInput {
  std::uint64_t offset = 0;  // of its first byte in the stream
  std::size_t size = 0;
  std::unique_ptr<unsigned char[]> bytes;
};
using TInputPtr = std::shared_ptr<const TInput>;

struct TPiece {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
};

// One block mark and what decoding from it gave.
struct TTask {
  explicit TTask(std::uint64_t mark) : start(mark) {}
  const std::uint64_t start;
  enum class State { kQueued, kRunning, kDone } state = State::kQueued;
  // An earlier decode ran past this mark: decode from it only if the
  // reader's chain lands on it.
  bool skip = false;
  // The worker must let go: the task is behind the reader (gone), was
  // skipped, or the reader's block needs the worker.
  bool abandon = false;
  bool gone = false;
  std::deque<TPiece> output;
  std::size_t buffered = 0;
  // When done: the mark where the block ended, or, after its output, the
  // failure.
  TMark end{};
  std::exception_ptr error;
};
using TTaskPtr = std::shared_ptr<TTask>;

// Thrown inside a worker to let go of its task.
struct TLetGo {};

}  // namespace

struct TDecompressor::TJob {
  TJob(platform::File& file, TWaitHook hook) : source(file), wait(std::move(hook)) {}

  // ---- the reading thread's side
  void ReadChunk();
  bool ShouldRead() const;
  void TakePiece();
  void Advance();
  void CheckEnd();
  // The bytes the stream takes once the chain has reached its end magic.
  std::uint64_t StreamBytes() const { return (ending->bit + kMagicBits + kCrcBits + 7) / 8; }

  // ---- the workers' side
  void Work();
  TTaskPtr Pickable() const;
  std::unique_ptr<char[]> NewPiece(TTask& task, TLock& guard);
  void WaitForInput(TTask& task, TLock& guard);
  void Passed(TTask& by, const TMark& mark);
  void Requeue(TTask& task);

  // ---- shared helpers, with the lock held
  TInputPtr ChunkAt(std::uint64_t byte) const;
  std::uint64_t Bits(std::uint64_t bit, int count) const;
  bool MarkAfter(std::uint64_t bit, TMark& mark) const;
  void Discard(TTask& task);
  void DropBefore(std::uint64_t bit);
  void Recycle(std::unique_ptr<char[]> data);
  // The input a worker may feed now: all of it at the end; before that,
  // what cannot hide an unseen mark that starts within it.
  std::uint64_t Feedable() const {
    return input_ended ? input_bytes : input_bytes > 6 ? input_bytes - 6 : 0;
  }

  platform::File& source;
  const TWaitHook wait;
  unsigned char level = '9';  // the stream's block size, for each worker's stream header
  std::size_t output_budget = 0;
  std::uint64_t input_budget = 0;
  std::size_t task_limit = 0;
  std::size_t spare_limit = 0;
  TWorkerGrant grant;
  std::vector<platform::Thread> threads;

  // Only the reading thread touches these.
  TMarkScanner scanner;
  std::vector<TMark> scanned;  // scratch for ReadChunk
  std::uint32_t stream_crc = 0;
  TPiece current;
  std::size_t taken = 0;
  std::exception_ptr failure;
  bool finished = false;
  std::optional<TMark> ending;  // the chain reached the end magic; its trailer is still to check

  platform::Mutex lock;
  platform::ConditionVariable work_cv;    // workers: tasks, input, room, stop
  platform::ConditionVariable reader_cv;  // the reading thread: output, a finished block, a want of input
  // From the first byte of the reader's block on.
  std::deque<TInputPtr> input;
  std::uint64_t input_bytes = 0;
  bool input_ended = false;
  std::exception_ptr input_error;  // why the input ended early
  bool head_wants_input = false;
  std::deque<TMark> marks;     // from the reader's block on
  std::deque<TTaskPtr> tasks;  // one per block mark in `marks`
  TTaskPtr head;               // the block the reader is in
  std::size_t buffered = 0;    // output waiting in tasks
  std::vector<std::unique_ptr<char[]>> spare;
  bool stopping = false;
};

namespace {

// One worker's decoding of one task.
class TBlockDecode {
 public:
  using TJob = TDecompressor::TJob;
  TBlockDecode(TJob& job, TTaskPtr task, TBZMemoryCache& cache)
      : job_(job), task_(std::move(task)), cache_(cache) {}
  void Run();

 private:
  void Begin();
  void Follow();
  int FeedTo(std::uint64_t end);
  int Feed(const unsigned char* in, std::size_t count);
  void Hand();
  void Finish(std::exception_ptr error, TMark end);
  void LetGo();

  TJob& job_;
  TTaskPtr task_;
  TBZMemoryCache& cache_;
  std::optional<TBZDecoder> decoder_;
  TPiece piece_;
  std::uint64_t next_ = 0;  // the next byte of the file to feed
  std::uint64_t base_ = 0;  // output of the shim, not the block's
};

void TBlockDecode::Run() {
  try {
    decoder_.emplace(&cache_);
    Begin();
    Follow();
  } catch (const TLetGo&) {
    LetGo();
  } catch (...) {
    Finish(std::current_exception(), {});
  }
}

void TBlockDecode::Begin() {
  const std::uint64_t first = task_->start / 8;
  const unsigned offset = static_cast<unsigned>(task_->start % 8);
  unsigned char start[4 + 32] = {'B', 'Z', 'h', job_.level};
  std::size_t size = 4;
  unsigned content = 0;
  next_ = first;
  if (offset != 0) {
    const TShimBlock& shim = ShimFor(offset);
    const std::size_t bytes = (shim.bits + 7) / 8;
    std::memcpy(start + size, shim.bytes, bytes);
    size += bytes;
    const unsigned mine = 0xFFu >> offset;  // the low bits: the mark's own
    std::lock_guard guard(job_.lock);
    if (job_.stopping || task_->abandon) throw TLetGo();
    const TInputPtr chunk = job_.ChunkAt(first);
    start[size - 1] =
        static_cast<unsigned char>((start[size - 1] & ~mine) | (chunk->bytes[first - chunk->offset] & mine));
    content = shim.content_size;
    next_ = first + 1;
  }
  const int status = Feed(start, size);
  if (status != kBzOk || decoder_->total_out() != content) std::rethrow_exception(Damage(status));
  base_ = content;
  piece_.size = 0;  // the shim's bytes
}

// Feeds from mark to mark until the block ends, fails, or the input does.
void TBlockDecode::Follow() {
  std::uint64_t after = task_->start;  // marks after this bit are still to judge
  for (;;) {
    TMark mark{};
    bool check;
    std::uint64_t target;
    {
      TLock guard(job_.lock);
      if (job_.stopping || task_->abandon) throw TLetGo();
      const std::uint64_t feedable = job_.Feedable();
      check = job_.MarkAfter(after, mark) && (mark.bit - 1) / 8 < feedable;
      // Through the byte that holds the last bit before the mark.
      target = check ? (mark.bit - 1) / 8 + 1 : feedable;
      if (!check && next_ >= target) {
        if (!job_.input_ended) {
          job_.WaitForInput(*task_, guard);
          continue;
        }
        std::exception_ptr error = job_.input_error ? job_.input_error : Damage(kBzUnexpectedEnd);
        guard.unlock();
        return Finish(error, {});
      }
    }
    int status = FeedTo(target);
    if (status != kBzOk) return Finish(Damage(status), {});
    if (!check) continue;
    if (decoder_->total_out() > base_) {
      // The block ended before this mark's first bits: it ends at the mark
      // if the library takes the whole mark and then waits for more.
      status = FeedTo((mark.bit + kMagicBits - 1) / 8 + 1);
      if (status != kBzOk) return Finish(Damage(status), {});
      return Finish(nullptr, mark);
    }
    job_.Passed(*task_, mark);
    after = mark.bit;
  }
}

int TBlockDecode::FeedTo(std::uint64_t end) {
  while (next_ < end) {
    TInputPtr chunk;
    {
      std::lock_guard guard(job_.lock);
      if (job_.stopping || task_->abandon) throw TLetGo();
      chunk = job_.ChunkAt(next_);
    }
    const std::uint64_t at = next_ - chunk->offset;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>({end - next_, chunk->size - at, kFeed}));
    const int status = Feed(chunk->bytes.get() + at, count);
    next_ += count;
    if (status != kBzOk) return status;
  }
  return kBzOk;
}

// Gives the library `count` bytes and takes all the output they give;
// kBzOk when it has used them all and wants more.
int TBlockDecode::Feed(const unsigned char* in, std::size_t count) {
  decoder_->Supply(reinterpret_cast<const char*>(in), count);
  for (;;) {
    if (!piece_.data) {
      TLock guard(job_.lock);
      piece_.data = job_.NewPiece(*task_, guard);
    }
    std::size_t produced = 0;
    const int status = decoder_->Decode(piece_.data.get() + piece_.size, kPiece - piece_.size, produced);
    piece_.size += produced;
    if (status != kBzOk) return status;
    if (piece_.size < kPiece) return kBzOk;
    Hand();
  }
}

void TBlockDecode::Hand() {
  std::lock_guard guard(job_.lock);
  if (job_.stopping || task_->abandon) throw TLetGo();
  task_->buffered += piece_.size;
  job_.buffered += piece_.size;
  task_->output.push_back(std::move(piece_));
  piece_ = {};
  if (task_ == job_.head) job_.reader_cv.notify_one();
}

void TBlockDecode::Finish(std::exception_ptr error, TMark end) {
  std::lock_guard guard(job_.lock);
  if (task_->abandon) {
    job_.Recycle(std::move(piece_.data));
    job_.Requeue(*task_);
    return;
  }
  if (piece_.size > 0) {
    task_->buffered += piece_.size;
    job_.buffered += piece_.size;
    task_->output.push_back(std::move(piece_));
  } else {
    job_.Recycle(std::move(piece_.data));
  }
  task_->end = end;
  task_->error = error;
  task_->state = TTask::State::kDone;
  if (task_ == job_.head) job_.reader_cv.notify_one();
}

void TBlockDecode::LetGo() {
  std::lock_guard guard(job_.lock);
  job_.Recycle(std::move(piece_.data));
  job_.Requeue(*task_);
}

}  // namespace

// ------------------------------------------------------ the workers' side

void TDecompressor::TJob::Work() {
  TBZMemoryCache cache;  // the library's arrays, kept from one block to the next
  TLock guard(lock);
  for (;;) {
    TTaskPtr task;
    work_cv.wait(guard, [&] { return stopping || (task = Pickable()) != nullptr; });
    if (stopping) return;
    task->state = TTask::State::kRunning;
    guard.unlock();
    TBlockDecode(*this, task, cache).Run();
    guard.lock();
  }
}

TTaskPtr TDecompressor::TJob::Pickable() const {
  for (const TTaskPtr& task : tasks) {
    if (task->state == TTask::State::kQueued && !task->skip) return task;
  }
  return nullptr;
}

std::unique_ptr<char[]> TDecompressor::TJob::NewPiece(TTask& task,
                                                                        TLock& guard) {
  for (;;) {
    if (stopping || task.abandon) throw TLetGo();
    const bool reading = head.get() == &task;
    if (reading ? task.buffered < kHeadAhead : buffered < output_budget) break;
    // Every worker may be holding a later block while the reader's block
    // waits for one of them.
    if (!reading && head && head->state == TTask::State::kQueued) {
      task.abandon = true;
      throw TLetGo();
    }
    work_cv.wait(guard);
  }
  if (spare.empty()) return std::unique_ptr<char[]>(new char[kPiece]);
  std::unique_ptr<char[]> data = std::move(spare.back());
  spare.pop_back();
  return data;
}

void TDecompressor::TJob::WaitForInput(TTask& task, TLock& guard) {
  const std::uint64_t seen = input_bytes;
  for (;;) {
    if (stopping || task.abandon) throw TLetGo();
    if (input_bytes != seen || input_ended) return;
    if (head.get() == &task) {
      head_wants_input = true;
      reader_cv.notify_one();
    } else if (head && head->state == TTask::State::kQueued) {
      task.abandon = true;
      throw TLetGo();
    }
    work_cv.wait(guard);
  }
}

// `by` decoded past a block mark without its block ending: that mark is no
// block of the chain unless `by` is not either.
void TDecompressor::TJob::Passed(TTask& by, const TMark& mark) {
  std::lock_guard guard(lock);
  if (stopping || by.abandon) throw TLetGo();
  if (mark.end) return;
  const auto found = std::lower_bound(tasks.begin(), tasks.end(), mark.bit,
                                      [](const TTaskPtr& task, std::uint64_t bit) { return task->start < bit; });
  if (found == tasks.end() || (*found)->start != mark.bit || *found == head) return;
  TTask& task = **found;
  task.skip = true;
  if (task.state == TTask::State::kRunning) {
    task.abandon = true;
  } else if (task.state == TTask::State::kDone) {
    Requeue(task);
  }
}

// Back to the queue, its output dropped.  A task behind the reader is gone
// instead.
void TDecompressor::TJob::Requeue(TTask& task) {
  Discard(task);
  if (task.gone) return;
  task.state = TTask::State::kQueued;
  task.abandon = false;
  task.end = {};
  task.error = nullptr;
  work_cv.notify_all();
}

// ------------------------------------------------------------ shared helpers

TInputPtr TDecompressor::TJob::ChunkAt(std::uint64_t byte) const {
  auto after = std::upper_bound(input.begin(), input.end(), byte,
                                [](std::uint64_t at, const TInputPtr& chunk) { return at < chunk->offset; });
  return *--after;
}

std::uint64_t TDecompressor::TJob::Bits(std::uint64_t bit, int count) const {
  const std::uint64_t first = bit / 8;
  const std::uint64_t last = (bit + static_cast<unsigned>(count) - 1) / 8;
  std::uint64_t window = 0;
  for (std::uint64_t byte = first; byte <= last; ++byte) {
    const TInputPtr chunk = ChunkAt(byte);
    window = window << 8 | chunk->bytes[byte - chunk->offset];
  }
  const unsigned after = static_cast<unsigned>((last + 1) * 8 - (bit + static_cast<unsigned>(count)));
  return window >> after & ((std::uint64_t{1} << count) - 1);
}

bool TDecompressor::TJob::MarkAfter(std::uint64_t bit, TMark& mark) const {
  const auto found = std::upper_bound(marks.begin(), marks.end(), bit,
                                      [](std::uint64_t at, const TMark& m) { return at < m.bit; });
  if (found == marks.end()) return false;
  mark = *found;
  return true;
}

void TDecompressor::TJob::Discard(TTask& task) {
  for (TPiece& piece : task.output) Recycle(std::move(piece.data));
  task.output.clear();
  buffered -= task.buffered;
  task.buffered = 0;
}

void TDecompressor::TJob::DropBefore(std::uint64_t bit) {
  while (!tasks.empty() && tasks.front()->start < bit) {
    TTask& task = *tasks.front();
    task.gone = task.abandon = true;
    Discard(task);
    tasks.pop_front();
  }
  while (!marks.empty() && marks.front().bit < bit) marks.pop_front();
  while (!input.empty() && input.front()->offset + input.front()->size <= bit / 8) input.pop_front();
}

void TDecompressor::TJob::Recycle(std::unique_ptr<char[]> data) {
  if (data && spare.size() < spare_limit) spare.push_back(std::move(data));
}

// ------------------------------------------------- the reading thread's side

// Reads one chunk and publishes it with the marks it holds.
void TDecompressor::TJob::ReadChunk() {
  auto chunk = std::make_shared<TInput>();
  chunk->offset = scanner.bytes();
  chunk->bytes.reset(new unsigned char[kChunk]);
  std::exception_ptr error;
  try {
    chunk->size = source.Read(chunk->bytes.get(), kChunk);
  } catch (const platform::FileError&) {
    error = std::current_exception();
  }
  scanned.clear();
  scanner.Scan(chunk->bytes.get(), chunk->size, scanned);
  std::lock_guard guard(lock);
  if (chunk->size == 0) {
    input_ended = true;
    input_error = error;
  } else {
    input_bytes += chunk->size;
    input.push_back(std::move(chunk));
  }
  for (const TMark& mark : scanned) {
    marks.push_back(mark);
    if (!mark.end) tasks.push_back(std::make_shared<TTask>(mark.bit));
  }
  head_wants_input = false;
  work_cv.notify_all();
}

bool TDecompressor::TJob::ShouldRead() const {
  if (input_ended) return false;
  if (ending) return input_bytes <= StreamBytes();
  if (head_wants_input) return true;
  const std::uint64_t held = input.empty() ? 0 : input_bytes - input.front()->offset;
  return held < input_budget && tasks.size() < task_limit;
}

void TDecompressor::TJob::TakePiece() {
  Recycle(std::move(current.data));
  current = std::move(head->output.front());
  head->output.pop_front();
  taken = 0;
  head->buffered -= current.size;
  buffered -= current.size;
  work_cv.notify_all();
}

// The reader's block is done and all its output given out.
void TDecompressor::TJob::Advance() {
  if (head->error) {
    failure = head->error;
    return;
  }
  stream_crc = CombineCRC(stream_crc, static_cast<std::uint32_t>(Bits(head->start + kMagicBits, kCrcBits)));
  const TMark next = head->end;
  DropBefore(next.bit);
  if (next.end) {
    head = nullptr;
    ending = next;
  } else {
    // Every block mark has its task, and the chain lands only on marks.
    head = tasks.front();
    head->skip = false;
    if (!head->gone && head->state == TTask::State::kRunning) head->abandon = false;
  }
  work_cv.notify_all();
}

// The end magic's trailer: the stream's checksum, then nothing more.  The
// serial stream finds the same faults in the same order.
void TDecompressor::TJob::CheckEnd() {
  const std::uint64_t stream_bytes = StreamBytes();
  if (!input_ended && input_bytes <= stream_bytes) return;
  if (input_bytes * 8 < ending->bit + kMagicBits + kCrcBits) {
    failure = input_error ? input_error : Damage(kBzUnexpectedEnd);
  } else if (Bits(ending->bit + kMagicBits, kCrcBits) != stream_crc) {
    failure = Damage(kBzDataError);
  } else if (input_error) {
    failure = input_error;
  } else if (input_bytes > stream_bytes) {
    failure = Damage(kBzSequenceError);
  } else {
    finished = true;
  }
  ending.reset();
}

// ------------------------------------------------------------------ stream

TDecompressor::TDecompressor(std::unique_ptr<TJob> job) : job_(std::move(job)) {}

TDecompressor::~TDecompressor() {
  {
    std::lock_guard guard(job_->lock);
    job_->stopping = true;
  }
  job_->work_cv.notify_all();
  job_->threads.clear();  // joins
  job_->grant.Release();
}

std::unique_ptr<TDecompressor> TDecompressor::Open(platform::File& source, int threads, TWaitHook wait) {
  if (threads < 2) return nullptr;
  const std::int64_t start = source.Seek(0, platform::Origin::kCurrent);
  auto job = std::make_unique<TJob>(source, std::move(wait));
  // A stream of one block is the serial stream's, and so is one that does
  // not start with a block: there is nothing to share.
  while (job->tasks.size() < 2 && !job->input_ended && job->input_bytes < kLookAhead) job->ReadChunk();
  const bool blocks = job->tasks.size() >= 2 && job->tasks.front()->start == 32;
  const unsigned char* header = blocks ? job->input.front()->bytes.get() : nullptr;
  if (blocks && header[0] == 'B' && header[1] == 'Z' && header[2] == 'h' && header[3] >= '1' && header[3] <= '9') {
    job->grant = TWorkerGrant::Take(threads);
  }
  if (job->grant.count() < 2) {
    source.Seek(start, platform::Origin::kBegin);
    return nullptr;
  }
  job->level = header[3];
  job->head = job->tasks.front();
  const auto workers = static_cast<std::size_t>(job->grant.count());
  job->output_budget = workers * kOutputPerWorker;
  job->input_budget = (workers + 2) * kInputPerWorker;
  job->task_limit = 4 * workers + 4;
  job->spare_limit = 2 * workers + 4;
  std::unique_ptr<TDecompressor> decompressor(new TDecompressor(std::move(job)));
  TJob& started = *decompressor->job_;
  // A worker that cannot be started is one fewer; the calling thread waits
  // for the ones that run.
  try {
    for (std::size_t i = 0; i < workers; ++i) started.threads.push_back(platform::Thread::Start([&started] { started.Work(); }));
  } catch (const std::system_error&) {
    if (started.threads.empty()) {
      decompressor.reset();
      source.Seek(start, platform::Origin::kBegin);
    }
  }
  return decompressor;
}

std::size_t TDecompressor::Read(void* buffer, std::size_t count) {
  TJob& job = *job_;
  char* out = static_cast<char*>(buffer);
  std::size_t got = 0;
  Clock::time_point pulse = Clock::now() + kHeartbeat;
  while (got < count) {
    if (job.taken < job.current.size) {
      const std::size_t n = std::min(count - got, job.current.size - job.taken);
      std::memcpy(out + got, job.current.data.get() + job.taken, n);
      job.taken += n;
      got += n;
      continue;
    }
    if (job.finished || job.failure) break;
    TLock guard(job.lock);
    if (job.ShouldRead()) {
      guard.unlock();
      job.ReadChunk();
    } else if (job.ending) {
      job.CheckEnd();
    } else if (!job.head->output.empty()) {
      job.TakePiece();
    } else if (job.head->state == TTask::State::kDone) {
      job.Advance();
    } else if (const Clock::time_point now = Clock::now(); now < pulse) {
      job.reader_cv.wait_for(guard, std::chrono::ceil<std::chrono::milliseconds>(pulse - now));
    } else {
      guard.unlock();
      if (job.wait && !job.wait()) throw EStopped();
      pulse = Clock::now() + kHeartbeat;
    }
  }
  if (got == 0 && job.failure) std::rethrow_exception(job.failure);
  return got;
}

}  // namespace quorvane::parallel

// The parallel compressor: cutter, workers and splicer (see compressor.h).
#include "bzLib/compressor.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>

#include "bzLib/marks.h"

namespace quorvane::parallel {
namespace {

// The input one piece may hold queued for its worker; the calling thread
// waits while it is full, so a run-heavy block of tens of megabytes never
// sits whole in memory.
constexpr std::size_t kQueueLimit = std::size_t{1} << 20;
constexpr std::size_t kChunk = kStagingSize;

// Whether cutting and splicing give the bound library's bytes, found by the
// probe before the module's first parallel job and kept: the library it
// binds is the same one every time.
enum Verdict : int { kUntried, kMatches, kDiffers };
std::atomic<int> input_stage{kUntried};

// `count` (at most 57) bits of `data` from bit `at` on, first bit highest.
std::uint64_t Bits(const unsigned char* data, std::size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i, ++at) value = value << 1 | ((data[at >> 3] >> (7 - (at & 7))) & 1u);
  return value;
}

class VectorSink final : public TByteSink {
 public:
  explicit VectorSink(std::vector<char>& bytes) : bytes_(bytes) {}
  void Put(const char* data, std::size_t count) override { bytes_.insert(bytes_.end(), data, data + count); }

 private:
  std::vector<char>& bytes_;
};

}  // namespace

// One piece between two block starts: the input the calling thread queues
// for it, and the stream its worker made of it.
struct TCompressor::Piece {
  std::deque<std::vector<char>> input;
  std::size_t queued = 0;
  bool closed = false;  // no more input comes
  bool taken = false;   // a worker has it
  bool done = false;    // output or error is there
  std::vector<char> output;
  std::exception_ptr error;
};

struct TCompressor::Shared {
  platform::Mutex lock;
  platform::ConditionVariable work;  // workers wait here
  platform::ConditionVariable host;  // the calling thread waits here
  std::deque<std::shared_ptr<Piece>> pieces;  // not yet spliced, oldest first
  // Input chunks a worker is done with, for the calling thread to fill again:
  // the input passes through the same few buffers however long it is.
  std::vector<std::vector<char>> spare;
  bool cancel = false;
  bool no_more = false;  // no piece comes after those listed
  // Workers inside the library, and how many may be: no more than the
  // processors, so that a stop never waits for more blocks being sorted at
  // once than the machine sorts at once.
  int running = 0;
  int running_limit = 1;
};

// The first piece's stream stays in memory until it is known whether it is
// the whole stream; once the job turns serial it goes straight out.
class TCompressor::FirstPieceSink final : public TByteSink {
 public:
  explicit FirstPieceSink(TCompressor& owner) : owner_(owner) {}
  void Put(const char* data, std::size_t count) override {
    if (owner_.mode_ == Mode::kSerial) {
      owner_.out_.Put(data, count);
    } else {
      owner_.first_output_.insert(owner_.first_output_.end(), data, data + count);
    }
  }

 private:
  TCompressor& owner_;
};

// Joins the pieces' blocks bit by bit into one stream.
class TCompressor::Splicer {
 public:
  Splicer(TByteSink& out, int level) : out_(out), header_{'B', 'Z', 'h', static_cast<char>('0' + level)} {
    staging_.reserve(kStagingSize + 16);
    for (char c : header_) PutByte(static_cast<unsigned char>(c));
  }

  // Appends the block of `stream`, a whole stream that must hold exactly
  // one block.  Its end marker has no byte position: of the eight padding
  // widths, exactly one must show the marker, a CRC equal to the block's
  // and zero padding.
  void Append(const std::vector<char>& stream) {
    const auto* data = reinterpret_cast<const unsigned char*>(stream.data());
    const std::size_t bits = stream.size() * 8;
    constexpr std::size_t kShortest = 32 + 48 + 32 + 80;
    if (bits < kShortest || std::memcmp(data, header_, sizeof header_) != 0 ||
        Bits(data, 32, 48) != kBlockMagic) {
      throw EMismatch();
    }
    const auto block_crc = static_cast<std::uint32_t>(Bits(data, 80, 32));
    int fits = 0;
    std::size_t end = 0;
    for (std::size_t padding = 0; padding < 8; ++padding) {
      const std::size_t at = bits - padding - 80;
      if (Bits(data, at, 48) == kEndMagic && Bits(data, at + 48, 32) == block_crc &&
          Bits(data, bits - padding, static_cast<int>(padding)) == 0) {
        ++fits;
        end = at;
      }
    }
    if (fits != 1 || end < kShortest - 80) throw EMismatch();
    for (std::size_t byte = 4; byte < end / 8; ++byte) PutByte(data[byte]);
    PutBits(static_cast<std::uint32_t>(data[end / 8] >> (8 - end % 8)), static_cast<int>(end % 8));
    crc_ = CombineCRC(crc_, block_crc);
  }

  // The end marker, the combined CRC, zero padding.
  void End() {
    PutBits(static_cast<std::uint32_t>(kEndMagic >> 24), 24);
    PutBits(static_cast<std::uint32_t>(kEndMagic & 0xFFFFFF), 24);
    PutBits(crc_, 32);
    if (pending_bits_ > 0) PutBits(0, 8 - pending_bits_);
    Flush();
  }

 private:
  void PutByte(unsigned byte) {
    pending_ = pending_ << 8 | byte;
    staging_.push_back(static_cast<char>(pending_ >> pending_bits_));
    pending_ &= (1u << pending_bits_) - 1;
    if (staging_.size() >= kStagingSize) Flush();
  }
  // `count` (at most 32) bits of `value`, highest first.
  void PutBits(std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      pending_ = pending_ << 1 | ((value >> i) & 1u);
      if (++pending_bits_ == 8) {
        staging_.push_back(static_cast<char>(pending_));
        pending_ = 0;
        pending_bits_ = 0;
      }
    }
    if (staging_.size() >= kStagingSize) Flush();
  }
  void Flush() {
    out_.Put(staging_.data(), staging_.size());
    staging_.clear();
  }

  TByteSink& out_;
  const char header_[4];
  std::vector<char> staging_;
  std::uint32_t pending_ = 0;  // the low pending_bits_ bits wait for a byte
  int pending_bits_ = 0;
  std::uint32_t crc_ = 0;
};

std::size_t TCompressor::Cutter::Scan(const unsigned char* data, std::size_t count) {
  // The library's input stage: a run of 4 to 255 equal bytes takes 5 bytes
  // of the block, a shorter one a byte each.  A run is added when the byte
  // after it arrives; when that fills the block, that byte starts the next.
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned byte = data[i];
    if (byte != ch && run == 1) {
      ++filled;
      ch = byte;
    } else if (byte != ch || run == 255) {
      if (ch < 256) filled += run < 4 ? run : 5;
      ch = byte;
      run = 1;
    } else {
      ++run;
      continue;
    }
    if (filled >= limit) {
      filled = 0;
      return i;
    }
  }
  return count;
}

TCompressor::TCompressor(TByteSink& out, int threads, TWaitHook wait)
    : out_(out),
      threads_(threads),
      wait_(std::move(wait)),
      mode_(threads > 1 ? Mode::kFirstPiece : Mode::kSerial),
      first_sink_(std::make_unique<FirstPieceSink>(*this)),
      encoder_(std::make_unique<TBZEncoder>(*first_sink_)) {}

TCompressor::~TCompressor() { StopWorkers(); }

void TCompressor::StopWorkers() noexcept {
  if (shared_) {
    {
      std::lock_guard guard(shared_->lock);
      shared_->cancel = true;
    }
    shared_->work.notify_all();
  }
  workers_.clear();  // joins
  grant_.Release();
}

void TCompressor::Write(const char* data, std::size_t count) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::size_t next = 0;  // the first byte not yet given to a piece
  std::size_t scan = 0;  // the first byte the cutter has not seen
  while (next < count) {
    if (mode_ == Mode::kSerial) {
      encoder_->Compress(data + next, count - next);
      return;
    }
    const std::size_t start = scan + cutter_.Scan(bytes + scan, count - scan);
    Append(data + next, start - next);
    if (start == count) return;
    EndPiece();
    next = start;
    scan = start + 1;
  }
}

void TCompressor::Append(const char* data, std::size_t count) {
  if (mode_ == Mode::kFirstPiece) {
    encoder_->Compress(data, count);
    return;
  }
  std::unique_lock lock(shared_->lock);
  for (std::size_t done = 0; done < count;) {
    WaitFor(lock, [&] { return current_->queued < kQueueLimit; });
    const std::size_t n = std::min(kChunk, count - done);
    std::vector<char> chunk;
    if (!shared_->spare.empty()) {
      chunk = std::move(shared_->spare.back());
      shared_->spare.pop_back();
    }
    chunk.assign(data + done, data + done + n);
    current_->input.push_back(std::move(chunk));
    current_->queued += n;
    done += n;
    shared_->work.notify_all();
  }
}

// A block start was found: the current piece is complete.
void TCompressor::EndPiece() {
  if (mode_ == Mode::kFirstPiece) {
    // More than one block: now the workers are worth their threads, if
    // their pieces splice into the library's own stream.
    if (input_stage == kUntried) input_stage = InputStageMatches() ? kMatches : kDiffers;
    if (input_stage == kMatches) grant_ = TWorkerGrant::Take(threads_);
    if (grant_.count() < 2) {
      grant_.Release();
      // The first piece's stream simply goes on.  A library whose blocks are
      // smaller than the cutter's has written some of it already.
      mode_ = Mode::kSerial;
      out_.Put(first_output_.data(), first_output_.size());
      first_output_ = std::vector<char>();
      return;
    }
    encoder_->Finish();
    encoder_.reset();
    splicer_ = std::make_unique<Splicer>(out_, 9);
    splicer_->Append(first_output_);
    first_output_ = std::vector<char>();
    StartWorkers();
    mode_ = Mode::kParallel;
  } else {
    std::unique_lock lock(shared_->lock);
    current_->closed = true;
    shared_->work.notify_all();
    // One piece more than workers: the calling thread fills the next while
    // every worker is busy.
    WaitFor(lock, [&] { return shared_->pieces.size() <= static_cast<std::size_t>(grant_.count()); });
  }
  std::lock_guard guard(shared_->lock);
  current_ = std::make_shared<Piece>();
  shared_->pieces.push_back(current_);
  shared_->work.notify_all();
}

void TCompressor::StartWorkers() {
  shared_ = std::make_unique<Shared>();
  Shared& shared = *shared_;
  const auto work = [&shared] {
    TBZMemoryCache cache;
    std::unique_lock lock(shared.lock);
    for (;;) {
      std::shared_ptr<Piece> piece;
      shared.work.wait(lock, [&] {
        if (shared.cancel) return true;
        for (const auto& candidate : shared.pieces) {
          if (!candidate->taken) {
            piece = candidate;
            return true;
          }
        }
        return shared.no_more;
      });
      if (!piece) return;  // cancelled, or nothing more to do
      piece->taken = true;
      std::vector<char> output;
      try {
        VectorSink sink(output);
        lock.unlock();
        TBZEncoder encoder(sink, &cache);
        lock.lock();
        // Runs `call` without the lock, as one of the workers inside the library.
        const auto running = [&](auto call) {
          ++shared.running;
          lock.unlock();
          try {
            call();
          } catch (...) {
            lock.lock();
            --shared.running;
            shared.work.notify_all();
            throw;
          }
          lock.lock();
          --shared.running;
          shared.work.notify_all();
        };
        for (;;) {
          shared.work.wait(lock, [&] {
            return shared.cancel ||
                   ((!piece->input.empty() || piece->closed) && shared.running < shared.running_limit);
          });
          if (shared.cancel) return;
          if (piece->input.empty()) {
            running([&] { encoder.Finish(); });
            break;
          }
          std::vector<char> chunk = std::move(piece->input.front());
          piece->input.pop_front();
          piece->queued -= chunk.size();
          shared.host.notify_all();
          running([&] { encoder.Compress(chunk.data(), chunk.size()); });
          shared.spare.push_back(std::move(chunk));
        }
        piece->output = std::move(output);
      } catch (...) {
        if (!lock.owns_lock()) lock.lock();
        piece->error = std::current_exception();
      }
      piece->done = true;
      shared.host.notify_all();
    }
  };
  shared.running_limit = std::min(grant_.count(), platform::ProcessorCount());
  for (int i = 0; i < grant_.count(); ++i) workers_.push_back(platform::Thread::Start(work));
}

// Splices the finished pieces at the front, in order, with the lock let go
// meanwhile.
void TCompressor::SpliceFinished(std::unique_lock<platform::Mutex>& lock) {
  while (!shared_->pieces.empty() && shared_->pieces.front()->done) {
    const std::shared_ptr<Piece> piece = std::move(shared_->pieces.front());
    shared_->pieces.pop_front();
    lock.unlock();
    if (piece->error) std::rethrow_exception(piece->error);
    splicer_->Append(piece->output);
    lock.lock();
  }
}

// Waits on the calling thread, splicing what is finished and calling the
// wait hook every heartbeat, until `ready` holds.
template <typename Ready>
void TCompressor::WaitFor(std::unique_lock<platform::Mutex>& lock, Ready ready) {
  auto beat = std::chrono::steady_clock::now() + kHeartbeat;
  for (;;) {
    SpliceFinished(lock);
    if (ready()) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < beat) {
      shared_->host.wait_for(lock, std::chrono::ceil<std::chrono::milliseconds>(beat - now));
      continue;
    }
    lock.unlock();
    if (wait_ && !wait_()) throw EStopped();
    lock.lock();
    beat = std::chrono::steady_clock::now() + kHeartbeat;
  }
}

bool TCompressor::InputStageMatches() {
  // About 150 kB: single bytes with a run of every length the input stage
  // treats differently among them, up to just short of the end of a level-1
  // block, then a run the block ends in, then single bytes again.
  constexpr int kLevel = 1;
  constexpr std::size_t kRuns[] = {2, 3, 4, 5, 254, 255, 256, 1000};
  std::vector<char> input;
  std::uint32_t filled = 0;
  unsigned char byte = 0;
  std::uint32_t random = 1;
  const auto put = [&](std::size_t length) {
    random = random * 1103515245 + 12345;
    byte = static_cast<unsigned char>(byte + 1 + (random >> 16) % 255);  // unlike the last
    input.insert(input.end(), length, static_cast<char>(byte));
    for (std::size_t left = length; left > 0; left -= std::min<std::size_t>(left, 255)) {
      filled += left < 4 ? static_cast<std::uint32_t>(left) : 5;
    }
  };
  const std::uint32_t limit = Cutter(kLevel).limit;
  // put() advances `filled`, which clang's check of for loops cannot see.
  std::size_t count = 0;
  while (filled + 60 < limit) {
    put(count % 500 == 499 ? kRuns[count / 500 % std::size(kRuns)] : 1);
    ++count;
  }
  put(5000);
  for (int i = 0; i < 2000; ++i) put(1);

  std::vector<char> whole, spliced, piece;
  VectorSink whole_sink(whole), spliced_sink(spliced), piece_sink(piece);
  TBZEncoder serial(whole_sink, nullptr, kLevel);
  serial.Compress(input.data(), input.size());
  serial.Finish();
  try {
    Splicer splicer(spliced_sink, kLevel);
    Cutter cutter(kLevel);
    const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
    for (std::size_t next = 0, scan = 0; next < input.size(); scan = next + 1) {
      const std::size_t start = scan + cutter.Scan(bytes + scan, input.size() - scan);
      piece.clear();
      TBZEncoder encoder(piece_sink, nullptr, kLevel);
      encoder.Compress(input.data() + next, start - next);
      encoder.Finish();
      splicer.Append(piece);
      next = start;
    }
    splicer.End();
  } catch (const EMismatch&) {
    return false;
  }
  return spliced == whole;
}

void TCompressor::Finish() {
  if (mode_ != Mode::kParallel) {
    encoder_->Finish();
    // One block: its own stream is the whole stream.
    if (mode_ == Mode::kFirstPiece) out_.Put(first_output_.data(), first_output_.size());
    return;
  }
  {
    std::unique_lock lock(shared_->lock);
    current_->closed = true;
    shared_->no_more = true;
    shared_->work.notify_all();
    WaitFor(lock, [&] { return shared_->pieces.empty(); });
  }
  splicer_->End();
  StopWorkers();
}

}  // namespace quorvane::parallel

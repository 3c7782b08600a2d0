// Progress bar: percent, bytes and speed, redrawn at most ten times a second.
#include "progress.h"

#include <algorithm>
#include <cstdio>

#include "os.h"

namespace wcx {

namespace {
constexpr double kRedrawInterval = 0.1;
constexpr double kLineInterval = 1.0;
constexpr int kBarWidth = 24;
}  // namespace

void Progress::Configure(bool enabled, bool terminal) {
  enabled_ = enabled;
  terminal_ = terminal;
}

void Progress::Begin(const std::string& label, std::uint64_t total) {
  Clear();
  label_ = label;
  total_ = total;
  done_ = 0;
  percent_ = -1;
  started_ = os::MonotonicSeconds();
  last_drawn_ = 0;
}

void Progress::Advance(std::uint64_t bytes) {
  done_ += bytes;
  Draw(!shown_);
}

void Progress::SetPercent(int percent) {
  percent_ = std::clamp(percent, 0, 100);
  Draw(!shown_);
}

void Progress::Clear() {
  if (!shown_) return;
  if (terminal_) std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

void Progress::Finish(bool completed) {
  if (completed && shown_) {
    Draw(true, true);
  } else {
    Clear();
  }
}

void Progress::Draw(bool force, bool final) {
  if (!enabled_) return;
  double now = os::MonotonicSeconds();
  if (!force && now - last_drawn_ < (terminal_ ? kRedrawInterval : kLineInterval)) return;
  last_drawn_ = now;

  // A total that turns out too small (a size the plugin could not know)
  // is never shown below what is done.
  const std::uint64_t total = std::max(total_, done_);
  int percent = final ? 100 : percent_;
  if (percent < 0 && total > 0) {
    percent = static_cast<int>(std::min<std::uint64_t>(100, done_ * 100 / total));
  }
  double elapsed = now - started_;
  std::string line = label_;
  if (percent >= 0) {
    int filled = percent * kBarWidth / 100;
    line += " [" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] ";
    char text[16];
    std::snprintf(text, sizeof text, "%3d%%", percent);
    line += text;
  }
  if (done_ > 0) {
    line += "  " + HumanSize(static_cast<double>(done_));
    if (total > 0 && !final) line += " / " + HumanSize(static_cast<double>(total));
    if (elapsed > 0.05) line += "  " + HumanSize(static_cast<double>(done_) / elapsed) + "/s";
  }
  if (final) line += " in " + std::to_string(static_cast<int>(elapsed + 0.5)) + " s";
  std::fprintf(stderr, "%s%s%s", terminal_ ? "\r\033[K" : "", line.c_str(),
               terminal_ && !final ? "" : "\n");
  std::fflush(stderr);
  shown_ = !final;
}

Progress& CurrentProgress() {
  static Progress progress;
  return progress;
}

bool& StopRequested() {
  static bool stop = false;
  return stop;
}

extern "C" int ProgressCallback(char* /*file_name*/, int size) {
  if (os::Interrupted() || StopRequested()) return 0;
  try {
    Progress& progress = CurrentProgress();
    // Positive sizes are bytes; -1..-100 and -1000..-1100 are percentages
    // of the current file and of the whole job.
    if (size > 0) {
      progress.Advance(static_cast<std::uint64_t>(size));
    } else if (size <= -1000 && size >= -1100) {
      progress.SetPercent(-size - 1000);
    } else if (size < 0 && size >= -100) {
      progress.SetPercent(-size);
    }
  } catch (...) {
    // Drawing may fail; the plugin must not see it.
  }
  return os::Interrupted() || StopRequested() ? 0 : 1;
}

std::string HumanSize(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0) {
    std::snprintf(text, sizeof text, "%.0f %s", bytes, kUnits[unit]);
  } else {
    std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
  }
  return text;
}

}  // namespace wcx

// The progress bar on standard error, fed by the plugin's progress callback.
#pragma once

#include <cstdint>
#include <string>

namespace wcx {

class Progress {
 public:
  // `enabled`: show anything at all; `terminal`: redraw one line in place
  // (otherwise each update is a line of its own).
  void Configure(bool enabled, bool terminal);

  // Starts a new operation of `total` bytes (0 when unknown).
  void Begin(const std::string& label, std::uint64_t total);
  // Another `bytes` are done.
  void Advance(std::uint64_t bytes);
  // The plugin reports a percentage instead of bytes.
  void SetPercent(int percent);
  // Removes the bar so other text can be printed.
  void Clear();
  // Ends the operation: a bar that was shown shows its final state on a
  // line of its own when the operation `completed`, and goes otherwise.
  void Finish(bool completed = true);
  // The bytes the plugin said it got through since Begin.
  std::uint64_t done() const { return done_; }

 private:
  void Draw(bool force, bool final = false);

  bool enabled_ = false;
  bool terminal_ = false;
  bool shown_ = false;
  std::string label_;
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  int percent_ = -1;
  double started_ = 0;
  double last_drawn_ = 0;
};

Progress& CurrentProgress();

// Set while wcx itself wants the plugin to stop.
bool& StopRequested();

// The progress callback handed to the plugin.  Answers 0 (stop) once the
// user has pressed Ctrl-C or wcx has asked for a stop.
extern "C" int ProgressCallback(char* file_name, int size);

// "12.3 MiB" and the like.
std::string HumanSize(double bytes);

}  // namespace wcx

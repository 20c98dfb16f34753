// The progress bar on standard error, fed by the plug-ins' progress callbacks
// from one or several worker threads. Drawn only when standard error is a
// terminal and the user did not ask for quiet.
#ifndef QRV_HOST_PROGRESS_H
#define QRV_HOST_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qrvnel.h"

namespace qrv::host {

bool StandardErrorIsTerminal();

class ProgressBar {
 public:
  // `jobs` items (pictures or entries) make up the whole bar.
  ProgressBar(bool enabled, std::string label, size_t jobs);
  ~ProgressBar() { Clear(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void Report(size_t job, int32_t numerator, int32_t denominator);
  void Finish(size_t job);
  // Removes the bar from the terminal, e.g. before printing a message.
  void Clear();

 private:
  void DrawLocked(bool force);

  bool enabled_;
  std::string label_;
  std::mutex mutex_;
  std::vector<double> fractions_;
  std::chrono::steady_clock::time_point lastDraw_{};
  bool drawn_ = false;
};

// What a plug-in call gets as its user value: which bar and which job.
struct ProgressSlot {
  ProgressBar* bar;
  size_t job;
};

// The callback handed to the plug-ins; `user` is the address of a ProgressSlot.
// Answers nonzero (stop) once the user pressed Ctrl-C.
int32_t QRV_CALL ReportProgress(int32_t numerator, int32_t denominator, QrvUser user);

inline QrvUser UserValue(ProgressSlot* slot) { return reinterpret_cast<QrvUser>(slot); }

}  // namespace qrv::host

#endif  // QRV_HOST_PROGRESS_H

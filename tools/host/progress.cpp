#include "progress.h"

#include <cstdio>

#include "interrupt.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qrv::host {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(80);

}  // namespace

bool StandardErrorIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

ProgressBar::ProgressBar(bool enabled, std::string label, size_t jobs)
    : enabled_(enabled), label_(std::move(label)), fractions_(jobs, 0.0) {}

void ProgressBar::Report(size_t job, int32_t numerator, int32_t denominator) {
  if (!enabled_ || job >= fractions_.size() || denominator <= 0) return;
  double fraction = static_cast<double>(numerator) / denominator;
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  std::lock_guard<std::mutex> lock(mutex_);
  fractions_[job] = fraction;
  DrawLocked(false);
}

void ProgressBar::Finish(size_t job) {
  if (!enabled_ || job >= fractions_.size()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  fractions_[job] = 1.0;
  DrawLocked(true);
}

void ProgressBar::Clear() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (drawn_) std::fprintf(stderr, "\r%*s\r", static_cast<int>(label_.size()) + kBarWidth + 24, "");
  std::fflush(stderr);
  drawn_ = false;
}

void ProgressBar::DrawLocked(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  double sum = 0;
  size_t done = 0;
  for (double fraction : fractions_) {
    sum += fraction;
    if (fraction >= 1.0) ++done;
  }
  double whole = fractions_.empty() ? 1.0 : sum / static_cast<double>(fractions_.size());
  int filled = static_cast<int>(whole * kBarWidth);
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '.');
  std::fprintf(stderr, "\r%s [%s] %3d%% (%zu/%zu)", label_.c_str(), bar.c_str(),
               static_cast<int>(whole * 100), done, fractions_.size());
  std::fflush(stderr);
  drawn_ = true;
}

int32_t QRV_CALL ReportProgress(int32_t numerator, int32_t denominator, QrvUser user) {
  auto* slot = reinterpret_cast<ProgressSlot*>(user);
  if (slot != nullptr && slot->bar != nullptr) slot->bar->Report(slot->job, numerator, denominator);
  return Interrupted() ? 1 : 0;
}

}  // namespace qrv::host

// A progress callback for tests: records every call, and can ask to stop at
// the call numbered `stopAt` (0-based). The recorder travels as the user value.
#ifndef QRV_TESTS_PROGRESS_RECORDER_H
#define QRV_TESTS_PROGRESS_RECORDER_H

#include <utility>
#include <vector>

#include "qrvnel.h"

namespace qrv::test {

struct ProgressRecorder {
  int stopAt = -1;
  std::vector<std::pair<int32_t, int32_t>> calls;

  QrvUser user() { return reinterpret_cast<QrvUser>(this); }

  static int32_t QRV_CALL Callback(int32_t numerator, int32_t denominator, QrvUser user) {
    auto* self = reinterpret_cast<ProgressRecorder*>(user);
    self->calls.emplace_back(numerator, denominator);
    return static_cast<int>(self->calls.size()) - 1 == self->stopAt ? 1 : 0;
  }
};

}  // namespace qrv::test

#endif  // QRV_TESTS_PROGRESS_RECORDER_H

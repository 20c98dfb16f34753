// The one piece of C the page adds to a plug-in: a progress callback with the
// plug-in's signature that asks the page. The page's answer may take a while
// (it lets the worker read a Cancel), so the import below can suspend the
// export's whole call stack and resume it later.
#include <emscripten/emscripten.h>

#include "qrvnel.h"

extern "C" {

// Supplied by progress_library.js: the page's answer, nonzero to stop.
int32_t qw_progress(int32_t numerator, int32_t denominator);

static int32_t QRV_CALL ForwardProgress(int32_t numerator, int32_t denominator, QrvUser) {
  return qw_progress(numerator, denominator);
}

// The callback's address, for the page to pass to GetPicture and GetFile.
EMSCRIPTEN_KEEPALIVE ProgressCallback qw_progress_callback(void) { return &ForwardProgress; }

}  // extern "C"

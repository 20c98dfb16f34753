// The one generic fault sweep over the exports of both plug-ins: for a call
// (an export with one input kind), fail the 1st, 2nd, ... operation of each
// kind the test backend knows, and ask the progress callback to stop at each
// of its calls, until the call completes without reaching the fault. Each time
// the call must answer with the result code its failure is documented to give
// and leave nothing behind: no stream open, no block locked, no scratch name,
// no block handed to the host on failure, no output file where none may be.
// Calls that never reach the fault must give exactly the clean run's answer.
#ifndef QRV_TESTS_HARDENING_SWEEP_H
#define QRV_TESTS_HARDENING_SWEEP_H

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fault_platform.h"
#include "qrvnel.h"

extern "C" {
int32_t QRV_CALL IsSupported(char* filename, uintptr_t dw);
int32_t QRV_CALL GetPictureInfo(char* src, int32_t len, uint32_t flag, PictureInfo* info);
int32_t QRV_CALL GetPreview(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
int32_t QRV_CALL GetPicture(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
int32_t QRV_CALL GetArchiveInfo(char* src, int32_t len, uint32_t flag, QrvBlock* listing_out);
int32_t QRV_CALL GetFileInfo(char* src, int32_t len, char* name, uint32_t flag, FileInfo* info);
int32_t QRV_CALL GetFile(char* src, int32_t len, char* dest, uint32_t flag,
                         ProgressCallback progress, QrvUser user);
}

namespace qrv::hardening {

// What one call gave.
struct Outcome {
  int32_t rc = RC_OK;                // the result code, or IsSupported's answer
  std::vector<QrvBlock> handedOver;  // blocks the host now owns
  std::vector<uint8_t> delivered;    // records, block bytes or output file, to compare
  int32_t progressCalls = 0;         // how often the progress callback was called
};

// One export with one input kind.
struct SweepCall {
  std::string name;          // "GetPicture, file at an offset"
  bool answersOneOrZero;     // IsSupported: failures answer 0, a failed close nothing
  std::set<int32_t> onOpen;  // the codes a failed open may give
  std::string outputFile;    // the file the call writes, or empty
  // Runs the export; the progress callback (where there is one) asks to stop
  // at its call number `stopAt` (negative: never).
  std::function<Outcome(int32_t stopAt)> run;
};

// Fault points injected for one call, by kind (index kOpCount: progress stops).
struct SweepCount {
  int points[test::kOpCount + 1] = {};
  int total() const;
};

// Sweeps one call; GoogleTest failures name the call, the fault and the call
// number. Returns what was injected.
SweepCount Sweep(const SweepCall& call);

// A progress callback that asks to stop at call number `stopAt` of this
// object (the user value is its address).
struct StopAt {
  int32_t stopAt;
  int32_t calls = 0;
  static int32_t QRV_CALL Callback(int32_t numerator, int32_t denominator, QrvUser user);
  QrvUser user() { return reinterpret_cast<QrvUser>(this); }
};

// Prints the table of fault points per call, and their sum.
void PrintCounts(const std::string& title,
                 const std::vector<std::pair<std::string, SweepCount>>& counts);

}  // namespace qrv::hardening

#endif  // QRV_TESTS_HARDENING_SWEEP_H

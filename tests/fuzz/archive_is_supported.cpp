// IsSupported of the archive extractor, the head lent as a 2048-byte block:
// the input is the head (cut or zero-filled to 2048 bytes). The answer must be
// 1 or 0, and a walk that stops at the head's end must leave nothing behind.
#include "harness.h"

using namespace qrv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  std::vector<uint8_t> head(QRV_HEAD_SIZE, 0);
  for (size_t i = 0; i < size && i < head.size(); ++i) head[i] = data[i];
  char name[] = "archive.dat";
  int32_t answer = IsSupported(name, reinterpret_cast<uintptr_t>(head.data()));
  Require(answer == 0 || answer == 1, "IsSupported answered neither 1 nor 0");
  RequireNothingHeld();
  Require(qrv::test::LiveBlocks() == 0, "detection allocated a block");
  // A head is at least a valid first entry header with a nonzero size.
  if (answer == 1) {
    Require(ReadLe32(head, 0) != 0 && (head[8] | head[9]) != 0, "accepted a zero first header");
  }
  return 0;
}

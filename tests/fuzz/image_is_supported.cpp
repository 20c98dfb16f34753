// IsSupported of the image filter, the head lent as a 2048-byte block: the
// input is the head (cut or zero-filled to 2048 bytes). The answer must be 1
// or 0 and agree with the information export on the same bytes: detection and
// decoding share one header check.
#include "harness.h"

using namespace qrv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  std::vector<uint8_t> head(QRV_HEAD_SIZE, 0);
  for (size_t i = 0; i < size && i < head.size(); ++i) head[i] = data[i];
  char name[] = "picture";
  int32_t answer = IsSupported(name, reinterpret_cast<uintptr_t>(head.data()));
  Require(answer == 0 || answer == 1, "IsSupported answered neither 1 nor 0");
  RequireNothingHeld();
  Require(qrv::test::LiveBlocks() == 0, "detection allocated a block");

  PictureInfo info = {};
  int32_t rc = GetPictureInfo(reinterpret_cast<char*>(head.data()), QRV_HEAD_SIZE,
                              QRV_INPUT_MEMORY, &info);
  Require((rc == RC_OK) == (answer == 1), "detection and information disagree");
  RequireNothingHeld();
  return 0;
}

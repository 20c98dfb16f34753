// GetPictureInfo on a memory source (the input is the file) or, built with
// QRV_FUZZ_FILE_SOURCE, on a file source with an offset (the first input byte
// is the offset; that many filler bytes precede the picture in the file). On
// RC_OK the record must repeat the header; on failure it must be untouched.
#include <cstring>

#include "harness.h"

using namespace qrv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  Input input(data, size);
#if defined(QRV_FUZZ_FILE_SOURCE)
  const int32_t offset = input.Take();
  std::vector<uint8_t> picture = input.Rest();
  std::string path = WriteInputFile(static_cast<size_t>(offset), picture);
  char* src = path.data();
  const int32_t len = offset;
  const uint32_t flag = QRV_INPUT_FILE;
#else
  std::vector<uint8_t> picture = input.Rest();
  char* src = AsSource(picture);
  const int32_t len = static_cast<int32_t>(picture.size());
  // Bits above the input kind belong to the export and are ignored.
  const uint32_t flag = QRV_INPUT_MEMORY | (size > 0 ? (data[0] & 0xf0u) << 4 : 0);
#endif
  PictureInfo info;
  std::memset(&info, 0x5a, sizeof info);
  const PictureInfo untouched = info;
  int32_t rc = GetPictureInfo(src, len, flag, &info);
  Require(IsResultCode(rc), "not a result code");
  RequireNothingHeld();
  Require(qrv::test::LiveBlocks() == 0, "information allocated a block");
  if (rc == RC_OK) {
    Require(picture.size() >= 12, "a header from fewer than 12 bytes");
    Require(info.left == 0 && info.top == 0, "edges not 0");
    Require(info.width == ((picture[7] << 8) | picture[8]), "width");
    Require(info.height == ((picture[9] << 8) | picture[10]), "height");
    Require(info.colour_depth == picture[11], "depth");
    Require(info.x_density == 0 && info.y_density == 0 && info.text_handle == 0, "zero fields");
  } else {
    Require(std::memcmp(&info, &untouched, sizeof info) == 0, "record written on failure");
  }
  return 0;
}

// GetPicture on a memory source or, built with QRV_FUZZ_FILE_SOURCE, on a file
// source with an offset. The first input byte is an option: for a file source
// the offset, for a memory source the progress call that asks to stop (0x80
// and above: none). The rest is the picture. Pictures that would need more
// than kMaxPixelBytes are left out.
//
// Checked: blocks leave unlocked and owned by the host on RC_OK and are gone
// otherwise; the bitmap header matches the file header; progress runs 0 to
// height in order; an abort answers RC_ABORTED; the pixel block's stride
// padding stays zero (ASan covers writes outside the blocks).
#include <cstring>

#include "harness.h"

using namespace qrv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  Input input(data, size);
  const uint8_t option = input.Take();
  std::vector<uint8_t> picture = input.Rest();
  if (PixelBytes(picture) > kMaxPixelBytes) return 0;
  Progress progress;
#if defined(QRV_FUZZ_FILE_SOURCE)
  std::string path = WriteInputFile(option, picture);
  char* src = path.data();
  const int32_t len = option;
  const uint32_t flag = QRV_INPUT_FILE;
#else
  char* src = AsSource(picture);
  const int32_t len = static_cast<int32_t>(picture.size());
  const uint32_t flag = QRV_INPUT_MEMORY;
  if (option < 0x80) progress.stopAt = option;
#endif
  QrvBlock infoBlock = nullptr;
  QrvBlock bitsBlock = nullptr;
  int32_t rc = GetPicture(src, len, flag, &infoBlock, &bitsBlock, &Progress::Callback,
                          progress.user());
  Require(IsResultCode(rc), "not a result code");
  RequireNothingHeld();
  Require(progress.ordered, "progress out of order");
  if (progress.stopAt >= 0 && progress.calls > progress.stopAt) {
    Require(rc == RC_ABORTED, "an abort did not answer RC_ABORTED");
  }
  if (rc != RC_OK) {
    Require(qrv::test::LiveBlocks() == 0, "a block was left behind by a failed call");
    return 0;
  }
  const int32_t width = (picture[7] << 8) | picture[8];
  const int32_t height = (picture[9] << 8) | picture[10];
  const int32_t bytesPerPixel = picture[11] / 8;
  const uint32_t stride = (static_cast<uint32_t>(width * bytesPerPixel) + 3u) & ~3u;
  Require(progress.calls == height + 1 && progress.denominator == height, "progress count");
  Require(infoBlock != nullptr && bitsBlock != nullptr, "RC_OK without both blocks");
  QrvBitmapHeader header;
  std::memcpy(&header, infoBlock, sizeof header);
  Require(header.size == 40 && header.width == width && header.height == height, "header size");
  Require(header.planes == 1 && header.bit_count == picture[11], "header depth");
  Require(header.image_size == stride * static_cast<uint32_t>(height), "header image size");
  // The padding that rounds a row up to the stride stays zero.
  const auto* pixels = static_cast<const uint8_t*>(bitsBlock);
  const uint32_t used = static_cast<uint32_t>(width * bytesPerPixel);
  for (int32_t row = 0; row < height; ++row) {
    for (uint32_t at = used; at < stride; ++at) {
      Require(pixels[static_cast<size_t>(row) * stride + at] == 0, "row padding written");
    }
  }
  TakeBlock(infoBlock, "header block not live and unlocked");
  TakeBlock(bitsBlock, "pixel block not live and unlocked");
  Require(qrv::test::LiveBlocks() == 0, "more blocks than the two handed over");
  return 0;
}

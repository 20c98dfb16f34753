// Round trip through the picture writer: the input chooses a picture (width
// and height 1 to 64, 8 or 24 bits, the writer's run splitter) and its samples,
// the writer encodes it, and GetPicture must give back exactly those samples,
// bottom-up, with zero row padding.
//
// Input: width - 1, height - 1 (each taken mod 64), a byte whose bit 0 picks 24
// bits and whose other bits seed the splitter (0: the default one), then the
// samples, repeated as needed.
#include <cstring>

#include "harness.h"
#include "picture_writer.h"

using namespace qrv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BeginInput();
  Input input(data, size);
  const uint32_t width = 1u + input.Take() % 64u;
  const uint32_t height = 1u + input.Take() % 64u;
  const uint8_t mode = input.Take();
  const int bits = (mode & 1) != 0 ? 24 : 8;
  const uint32_t bytesPerPixel = static_cast<uint32_t>(bits / 8);
  std::vector<uint8_t> pool = input.Rest();
  std::vector<uint8_t> samples(width * height * bytesPerPixel, 0);
  for (size_t i = 0; i < samples.size() && !pool.empty(); ++i) samples[i] = pool[i % pool.size()];

  qrv::writer::PictureOptions options;
  options.randomSeed = mode >> 1;
  std::vector<uint8_t> file;
  std::string error;
  Require(qrv::writer::EncodePicture(width, height, bits, samples, &file, &error, options),
          "the writer refused a valid picture");

  PictureInfo info = {};
  Require(GetPictureInfo(AsSource(file), static_cast<int32_t>(file.size()), QRV_INPUT_MEMORY,
                         &info) == RC_OK,
          "GetPictureInfo refused a written picture");
  Require(info.width == static_cast<int32_t>(width) && info.height == static_cast<int32_t>(height) &&
              info.colour_depth == bits,
          "information differs from what was written");

  QrvBlock infoBlock = nullptr;
  QrvBlock bitsBlock = nullptr;
  int32_t rc = GetPicture(AsSource(file), static_cast<int32_t>(file.size()), QRV_INPUT_MEMORY,
                          &infoBlock, &bitsBlock, nullptr, 0);
  RequireNothingHeld();
  Require(rc == RC_OK, "GetPicture refused a written picture");
  const uint32_t rowBytes = width * bytesPerPixel;
  const uint32_t stride = (rowBytes + 3u) & ~3u;
  const auto* pixels = static_cast<const uint8_t*>(bitsBlock);
  for (uint32_t row = 0; row < height; ++row) {
    const uint8_t* decoded = pixels + static_cast<size_t>(height - 1 - row) * stride;
    Require(std::memcmp(decoded, samples.data() + static_cast<size_t>(row) * rowBytes, rowBytes) == 0,
            "decoded samples differ from the written ones");
    for (uint32_t at = rowBytes; at < stride; ++at) Require(decoded[at] == 0, "row padding");
  }
  TakeBlock(infoBlock, "header block not live and unlocked");
  TakeBlock(bitsBlock, "pixel block not live and unlocked");
  Require(qrv::test::LiveBlocks() == 0, "more blocks than the two handed over");
  return 0;
}

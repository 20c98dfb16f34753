// Shared by the image suites: test pictures (flat, noisy, gradient content),
// their expected bitmap, header bytes field by field, and one GetPicture call
// through a given export with its blocks read back and given up the host's way.
#ifndef QRV_TESTS_IMAGE_PICTURE_SAMPLES_H
#define QRV_TESTS_IMAGE_PICTURE_SAMPLES_H

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "qrvnel.h"

namespace qrv::test {

using Bytes = std::vector<uint8_t>;

enum class Content { kFlat, kNoisy, kGradient, kMixed };

struct Sampled {
  uint32_t width;
  uint32_t height;
  int bits;
  Bytes samples;  // rows from the top, channel c at byte c of each pixel
};

Sampled RandomPicture(std::mt19937_64& rng, uint32_t maxWidth, uint32_t maxHeight);
Bytes MakeSamples(std::mt19937_64& rng, uint32_t width, uint32_t height, int channels,
                  Content content);

// The writer's file, failing the test when it refuses.
Bytes Encode(const Sampled& picture, uint64_t seed = 0);

// The bottom-up pixel block the samples should decode to.
Bytes ExpectedPixels(const Sampled& picture);

// `count` filler bytes, then `data`: a file whose content starts at an offset.
Bytes AfterFiller(size_t count, uint8_t filler, const Bytes& data);

// A header, field by field: stored size, signature, width, height, depth.
Bytes Header(uint32_t storedSize, const char* signature, uint16_t width, uint16_t height,
             uint8_t bits);

struct Decoded {
  int32_t rc = -100;
  Bytes info;
  Bytes pixels;
  std::vector<std::pair<int32_t, int32_t>> progress;
  bool nullAfterFailure = false;  // both handles null when rc != RC_OK
};

// The host's side: gives up a handed-over block; false when it was not a live,
// unlocked block.
using ReleaseHostBlock = bool (*)(BlockHandle);

// GetPicture from memory with a recording callback answering nonzero on call
// number `abortAt` (0-based, -1 never). On success reads both blocks (sizes from
// the bitmap header) and releases them.
Decoded DecodeWith(GetPictureFn getPicture, ReleaseHostBlock release, const Bytes& file,
                   int abortAt = -1, bool nullCallback = false);

}  // namespace qrv::test

#endif  // QRV_TESTS_IMAGE_PICTURE_SAMPLES_H

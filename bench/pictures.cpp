// Picture generators for the benchmark. Cheap integer arithmetic only: the
// 4096x4096 picture is made in well under a second.
#include "pictures.h"

#include <algorithm>
#include <array>

namespace qrv::bench {

namespace {

using Colour = std::array<uint8_t, 3>;

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// A smoothstep weight 0..256 for position `offset` within a cell of `cell`.
int Smooth(uint32_t offset, uint32_t cell) {
  int64_t t = (int64_t{offset} << 8) / cell;  // 0..255
  return static_cast<int>((t * t * (768 - 2 * t)) >> 16);
}

void FillRect(Picture* picture, int32_t left, int32_t top, int32_t right, int32_t bottom,
              const Colour& colour) {
  const uint32_t bpp = picture->BytesPerPixel();
  left = std::max(left, 0);
  top = std::max(top, 0);
  right = std::min(right, static_cast<int32_t>(picture->width));
  bottom = std::min(bottom, static_cast<int32_t>(picture->height));
  for (int32_t y = top; y < bottom; ++y) {
    uint8_t* row = picture->samples.data() + uint64_t(y) * picture->width * bpp;
    for (int32_t x = left; x < right; ++x)
      for (uint32_t c = 0; c < bpp; ++c) row[uint64_t(x) * bpp + c] = colour[c];
  }
}

void FillDisc(Picture* picture, int32_t cx, int32_t cy, int32_t radius, const Colour& colour) {
  for (int32_t dy = -radius; dy <= radius; ++dy) {
    int32_t half = 0;
    while ((half + 1) * (half + 1) + dy * dy <= radius * radius) ++half;
    FillRect(picture, cx - half, cy + dy, cx + half + 1, cy + dy + 1, colour);
  }
}

Colour RandomColour(Random& random) {
  return {static_cast<uint8_t>(random.Below(256)), static_cast<uint8_t>(random.Below(256)),
          static_cast<uint8_t>(random.Below(256))};
}

}  // namespace

Picture MakePhotoLike(const std::string& name, uint32_t width, uint32_t height,
                      int bitsPerPixel, uint64_t seed) {
  Picture picture{name, width, height, bitsPerPixel, {}};
  const uint32_t bpp = picture.BytesPerPixel();
  picture.samples.resize(picture.PixelBytes());
  Random random(seed);

  // A coarse grid of colours; each pixel blends the four around it.
  constexpr uint32_t kCell = 160;
  const uint32_t gridWidth = width / kCell + 2;
  const uint32_t gridHeight = height / kCell + 2;
  std::vector<int> grid(size_t{gridWidth} * gridHeight * bpp);
  for (size_t i = 0; i < size_t{gridWidth} * gridHeight; ++i) {
    int luma = 30 + static_cast<int>(random.Below(196));
    for (uint32_t c = 0; c < bpp; ++c)
      grid[i * bpp + c] = Clamp(luma + static_cast<int>(random.Below(61)) - 30);
  }
  std::vector<int> weightX(width);
  for (uint32_t x = 0; x < width; ++x) weightX[x] = Smooth(x % kCell, kCell);

  uint64_t noiseBits = 0;
  int noiseLeft = 0;
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t gy = y / kCell;
    const int wy = Smooth(y % kCell, kCell);
    uint8_t* row = picture.samples.data() + uint64_t{y} * width * bpp;
    for (uint32_t x = 0; x < width; ++x) {
      const uint32_t gx = x / kCell;
      const int wx = weightX[x];
      const int* g00 = &grid[(size_t{gy} * gridWidth + gx) * bpp];
      const int* g01 = g00 + bpp;
      const int* g10 = g00 + size_t{gridWidth} * bpp;
      const int* g11 = g10 + bpp;
      for (uint32_t c = 0; c < bpp; ++c) {
        int top = g00[c] * (256 - wx) + g01[c] * wx;
        int bottom = g10[c] * (256 - wx) + g11[c] * wx;
        int value = (top * (256 - wy) + bottom * wy) >> 16;
        if (noiseLeft == 0) {
          noiseBits = random.Next();
          noiseLeft = 16;
        }
        // Binomial noise -2..2: the sum of four bits minus two.
        int noise = static_cast<int>(__builtin_popcountll(noiseBits & 15)) - 2;
        noiseBits >>= 4;
        --noiseLeft;
        row[uint64_t{x} * bpp + c] = Clamp(value + noise);
      }
    }
  }

  // Flat areas: walls, sky, signs.
  const uint64_t area = uint64_t{width} * height;
  uint64_t covered = 0;
  while (covered < area / 5) {
    const int32_t w = static_cast<int32_t>(width / 12 + random.Below(width / 5 + 1));
    const int32_t h = static_cast<int32_t>(height / 12 + random.Below(height / 5 + 1));
    const int32_t left = static_cast<int32_t>(random.Below(width));
    const int32_t top = static_cast<int32_t>(random.Below(height));
    const Colour colour = RandomColour(random);
    if (random.Below(3) == 0) {
      FillDisc(&picture, left, top, std::min(w, h) / 2, colour);
      covered += uint64_t(w / 2) * uint64_t(h / 2) * 3;
    } else {
      FillRect(&picture, left, top, left + w, top + h, colour);
      covered += uint64_t(w) * uint64_t(h);
    }
  }
  return picture;
}

Picture MakeUiLike(const std::string& name, uint32_t width, uint32_t height, uint64_t seed) {
  Picture picture{name, width, height, 24, {}};
  picture.samples.resize(picture.PixelBytes());
  Random random(seed);
  const auto w = static_cast<int32_t>(width);
  const auto h = static_cast<int32_t>(height);
  const Colour kDesktop = {165, 110, 58};
  const Colour kBorder = {100, 100, 100};
  const Colour kBody = {240, 240, 240};
  const Colour kInk = {20, 20, 20};
  const Colour kButton = {225, 225, 225};

  FillRect(&picture, 0, 0, w, h, kDesktop);
  FillRect(&picture, 0, h - 40, w, h, {48, 48, 48});  // task bar
  for (int32_t i = 0; i < 10; ++i)
    FillRect(&picture, 8 + i * 48, h - 34, 36 + i * 48, h - 6, RandomColour(random));

  for (int window = 0; window < 7; ++window) {
    const int32_t ww = 300 + static_cast<int32_t>(random.Below(600));
    const int32_t wh = 200 + static_cast<int32_t>(random.Below(400));
    const auto left = static_cast<int32_t>(random.Below(static_cast<uint32_t>(std::max(w - ww, 1))));
    const auto top =
        static_cast<int32_t>(random.Below(static_cast<uint32_t>(std::max(h - 40 - wh, 1))));
    FillRect(&picture, left, top, left + ww, top + wh, kBorder);
    FillRect(&picture, left + 1, top + 1, left + ww - 1, top + 25, RandomColour(random));
    FillRect(&picture, left + 1, top + 25, left + ww - 1, top + wh - 1, kBody);

    // Text: lines of 5x7 glyphs in 6x12 cells.
    for (int32_t line = top + 34; line + 12 < top + wh - 40; line += 14) {
      int32_t length = static_cast<int32_t>(random.Below(static_cast<uint32_t>(ww / 6)));
      for (int32_t g = 0; g < length && left + 10 + g * 6 + 6 < left + ww - 4; ++g) {
        if (random.Below(6) == 0) continue;  // a space
        uint64_t bits = random.Next();
        for (int32_t gy = 0; gy < 7; ++gy)
          for (int32_t gx = 0; gx < 5; ++gx)
            if ((bits >> (gy * 5 + gx)) & 1)
              FillRect(&picture, left + 10 + g * 6 + gx, line + gy, left + 11 + g * 6 + gx,
                       line + gy + 1, kInk);
      }
    }
    // Two buttons at the bottom right.
    for (int32_t b = 0; b < 2; ++b) {
      const int32_t bl = left + ww - 180 + b * 88;
      const int32_t bt = top + wh - 34;
      FillRect(&picture, bl, bt, bl + 80, bt + 26, kBorder);
      FillRect(&picture, bl + 1, bt + 1, bl + 79, bt + 25, kButton);
    }
  }
  return picture;
}

std::vector<uint8_t> MakeNoise(size_t count, uint64_t seed) {
  std::vector<uint8_t> bytes(count);
  Random random(seed);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    uint64_t word = random.Next();
    for (int k = 0; k < 8; ++k) bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
  }
  for (; i < count; ++i) bytes[i] = static_cast<uint8_t>(random.Next());
  return bytes;
}

}  // namespace qrv::bench

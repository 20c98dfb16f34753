// The benchmark's pictures: deterministic, seeded samples in the picture
// writer's layout (rows from the top, pixel x at x * bytes per pixel). No
// external data; the same seed gives the same bytes on every machine.
#ifndef QRV_BENCH_PICTURES_H
#define QRV_BENCH_PICTURES_H

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::bench {

struct Picture {
  std::string name;
  uint32_t width = 0;
  uint32_t height = 0;
  int bitsPerPixel = 24;
  std::vector<uint8_t> samples;

  uint32_t BytesPerPixel() const { return static_cast<uint32_t>(bitsPerPixel / 8); }
  uint64_t PixelBytes() const { return uint64_t{width} * height * BytesPerPixel(); }
};

// splitmix64: small, fast and good enough for test pictures and payloads.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }

 private:
  uint64_t state_;
};

// Smooth gradients from a coarse random grid, mild noise (-2..2) and some flat
// areas (rectangles and discs of one colour, about a fifth of the picture).
Picture MakePhotoLike(const std::string& name, uint32_t width, uint32_t height,
                      int bitsPerPixel, uint64_t seed);

// A desktop: flat background and windows, one-pixel borders, title bars,
// buttons and rows of glyph-like text with sharp edges.
Picture MakeUiLike(const std::string& name, uint32_t width, uint32_t height, uint64_t seed);

// `count` bytes of seeded noise, for archive payloads.
std::vector<uint8_t> MakeNoise(size_t count, uint64_t seed);

}  // namespace qrv::bench

#endif  // QRV_BENCH_PICTURES_H

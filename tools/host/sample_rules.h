// How PNG samples become the 8-bit samples of a picture, the same on every
// build: in the file's own values (no gamma conversion), 16-bit samples
// rounded to the nearest 8-bit value, alpha laid over white, as image
// converters do. Shared by `qrv encode` and the Python package's writer.
#ifndef QRV_HOST_SAMPLE_RULES_H
#define QRV_HOST_SAMPLE_RULES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qrv::host {

// A 16-bit sample to 8 bits, rounded to the nearest.
inline uint8_t Round16(uint32_t v) { return static_cast<uint8_t>((v * 255u + 32767u) / 65535u); }

// `c` laid over white by `a`, both on a scale whose top is `top`, rounded.
inline uint32_t OverWhite(uint32_t c, uint32_t a, uint32_t top) {
  return (c * a + top * (top - a) + top / 2) / top;
}

// Rows of samples in PNG's order (grey; grey, alpha; red, green, blue; or
// red, green, blue, alpha), 8-bit or 16-bit big-endian words, `rowBytes`
// apart, as the picture writer takes them: grey without alpha stays one
// channel of levels; everything else becomes blue, green, red, with alpha laid
// over white at the samples' own depth before 16 bits are rounded to 8. Grey
// with alpha gives the same level in each channel. Returns the picture's bits
// per pixel, 8 or 24.
inline int RowsToPictureSamples(const uint8_t* rows, size_t rowBytes, uint32_t width,
                                uint32_t height, unsigned channels, bool wide,
                                std::vector<uint8_t>* samples) {
  const bool grey = channels == 1;
  const bool alpha = channels == 2 || channels == 4;
  const uint32_t top = wide ? 65535u : 255u;
  const size_t outChannels = grey ? 1 : 3;
  samples->resize(size_t{width} * height * outChannels);
  uint8_t* out = samples->data();
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* in = rows + y * rowBytes;
    for (uint32_t x = 0; x < width; ++x) {
      uint32_t sample[4];  // big-endian words at 16 bits
      for (unsigned c = 0; c < channels; ++c, in += wide ? 2 : 1) {
        sample[c] = wide ? (static_cast<uint32_t>(in[0]) << 8 | in[1]) : in[0];
      }
      const uint32_t a = alpha ? sample[channels - 1] : top;
      auto eight = [&](uint32_t value) {
        uint32_t laid = OverWhite(value, a, top);
        return wide ? Round16(laid) : static_cast<uint8_t>(laid);
      };
      if (grey) {
        *out++ = eight(sample[0]);
      } else if (channels == 2) {
        uint8_t level = eight(sample[0]);
        *out++ = level;
        *out++ = level;
        *out++ = level;
      } else {  // the picture's channels are blue, green, red
        *out++ = eight(sample[2]);
        *out++ = eight(sample[1]);
        *out++ = eight(sample[0]);
      }
    }
  }
  return grey ? 8 : 24;
}

}  // namespace qrv::host

#endif  // QRV_HOST_SAMPLE_RULES_H

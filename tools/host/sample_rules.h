// How PNG samples become the 8-bit samples of a picture, the same on every
// build: in the file's own values (no gamma conversion), 16-bit samples
// rounded to the nearest 8-bit value, alpha laid over white, as image
// converters do.
#ifndef QRV_HOST_SAMPLE_RULES_H
#define QRV_HOST_SAMPLE_RULES_H

#include <cstdint>

namespace qrv::host {

// A 16-bit sample to 8 bits, rounded to the nearest.
inline uint8_t Round16(uint32_t v) { return static_cast<uint8_t>((v * 255u + 32767u) / 65535u); }

// `c` laid over white by `a`, both on a scale whose top is `top`, rounded.
inline uint32_t OverWhite(uint32_t c, uint32_t a, uint32_t top) {
  return (c * a + top * (top - a) + top / 2) / top;
}

}  // namespace qrv::host

#endif  // QRV_HOST_SAMPLE_RULES_H

// The PNG side of the comparison: libpng writes the reference PNG of each
// picture (default compression), and libspng and libpng decode it from memory
// into a buffer they are given.
#ifndef QRV_BENCH_PNG_CODECS_H
#define QRV_BENCH_PNG_CODECS_H

#include <cstdint>
#include <string>
#include <vector>

#include "pictures.h"

namespace qrv::bench {

// The picture as an RGB or greyscale PNG (samples stored as they are), with
// libpng's default compression and filters. Throws on failure.
std::vector<uint8_t> EncodePng(const Picture& picture);

// Decodes `png` into `out`, which holds width x height x channels bytes, rows
// from the top without padding. False with `error` set on failure.
bool DecodeWithSpng(const std::vector<uint8_t>& png, uint8_t* out, size_t outSize,
                    std::string* error);
bool DecodeWithLibpng(const std::vector<uint8_t>& png, uint8_t* out, size_t outSize,
                      std::string* error);

}  // namespace qrv::bench

#endif  // QRV_BENCH_PNG_CODECS_H

// The QOI side of the comparison: the header-only codec, each picture encoded
// once and decoded from memory into a block the codec allocates (as GetPicture
// allocates its own). QOI has RGB and RGBA only: no 8-bit grey pictures.
#ifndef QRV_BENCH_QOI_CODEC_H
#define QRV_BENCH_QOI_CODEC_H

#include <cstdint>
#include <string>
#include <vector>

#include "pictures.h"

namespace qrv::bench {

// Whether QOI can hold the picture as it is (24-bit pictures only).
bool QoiHolds(const Picture& picture);

// The picture as a 3-channel QOI image. Throws on failure.
std::vector<uint8_t> EncodeQoi(const Picture& picture);

// Decodes `qoi` into a block of its own (malloc) and returns it, or null with
// `error` set; the caller frees it with free(). The size is width x height x 3.
uint8_t* DecodeQoi(const std::vector<uint8_t>& qoi, std::string* error);

}  // namespace qrv::bench

#endif  // QRV_BENCH_QOI_CODEC_H

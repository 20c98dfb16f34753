// Writes Quorvanel CG pictures: the 12-byte header and the row-channel sample
// stream, from plain samples. Used by the tests, the benchmarks and the
// command-line host; never by the plug-ins.
#ifndef QRV_TOOLS_PICTURE_WRITER_H
#define QRV_TOOLS_PICTURE_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::writer {

struct PictureOptions {
  // 0: the default run splitter (zero runs for repeated samples, otherwise the
  // narrowest width field for each run). Nonzero: a seeded splitter that cuts
  // runs at random points and widens width fields; still a valid stream.
  uint64_t randomSeed = 0;
  // The header's stored-size field; by default width x height x bytes per pixel.
  bool overrideStoredSize = false;
  uint32_t storedSize = 0;
};

// Encodes a picture of `width` x `height` pixels at 8 or 24 bits per pixel.
// `samples` holds the rows from the top, width x (bits / 8) bytes each, pixel x
// of a row at x x (bits / 8), channel c of the file at byte c of the pixel
// (byte 0 is blue in the decoded bitmap). Returns false with `error` set for a
// zero dimension, an unsupported depth or too few samples.
bool EncodePicture(uint32_t width, uint32_t height, int bitsPerPixel,
                   const std::vector<uint8_t>& samples, std::vector<uint8_t>* out,
                   std::string* error, const PictureOptions& options = {});

}  // namespace qrv::writer

#endif  // QRV_TOOLS_PICTURE_WRITER_H

// The one translation unit that holds the QOI codec's implementation.
#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include "qoi_codec.h"

#include <qoi.h>

#include <cstdlib>
#include <stdexcept>

namespace qrv::bench {

bool QoiHolds(const Picture& picture) { return picture.bitsPerPixel == 24; }

std::vector<uint8_t> EncodeQoi(const Picture& picture) {
  if (!QoiHolds(picture)) throw std::runtime_error("QOI holds no " + picture.name);
  qoi_desc desc = {picture.width, picture.height, 3, QOI_SRGB};
  int size = 0;
  void* encoded = qoi_encode(picture.samples.data(), &desc, &size);
  if (encoded == nullptr) throw std::runtime_error("QOI cannot encode " + picture.name);
  const auto* bytes = static_cast<const uint8_t*>(encoded);
  std::vector<uint8_t> out(bytes, bytes + size);
  std::free(encoded);
  return out;
}

uint8_t* DecodeQoi(const std::vector<uint8_t>& qoi, std::string* error) {
  qoi_desc desc = {};
  void* pixels = qoi_decode(qoi.data(), static_cast<int>(qoi.size()), &desc, 3);
  if (pixels == nullptr) *error = "QOI decode failed";
  return static_cast<uint8_t*>(pixels);
}

}  // namespace qrv::bench

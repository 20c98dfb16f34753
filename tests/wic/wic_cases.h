// The pictures and the damaged inputs that every path of the codec DLL is
// tested with, natively and under Wine: one table of each, made by the
// project's picture writer.
#ifndef QRV_TESTS_WIC_CASES_H
#define QRV_TESTS_WIC_CASES_H

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::test {

using Bytes = std::vector<uint8_t>;

struct PictureCase {
  std::string name;
  uint32_t width;
  uint32_t height;
  int bits;  // 8 or 24
  // Rows from the top, width x bits / 8 bytes each: colour indices, or blue,
  // green, red. What the decoder must give back.
  Bytes samples;
  Bytes file;
};

// 8-bit with odd widths, 24-bit, 1x1, tall and wide.
std::vector<PictureCase> PictureCases();

// How a damaged input must fail.
enum class Failure {
  kNotPicture,  // refused from its header
  kTooLarge,    // a header over the pixel limit
  kEndsEarly,   // the header is fine, the codes end before the picture does
  kDamaged,     // the header is fine, the codes are not
};

struct DamagedCase {
  std::string name;
  Bytes file;
  Failure failure;
};

std::vector<DamagedCase> DamagedCases();

}  // namespace qrv::test

#endif  // QRV_TESTS_WIC_CASES_H

// PNG files through libpng, where the build has it.
#ifndef QRV_HOST_PNG_FILE_H
#define QRV_HOST_PNG_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap_file.h"

namespace qrv::host {

// False on builds made without libpng; the PNG routines then fail with a
// message that says so.
bool PngAvailable();

// Grey levels become a greyscale PNG, a colour table a palette PNG, three
// channels an RGB PNG.
bool EncodePng(const Image& image, std::vector<uint8_t>* out, std::string* error);

// Greyscale without alpha becomes one channel of grey levels; everything else
// three channels, with transparency laid over white.
bool DecodePng(const std::vector<uint8_t>& bytes, Image* image, std::string* error);

}  // namespace qrv::host

#endif  // QRV_HOST_PNG_FILE_H

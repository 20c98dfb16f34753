// A limit on a picture's pixel count, checked from the header before anything
// is decoded, so that a small hostile file cannot make qrv claim gigabytes.
#ifndef QRV_HOST_PIXEL_LIMIT_H
#define QRV_HOST_PIXEL_LIMIT_H

#include <cstdint>
#include <string>

#include "commands.h"
#include "default_pixel_limit.h"

namespace qrv::host {

// The limit the command line asks for (--max-pixels N; 0: none). False with
// `error` set when N is not a number.
bool MaxPixels(const Context& context, uint64_t* limit, std::string* error);

// Empty when `width` x `height` is within `limit` (0: no limit), else the
// message for `path`, naming the limit and the option that changes it.
std::string CheckPixelCount(const std::string& path, int64_t width, int64_t height,
                            uint64_t limit);

}  // namespace qrv::host

#endif  // QRV_HOST_PIXEL_LIMIT_H

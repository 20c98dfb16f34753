// The pixel count above which a picture is refused unless the user asks for
// more: what mature imaging libraries refuse (they warn above about 89
// million pixels and stop at twice that). On its own, without qrv's command
// types, so that the Windows codec applies the same limit.
#ifndef QRV_HOST_DEFAULT_PIXEL_LIMIT_H
#define QRV_HOST_DEFAULT_PIXEL_LIMIT_H

#include <stdint.h>

namespace qrv::host {

constexpr uint64_t kDefaultMaxPixels = 178956970;  // 2 x 89,478,485

}  // namespace qrv::host

#endif  // QRV_HOST_DEFAULT_PIXEL_LIMIT_H

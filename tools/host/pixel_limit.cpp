#include "pixel_limit.h"

#include "file_system.h"

namespace qrv::host {

bool MaxPixels(const Context& context, uint64_t* limit, std::string* error) {
  *limit = kDefaultMaxPixels;
  if (!context.args.Has("max-pixels")) return true;
  const std::string text = context.args.Value("max-pixels");
  bool digits = !text.empty() && text.size() <= 19;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) {
    *error = "--max-pixels needs a number of pixels (0 for no limit), not " + Shown(text);
    return false;
  }
  *limit = std::stoull(text);
  return true;
}

std::string CheckPixelCount(const std::string& path, int64_t width, int64_t height,
                            uint64_t limit) {
  if (width < 0 || height < 0) return {};  // the decoder judges such a header itself
  const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (limit == 0 || pixels <= limit) return {};
  return Shown(path) + ": " + std::to_string(width) + " x " + std::to_string(height) + " = " +
         std::to_string(pixels) + " pixels, more than the limit of " + std::to_string(limit) +
         " (raise it with --max-pixels N, or lift it with --max-pixels 0)";
}

}  // namespace qrv::host

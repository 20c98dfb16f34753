// What the Python package needs beyond the plug-ins' exports, with plain C
// entry points for ctypes: the picture writer behind `Image.save` (with the
// sample rules of `qrv encode`), and qrv's wording of the plug-ins' result
// codes. The package reads pictures and archives only through the plug-ins;
// this library never decodes anything.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "messages.h"
#include "picture_writer.h"
#include "qrvnel.h"
#include "sample_rules.h"

#if defined(_WIN32)
#define QRV_HELPER_EXPORT extern "C" __declspec(dllexport)
#else
#define QRV_HELPER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Copies `text` into the caller's buffer, cut to fit and always terminated.
void CopyText(const std::string& text, char* buf, size_t size) {
  if (buf == nullptr || size == 0) return;
  const size_t length = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buf, text.data(), length);
  buf[length] = '\0';
}

}  // namespace

// Encodes `width` x `height` pixels of `channels` samples each (1 grey, 2 grey
// and alpha, 3 red green blue, 4 with alpha; `bitsPerSample` 8, or 16 as
// big-endian words), rows from the top with no padding, as a Quorvanel CG
// picture by the rules `qrv encode` applies to PNG samples. On success returns
// 0 with *out a malloc block of *outSize bytes that the caller releases with
// QrvFreeEncoded; otherwise nonzero with the reason in `error`.
QRV_HELPER_EXPORT int32_t QrvEncodePicture(uint32_t width, uint32_t height, uint32_t channels,
                                           uint32_t bitsPerSample, const uint8_t* samples,
                                           size_t size, uint8_t** out, size_t* outSize,
                                           char* error, size_t errorSize) {
  *out = nullptr;
  *outSize = 0;
  if (channels < 1 || channels > 4 || (bitsPerSample != 8 && bitsPerSample != 16)) {
    CopyText("samples must have 1 to 4 channels of 8 or 16 bits", error, errorSize);
    return 1;
  }
  if (width == 0 || height == 0 || width > 65535 || height > 65535) {
    CopyText("width and height must be 1 to 65535", error, errorSize);
    return 1;
  }
  const size_t rowBytes = size_t{width} * channels * (bitsPerSample / 8);
  if (size != rowBytes * height) {
    CopyText("the samples do not fill the picture", error, errorSize);
    return 1;
  }
  // Not a C++ exception may cross into the caller.
  try {
    std::vector<uint8_t> pictureSamples;
    const int bits = qrv::host::RowsToPictureSamples(samples, rowBytes, width, height, channels,
                                                     bitsPerSample == 16, &pictureSamples);
    std::vector<uint8_t> encoded;
    std::string reason;
    if (!qrv::writer::EncodePicture(width, height, bits, pictureSamples, &encoded, &reason)) {
      CopyText(reason, error, errorSize);
      return 1;
    }
    auto* block = static_cast<uint8_t*>(std::malloc(encoded.size()));
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, encoded.data(), encoded.size());
    *out = block;
    *outSize = encoded.size();
    return 0;
  } catch (const std::bad_alloc&) {
    CopyText("not enough memory", error, errorSize);
    return 1;
  }
}

QRV_HELPER_EXPORT void QrvFreeEncoded(uint8_t* block) { std::free(block); }

// qrv's message for the result code `rc` of an export, worded for what was
// asked (`doing`: 0 picture information, 1 picture, 2 listing, 3 lookup, 4
// extraction; `target` names the entry where the wording needs one). Returns
// the message's full length; the buffer gets as much as fits.
QRV_HELPER_EXPORT size_t QrvResultMessage(int32_t rc, int32_t doing, const char* target,
                                          char* buf, size_t size) {
  using qrv::host::Doing;
  static constexpr Doing kDoings[] = {Doing::kPictureInfo, Doing::kPicture, Doing::kListing,
                                      Doing::kLookup, Doing::kExtract};
  const Doing what = doing >= 0 && doing < 5 ? kDoings[doing] : Doing::kPicture;
  std::string text;
  try {
    text = qrv::host::ResultMessage(rc, what, target != nullptr ? target : "");
  } catch (const std::bad_alloc&) {
    text.clear();
  }
  CopyText(text, buf, size);
  return text.size();
}

// The exports of the image filter, ifqrvnel: what the host calls by name. Each
// one opens its source, works through the format code, closes and releases on
// one path.
#include "header.h"
#include "picture.h"
#include "plugin.h"

namespace {

constexpr const char* kInfoTable[] = {
    "00IN",
    "Quorvanel CG to DIB filter ver0.02",
    "*",
    "Quorvanel CG (*)",
    nullptr,
};

}  // namespace

QRV_EXPORT int32_t QRV_CALL GetPluginInfo(int32_t infono, char* buf, int32_t buflen) {
  return qrv::CopyInfoString(kInfoTable, infono, buf, buflen);
}

QRV_EXPORT int32_t QRV_CALL IsSupported(char* filename, uintptr_t dw) {
  qrv::StreamHandle stream = nullptr;
  if (qrv::OpenProbe(&stream, filename, dw) != RC_OK) return 0;
  qrv::ImageHeader header;
  int32_t answer = qrv::ReadImageHeader(stream, &header) == RC_OK ? 1 : 0;
  // The answer stays 1 or 0 whatever the close says.
  (void)qrv::platform::Close(stream);
  return answer;
}

QRV_EXPORT int32_t QRV_CALL GetPictureInfo(char* src, int32_t len, uint32_t flag,
                                           PictureInfo* info) {
  qrv::StreamHandle stream = nullptr;
  int32_t rc = qrv::OpenSource(&stream, src, len, flag);
  if (rc != RC_OK) return rc;
  qrv::ImageHeader header;
  rc = qrv::ReadImageHeader(stream, &header);
  if (rc == RC_OK) {
    info->left = 0;
    info->top = 0;
    info->width = header.width;
    info->height = header.height;
    info->x_density = 0;
    info->y_density = 0;
    info->colour_depth = header.bitsPerPixel;
    info->text_handle = 0;
  }
  qrv::CloseSource(stream, &rc);
  return rc;
}

QRV_EXPORT int32_t QRV_CALL GetPreview(char*, int32_t, uint32_t, QrvBlock*, QrvBlock*,
                                       ProgressCallback, QrvUser) {
  return RC_NOT_IMPLEMENTED;
}

QRV_EXPORT int32_t QRV_CALL GetPicture(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                                       QrvBlock* bits_out, ProgressCallback progress,
                                       QrvUser user) {
  return qrv::GetPictureWith(qrv::ChooseKernel(), src, len, flag, info_out, bits_out, progress,
                             user);
}

int32_t qrv::GetPictureWith(RowKernel kernel, char* src, int32_t len, uint32_t flag,
                            QrvBlock* info_out, QrvBlock* bits_out, ProgressCallback progress,
                            QrvUser user) {
  // Our choice: after any failure the host finds both handles null.
  *info_out = nullptr;
  *bits_out = nullptr;
  qrv::StreamHandle stream = nullptr;
  int32_t rc = qrv::OpenSource(&stream, src, len, flag);
  if (rc != RC_OK) return rc;  // nothing is open, nothing allocated

  qrv::ImageHeader header;
  qrv::BitmapLayout layout = {};
  qrv::BlockHandle infoBlock = nullptr;
  qrv::BlockHandle bitsBlock = nullptr;
  void* infoAddress = nullptr;
  void* bitsAddress = nullptr;
  rc = qrv::ReadImageHeader(stream, &header);
  // Refused before any block exists when the pixels cannot fit 32 bits.
  if (rc == RC_OK) rc = qrv::ComputeLayout(header, &layout);
  if (rc == RC_OK) rc = qrv::AllocBlock(layout.infoSize, &infoBlock, &infoAddress);
  if (rc == RC_OK) {
    qrv::FillBitmapInfo(header, layout, static_cast<uint8_t*>(infoAddress));
    rc = qrv::AllocUnclearedBlock(layout.imageSize, &bitsBlock, &bitsAddress);
  }
  if (rc == RC_OK) {
    rc = qrv::DecodePicture(stream, header, layout, static_cast<uint8_t*>(bitsAddress),
                            progress != nullptr ? progress : qrv::DefaultProgress, user,
                            kernel);
  }
  // The close comes first, so that a failed close also discards the blocks.
  qrv::CloseSource(stream, &rc);
  qrv::ReleaseBlock(infoBlock, rc == RC_OK ? nullptr : infoAddress);
  qrv::ReleaseBlock(bitsBlock, rc == RC_OK ? nullptr : bitsAddress);
  if (rc == RC_OK) {
    *info_out = infoBlock;
    *bits_out = bitsBlock;
  }
  return rc;
}

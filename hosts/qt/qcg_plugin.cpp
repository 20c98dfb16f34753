// The Qt handler: reads the whole picture from the device (never more than the
// picture can use) and decodes it through the image filter into an RGB image
// that takes over the decoded rows without a copy.
#include "qcg_plugin.h"

#include <stdlib.h>

#include <QFileDevice>
#include <QImage>
#include <QImageReader>
#include <QIODevice>
#include <QLoggingCategory>
#include <QSize>
#include <QVariant>

#include "memory_picture.h"
#include "qrvnel.h"

namespace {

Q_LOGGING_CATEGORY(lcQcg, "quorvanel.qcg")

using qrv::hosts::PictureSize;
using qrv::hosts::Stage;

// The size from the header at the device's position, which does not move.
int32_t PeekPictureSize(QIODevice* device, PictureSize* size) {
  if (device == nullptr) return RC_READ_ERROR;
  QByteArray head = device->peek(static_cast<int>(qrv::hosts::kPictureHeaderBytes));
  return qrv::hosts::ReadPictureSize(reinterpret_cast<const uint8_t*>(head.constData()),
                                     static_cast<size_t>(head.size()), size);
}

// "FILE: reason", as qrv says it; viewers show Qt's own message to the user.
void Warn(QIODevice* device, const std::string& reason) {
  auto* file = qobject_cast<QFileDevice*>(device);
  QString name = file != nullptr ? file->fileName() : QStringLiteral("picture");
  qCWarning(lcQcg, "%s: %s", qUtf8Printable(name), reason.c_str());
}

void FreePixels(void* pixels) { free(pixels); }

}  // namespace

bool QcgHandler::canRead() const {
  if (!canRead(device())) return false;
  setFormat("qcg");
  return true;
}

bool QcgHandler::canRead(QIODevice* device) {
  PictureSize size;
  return PeekPictureSize(device, &size) == RC_OK;
}

bool QcgHandler::read(QImage* image) {
  QIODevice* source = device();
  PictureSize size;
  int32_t rc = PeekPictureSize(source, &size);
  if (rc != RC_OK) {
    Warn(source, qrv::hosts::FailureMessage(rc, Stage::kHeader));
    return false;
  }
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  // Qt 6 readers refuse pictures above a size limit the application sets.
  const qint64 limit = qint64{QImageReader::allocationLimit()} * 1024 * 1024;
  const qint64 rgbBytes = qint64{(size.width * 3 + 3) & ~3} * size.height;
  if (limit > 0 && rgbBytes > limit) {
    Warn(source, "picture larger than the reader's allocation limit");
    return false;
  }
#endif
  // A byte array holds at most 2^31 - 1 bytes on Qt 5; more only helps a
  // picture of many gigabytes of codes, which then ends early.
  qint64 wanted = static_cast<qint64>(qrv::hosts::MostPictureBytes(size));
  if (wanted > 0x7fff0000) wanted = 0x7fff0000;
  QByteArray bytes;
  while (bytes.size() < wanted) {
    QByteArray chunk = source->read(qMin<qint64>(wanted - bytes.size(), 1 << 20));
    if (chunk.isEmpty()) break;
    bytes.append(chunk);
  }
  qrv::hosts::RgbPicture picture;
  rc = qrv::hosts::DecodeRgbPicture(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                    static_cast<size_t>(bytes.size()), &picture);
  if (rc != RC_OK) {
    Warn(source, qrv::hosts::FailureMessage(rc, Stage::kPicture));
    return false;
  }
  QImage decoded(picture.pixels, picture.width, picture.height, picture.stride,
                 QImage::Format_RGB888, FreePixels, picture.pixels);
  if (decoded.isNull()) {
    free(picture.pixels);  // Qt takes the rows only with a valid image
    Warn(source, qrv::hosts::FailureMessage(RC_NO_MEMORY, Stage::kPicture));
    return false;
  }
  *image = decoded;
  return true;
}

QVariant QcgHandler::option(ImageOption option) const {
  PictureSize size;
  if (!supportsOption(option) || PeekPictureSize(device(), &size) != RC_OK) return {};
  if (option == Size) return QSize(size.width, size.height);
  return QImage::Format_RGB888;
}

bool QcgHandler::supportsOption(ImageOption option) const {
  return option == Size || option == ImageFormat;
}

QImageIOPlugin::Capabilities QcgPlugin::capabilities(QIODevice* device,
                                                      const QByteArray& format) const {
  if (format == "qcg") return CanRead;
  if (!format.isEmpty() || device == nullptr || !device->isReadable()) return {};
  return QcgHandler::canRead(device) ? Capabilities(CanRead) : Capabilities();
}

QImageIOHandler* QcgPlugin::create(QIODevice* device, const QByteArray& format) const {
  auto* handler = new QcgHandler;
  handler->setDevice(device);
  handler->setFormat(format);
  return handler;
}

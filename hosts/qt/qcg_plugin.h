// The Qt image-format plug-in for Quorvanel CG pictures (key "qcg"): detection
// by content, the size from the header alone, and reading through the image
// filter (memory_picture.h). The same source builds for Qt 6 and Qt 5.
#ifndef QRV_HOSTS_QCG_PLUGIN_H
#define QRV_HOSTS_QCG_PLUGIN_H

#include <QImageIOHandler>
#include <QImageIOPlugin>

class QcgHandler : public QImageIOHandler {
 public:
  bool canRead() const override;
  bool read(QImage* image) override;
  QVariant option(ImageOption option) const override;
  bool supportsOption(ImageOption option) const override;

  // Whether the device's next bytes are a Quorvanel CG header; reads nothing.
  static bool canRead(QIODevice* device);
};

class QcgPlugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "qcg.json")

 public:
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
  QImageIOHandler* create(QIODevice* device, const QByteArray& format) const override;
};

#endif  // QRV_HOSTS_QCG_PLUGIN_H

// Reads pictures through QImageReader as a Qt viewer does, with whatever image
// plug-ins QT_PLUGIN_PATH offers. Usage: qt_probe OUTDIR FILE... For each file
// prints "FILE format=F can_read=0|1 size=WxH read=ok" (the size as the reader
// gives it before reading) or "... read=failed: REASON", and writes the read
// image's pixels as packed RGB rows from the top to OUTDIR/BASENAME.rgb.
#include <cstdio>

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: qt_probe OUTDIR FILE...\n");
    return 2;
  }
  const QString outDir = QString::fromLocal8Bit(argv[1]);
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    const QString path = QString::fromLocal8Bit(argv[i]);
    QImageReader reader(path);
    const QByteArray format = reader.format();
    const bool canRead = reader.canRead();
    const QSize size = reader.size();
    std::printf("%s format=%s can_read=%d size=%dx%d", argv[i], format.constData(),
                canRead ? 1 : 0, size.width(), size.height());
    QImage image;
    if (!reader.read(&image)) {
      std::printf(" read=failed: %s\n", qUtf8Printable(reader.errorString()));
      continue;
    }
    image = image.convertToFormat(QImage::Format_RGB888);
    QFile out(outDir + "/" + QFileInfo(path).fileName() + ".rgb");
    bool written = out.open(QIODevice::WriteOnly | QIODevice::Truncate);
    for (int y = 0; written && y < image.height(); ++y) {
      const auto* row = reinterpret_cast<const char*>(image.constScanLine(y));
      written = out.write(row, image.width() * 3) == image.width() * 3;
    }
    if (!written) {
      std::printf(" read=ok but cannot write %s\n", qUtf8Printable(out.fileName()));
      status = 1;
      continue;
    }
    std::printf(" read=ok\n");
  }
  return status;
}

#include "formats/clipboard/qt/qtclipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>

#include <cstring>

#include "formats/clipboard/ralclipboard.h"

namespace {

QString MimeType() {
  return QString::fromLatin1(kClipboardMimeType.data(),
                             static_cast<int>(kClipboardMimeType.size()));
}

// A 24-bit bottom-up bitmap of a picture.
bool DibFromImage(const QImage& source, DibBlock* dib) {
  const QImage image = source.convertToFormat(QImage::Format_RGB32);
  if (image.isNull() || image.width() <= 0 || image.height() <= 0) return false;
  const std::size_t stride = DibStride(image.width(), 24);
  const std::uint64_t total =
      kBitmapInfoHeaderSize + static_cast<std::uint64_t>(stride) * image.height();
  if (stride == 0 || total > kMaxDibBytes) return false;
  DibBlock out(static_cast<std::size_t>(total), 0);
  BITMAPINFOHEADER h;
  h.biWidth = image.width();
  h.biHeight = image.height();
  h.biBitCount = 24;
  h.biSizeImage = static_cast<std::uint32_t>(total - kBitmapInfoHeaderSize);
  StoreBitmapInfoHeader(h, out.data());
  for (int y = 0; y < image.height(); ++y) {
    const auto* in = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    std::uint8_t* o = out.data() + kBitmapInfoHeaderSize +
                      static_cast<std::size_t>(image.height() - 1 - y) * stride;
    for (int x = 0; x < image.width(); ++x, o += 3) {
      o[0] = static_cast<std::uint8_t>(qBlue(in[x]));
      o[1] = static_cast<std::uint8_t>(qGreen(in[x]));
      o[2] = static_cast<std::uint8_t>(qRed(in[x]));
    }
  }
  dib->swap(out);
  return true;
}

// The picture of a 24-bit bitmap (also top-down); null for any other.
QImage ImageFromDib(const DibBlock& dib) {
  DibLayout l;
  if (!GetDibLayout(dib, &l) || l.header.biBitCount != 24 || l.header.biCompression != BI_RGB ||
      l.bitsOffset + l.imageBytes > dib.size())
    return {};
  QImage image(l.width, l.height, QImage::Format_RGB32);
  if (image.isNull()) return {};
  for (int y = 0; y < l.height; ++y) {
    const std::uint8_t* in = dib.data() + l.bitsOffset +
                             static_cast<std::size_t>(l.topDown ? y : l.height - 1 - y) * l.stride;
    auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < l.width; ++x, in += 3) out[x] = qRgb(in[2], in[1], in[0]);
  }
  return image;
}

class QtClipboardAccess : public ClipboardAccess {
 public:
  bool Open() override { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()); }
  bool HasPrivate() override {
    const QMimeData* m = QGuiApplication::clipboard()->mimeData();
    return m && m->hasFormat(MimeType());
  }
  bool HasBitmap() override {
    const QMimeData* m = QGuiApplication::clipboard()->mimeData();
    return m && m->hasImage();
  }
  bool GetPrivate(std::vector<std::uint8_t>* block) override {
    const QMimeData* m = QGuiApplication::clipboard()->mimeData();
    if (!m) return false;
    const QByteArray bytes = m->data(MimeType());
    if (bytes.isEmpty()) return false;
    block->assign(bytes.begin(), bytes.end());
    return true;
  }
  bool GetBitmap(DibBlock* dib) override {
    const QMimeData* m = QGuiApplication::clipboard()->mimeData();
    if (!m || !m->hasImage()) return false;
    return DibFromImage(qvariant_cast<QImage>(m->imageData()), dib);
  }
  bool Place(const std::vector<std::uint8_t>& block, const DibBlock& dib) override {
    auto* data = new QMimeData;
    data->setData(MimeType(), QByteArray(reinterpret_cast<const char*>(block.data()),
                                         static_cast<qsizetype>(block.size())));
    const QImage image = ImageFromDib(dib);
    if (!image.isNull()) data->setImageData(image);
    QGuiApplication::clipboard()->setMimeData(data);  // the clipboard owns it
    return true;
  }
};

}  // namespace

void InstallQtClipboard() {
  static QtClipboardAccess access;
  SetClipboardAccess(&access);
}

// A second process for the clipboard tests, which keeps the clipboard's content while it
// runs (on X the owner hands the data over when asked):
//   clipboard_peer copy FILE   opens FILE in the program's main frame, presses Ctrl+C and
//                              prints "ready BITS BSCALE BZERO MIN MAX" of the image;
//   clipboard_peer png         puts a PNG picture on the clipboard and prints "ready".
// Either then waits until it is ended.
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QMimeData>
#include <QTest>

#include <cstdio>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "display/qt/ralimgwnd.h"
#include "tests/formats/clipboard/peer_pattern.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.size() >= 3 && args[1] == "copy") {
    auto* frame = new CMainFrame;
    frame->resize(800, 600);
    frame->show();
    if (!QTest::qWaitForWindowExposed(frame) || !frame->OpenDocumentFile(args[2])) return 2;
    CKivImageView* view = frame->ActiveView();
    view->setFocus();
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    const CRalImage* image = view->GetImgWnd().GetImagePtr();
    std::printf("ready %d %.17g %.17g %.17g %.17g\n", image->GetBitsPixel(), image->GetBscale(),
                image->GetBzero(), image->GetLevelMin(0), image->GetLevelMax(0));
  } else if (args.size() >= 2 && args[1] == "png") {
    QImage picture(kPeerWidth, kPeerHeight, QImage::Format_RGB32);
    for (int y = 0; y < kPeerHeight; ++y)
      for (int x = 0; x < kPeerWidth; ++x) picture.setPixelColor(x, y, PeerColour(x, y));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, "PNG")) return 2;
    auto* data = new QMimeData;
    data->setData(QStringLiteral("image/png"), png);
    QApplication::clipboard()->setMimeData(data);
    std::printf("ready\n");
  } else {
    return 2;
  }
  std::fflush(stdout);
  return app.exec();
}

// Clipboard exchange between real processes on an X screen: the program's image copied
// in one process and pasted in another with the same pixels, scaling and levels, and a
// PNG that another program put there pasted as a colour image.
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "formats/clipboard/ralclipboard.h"
#include "platform/messagebox.h"
#include "tests/formats/clipboard/peer_pattern.h"
#include "tests/support/temp_dir.h"

class ClipboardExchangeTest : public QObject {
  Q_OBJECT

  // Starts the peer and waits for its "ready" line; its words after "ready".
  static QStringList StartPeer(QProcess& peer, const QStringList& args, const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VANTOREL_CONFIG_HOME"), home);
    peer.setProcessEnvironment(env);
    peer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    peer.start(QString::fromStdString(TestBinDir() + "/clipboard_peer"), args);
    if (!peer.waitForStarted(10000)) return {};
    QByteArray line;
    QElapsedTimer waited;
    waited.start();
    while (!line.contains('\n') && peer.state() == QProcess::Running && waited.elapsed() < 60000) {
      peer.waitForReadyRead(1000);
      line += peer.readAllStandardOutput();
    }
    const QStringList words = QString::fromLatin1(line).simplified().split(' ');
    if (words.isEmpty() || words[0] != "ready") return {};
    return words.mid(1);
  }

  static void Stop(QProcess& peer) {
    peer.terminate();
    if (!peer.waitForFinished(5000)) peer.kill();
    peer.waitForFinished(5000);
  }

  // Ctrl+V on a shown frame; the pasted image, or null.
  static const CRalImage* Paste(CMainFrame& frame) {
    QTest::keyClick(&frame, Qt::Key_V, Qt::ControlModifier);
    if (frame.Frames().size() != 1) return nullptr;
    return frame.ActiveDocument()->GetImgWnd().GetImagePtr();
  }

  static void Show(CMainFrame& frame) {
    frame.resize(800, 600);
    frame.show();
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
  }

 private slots:
  void aSixteenBitImageTravelsBetweenTwoProcesses() {
    ScopedConfigHome home;
    RecordingMessageBox box;
    ScopedMessageBox scoped(&box);
    TempDir dir;
    const std::string path = dir.File("stars.fits");
    QCOMPARE(WriteSampleStarField(path, 120, 90), 0);

    QProcess peer;
    const QStringList copied = StartPeer(peer, {"copy", QString::fromStdString(path)},
                                         QString::fromStdString(home.path()));
    QCOMPARE(copied.size(), 5);

    CMainFrame frame;
    Show(frame);
    const CRalImage* pasted = Paste(frame);
    Stop(peer);
    QVERIFY2(pasted, box.shown.empty() ? "nothing pasted" : box.shown.back().text.c_str());

    // The same file read here is what the first process copied.
    CRalImage expected;
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    QVERIFY(CRalImageIO::ReadFile(expected, path, &param, -32, nullptr));
    QCOMPARE(pasted->GetBitsPixel(), copied[0].toInt());
    QCOMPARE(pasted->GetBscale(), copied[1].toDouble());
    QCOMPARE(pasted->GetBzero(), copied[2].toDouble());
    QCOMPARE(pasted->GetLevelMin(0), copied[3].toDouble());
    QCOMPARE(pasted->GetLevelMax(0), copied[4].toDouble());
    QCOMPARE(pasted->GetWidth(), expected.GetWidth());
    QCOMPARE(pasted->GetHeight(), expected.GetHeight());
    QCOMPARE(pasted->GetOrgFileFormat(), std::string(kClipboardFormatText));
    for (int y = 0; y < expected.GetHeight(); ++y)
      for (int x = 0; x < expected.GetWidth(); ++x)
        QCOMPARE(pasted->GetPixel(x, y), expected.GetPixel(x, y));
  }

  void aPngFromAnotherProgramIsPasted() {
    ScopedConfigHome home;
    RecordingMessageBox box;
    ScopedMessageBox scoped(&box);
    QProcess peer;
    QVERIFY(StartPeer(peer, {"png"}, QString::fromStdString(home.path())).isEmpty());
    QCOMPARE(peer.state(), QProcess::Running);

    CMainFrame frame;
    Show(frame);
    const CRalImage* pasted = Paste(frame);
    Stop(peer);
    QVERIFY2(pasted, box.shown.empty() ? "nothing pasted" : box.shown.back().text.c_str());
    QCOMPARE(pasted->GetPlanes(), 3);
    QCOMPARE(pasted->GetWidth(), kPeerWidth);
    QCOMPARE(pasted->GetHeight(), kPeerHeight);
    QCOMPARE(pasted->GetOrgBitsPixel(), 24);
    for (int y = 0; y < kPeerHeight; ++y)
      for (int x = 0; x < kPeerWidth; ++x) {
        const QColor c = PeerColour(x, y);
        QCOMPARE(pasted->GetPixel(x, y, 0), double(c.red()));
        QCOMPARE(pasted->GetPixel(x, y, 1), double(c.green()));
        QCOMPARE(pasted->GetPixel(x, y, 2), double(c.blue()));
      }
  }
};

QTEST_MAIN(ClipboardExchangeTest)
#include "clipboard_exchange_test.moc"

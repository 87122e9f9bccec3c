// The information bar as a user drives it, offscreen: real mouse moves over an image
// view of the main frame, the texts they produce, what leaving clears, and that a move
// never repaints the image. World-coordinate texts are checked against vantorel-cli wcs
// for the same pixel and against astropy.
#include <cmath>

#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "infobar/dlgbarimageinfo.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kWidth = 20, kHeight = 100;

QString Text(const CDlgBarImageInfo* bar, const char* field) {
  const auto* label = bar->findChild<QLabel*>(QString::fromLatin1(field));
  return label ? label->text() : QStringLiteral("<no field %1>").arg(field);
}

// The five fields as the user sees them.
QStringList Fields(const CDlgBarImageInfo* bar) {
  return {Text(bar, "x"), Text(bar, "y"), Text(bar, "value"), Text(bar, "average"),
          Text(bar, "physical")};
}

// Runs /usr/bin/python3 on a script; its standard output, or a null string on failure.
QString Python(const QString& script, const QStringList& args = {}) {
  QProcess p;
  p.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-c"), script} + args);
  if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
    return {};
  return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

bool HaveAstropy() {
  return !Python(QStringLiteral("import astropy.wcs; print(1)")).isEmpty();
}

}  // namespace

class InfoBarTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;
  AcceptingPrompts accept_;
  ScopedUserPrompts* prompts_ = nullptr;
  TempDir* dir_ = nullptr;
  CMainFrame* frame_ = nullptr;

  CKivImageView* Open(const std::string& path) {
    CKivImageDoc* doc = frame_->OpenDocumentFile(QString::fromStdString(path));
    if (!doc) return nullptr;
    CKivImageView* view = frame_->ActiveView();
    // The window fits itself to the image after it shows; under load that can come late,
    // and a window that changes size under a resting mouse would send it a leave.
    QSize last;
    for (int i = 0; i < 200; ++i) {
      QTest::qWait(10);
      const QSize now = view->size();
      if (!view->GetImgWnd().GetViewInfo().IsFitPending() && now == last) break;
      last = now;
    }
    return view;
  }
  // The mouse onto the middle of image pixel (x, y), 0-based as the image stores it.
  static bool MoveTo(CKivImageView* view, int x, int y) {
    POINT p{};
    if (!view->GetImgWnd().GetViewInfo().PtImageToView(POINT{x, y}, &p)) return false;
    QTest::mouseMove(view->viewport(), QPoint(p.x, p.y));
    return true;
  }
  // A 20 × 100 float FITS image of 10.0 with three marked pixels.
  std::string WriteValues() {
    CRalImage image(kWidth, kHeight, -32, 1, 1.0, 0.0, 1);
    for (int y = 0; y < kHeight; ++y) {
      auto* row = static_cast<float*>(image.GetImageAdr(0, y, 0));
      for (int x = 0; x < kWidth; ++x) row[x] = 10.0f;
    }
    *static_cast<float*>(image.GetImageAdr(0, 0, 0)) = 1234.4f;
    *static_cast<float*>(image.GetImageAdr(5, 7, 0)) = 0.5f;
    *static_cast<float*>(image.GetImageAdr(kWidth - 1, kHeight - 1, 0)) = -2.75f;
    image.SetLevel(0, 0, 20);
    image.SetOrgFileFormat("FITS");
    const std::string path = dir_->File("values.fits");
    return CRalImageIO::WriteImageFile(image, path, 0) == 1 ? path : std::string();
  }

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    prompts_ = new ScopedUserPrompts(&accept_);
    dir_ = new TempDir;
    frame_ = new CMainFrame;
    frame_->resize(900, 700);
    frame_->show();
    QVERIFY(QTest::qWaitForWindowExposed(frame_));
    // Qt drops a move to where the pointer already is: each test starts from the corner.
    QTest::mouseMove(frame_, QPoint(1, 1));
  }
  void cleanup() {
    delete frame_;
    delete prompts_;
    delete scoped_;
    delete home_;
    delete dir_;
  }

  void positionAndValueUnderTheMouse_data() {
    QTest::addColumn<int>("bottomUp");
    QTest::addColumn<int>("px");
    QTest::addColumn<int>("py");
    QTest::addColumn<QString>("x");
    QTest::addColumn<QString>("y");
    QTest::addColumn<QString>("value");
    QTest::newRow("top-left") << 0 << 0 << 0 << "1"
                              << "1"
                              << "1234";
    QTest::newRow("top-left bottom-up") << 1 << 0 << 0 << "1"
                                        << "100"
                                        << "1234";
    QTest::newRow("a half") << 0 << 5 << 7 << "6"
                            << "8"
                            << "0.500";
    QTest::newRow("a half bottom-up") << 1 << 5 << 7 << "6"
                                      << "93"
                                      << "0.500";
    QTest::newRow("negative, last pixel") << 0 << kWidth - 1 << kHeight - 1 << "20"
                                          << "100"
                                          << "-3";
    QTest::newRow("last pixel bottom-up") << 1 << kWidth - 1 << kHeight - 1 << "20"
                                          << "1"
                                          << "-3";
  }
  void positionAndValueUnderTheMouse() {
    QFETCH(int, bottomUp);
    QFETCH(int, px);
    QFETCH(int, py);
    QVERIFY(CRegistry::Write("IO", "FitsBottomUp", bottomUp, CRegistry::TYPE_BOOL));
    const std::string path = WriteValues();
    QVERIFY(!path.empty());
    CKivImageView* view = Open(path);
    QVERIFY(view);
    QVERIFY(MoveTo(view, px, py));
    QFETCH(QString, x);
    QFETCH(QString, y);
    QFETCH(QString, value);
    // The mean of 1997 pixels of 10 and the three marked ones is 10.6157...
    QCOMPARE(Fields(frame_->InfoBar()), (QStringList{x, y, value, "10.6", ""}));
  }

  // A flux-calibrated frame (1e-18, sky noise around zero) written by astropy: the value
  // under the mouse is numpy's to six significant digits, in e-notation, a negative one
  // keeps its sign and digits, and the average is numpy's mean.
  void fluxValuesUnderTheMouse() {
    if (!HaveAstropy()) QSKIP("/usr/bin/python3 cannot import astropy (python3-astropy)");
    const std::string path = dir_->File("flux.fits");
    const QString out = Python(QStringLiteral(R"(
import sys, numpy as np
from astropy.io import fits
rng = np.random.default_rng(3)
h, w = 40, 60
y, x = np.mgrid[0:h, 0:w]
data = rng.normal(0.5, 1.0, (h, w)) + 40 * np.exp(-((x - 30) ** 2 + (y - 20) ** 2) / 8.0)
data = (data * 1.2345e-18).astype(np.float32)
data[5, 7] = -3.2e-19
fits.PrimaryHDU(data).writeto(sys.argv[1])
print(h, repr(float(data.astype(np.float64).mean())))
for px, row in ((7, 5), (30, 20), (0, 0), (59, 39), (12, 33)):
    print(px, row, repr(float(data[row, px])))
)"),
                               {QString::fromStdString(path)});
    QStringList lines = out.split('\n');
    QCOMPARE(lines.size(), 6);
    const QStringList first = lines.takeFirst().split(' ');
    const int height = first[0].toInt();
    const double mean = first[1].toDouble();
    CKivImageView* view = Open(path);
    QVERIFY(view);
    for (const QString& line : lines) {
      const QStringList f = line.split(' ');
      const int px = f[0].toInt(), row = f[1].toInt();
      const double value = f[2].toDouble();
      // Bottom-up by default: FITS row `row` (0-based) is image row height − 1 − row.
      QVERIFY(MoveTo(view, px, height - 1 - row));
      QCOMPARE(Text(frame_->InfoBar(), "y"), QString::number(row + 1));
      const QString shown = Text(frame_->InfoBar(), "value");
      QCOMPARE(shown, QString::asprintf("%.5e", value));
      QVERIFY2(qAbs(shown.toDouble() - value) <= 5e-6 * qAbs(value),
               qPrintable(shown + " against numpy's " + f[2]));
      const QString average = Text(frame_->InfoBar(), "average");
      QVERIFY2(average.contains('e') && qAbs(average.toDouble() - mean) <= 1e-5 * qAbs(mean),
               qPrintable(average + " against numpy's " + first[1]));
    }
  }

  void leavingTheImageClearsEveryField() {
    CKivImageView* view = Open(WriteValues());
    QVERIFY(view);
    CDlgBarImageInfo* bar = frame_->InfoBar();
    const QStringList empty(5, QString());
    QVERIFY(MoveTo(view, 3, 3));
    QVERIFY(Fields(bar) != empty);
    // Onto the grey margin right of the image, still inside the view.
    const RECT shown = view->GetImgWnd().GetViewInfo().GetWindowView();
    QVERIFY(shown.right + 5 < view->viewport()->width());
    QTest::mouseMove(view->viewport(), QPoint(shown.right + 5, shown.top + 2));
    QCOMPARE(Fields(bar), empty);
    // Back on the image, then out of the view altogether.
    QVERIFY(MoveTo(view, 3, 3));
    QVERIFY(Fields(bar) != empty);
    QTest::mouseMove(bar, QPoint(5, 5));
    QCOMPARE(Fields(bar), empty);
  }

  // The bar neither holds the frame wide nor changes height when texts appear.
  void narrowFrameKeepsItsWidthAndTheBarItsHeight() {
    frame_->resize(420, 400);
    QTest::qWait(20);
    QCOMPARE(frame_->width(), 420);
    QCOMPARE(WriteSampleStarField(dir_->File("sample.fits"), 200, 120), 0);
    CKivImageView* view = Open(dir_->File("sample.fits"));
    QVERIFY(view);
    const int height = frame_->InfoBar()->height();
    QVERIFY(MoveTo(view, 20, 20));
    QTest::qWait(20);
    QVERIFY(!Text(frame_->InfoBar(), "physical").isEmpty());
    QVERIFY(frame_->InfoBar()->findChild<QLabel*>("x")->isVisible());
    QCOMPARE(frame_->InfoBar()->height(), height);
    QCOMPARE(frame_->width(), 420);
  }

  void movingTheMouseDoesNotRepaintTheImage() {
    CKivImageView* view = Open(WriteValues());
    QVERIFY(view);
    QTest::qWait(50);
    const int paints = view->PaintCount();
    QVERIFY(paints > 0);
    QStringList seen;
    for (int i = 0; i < 10; ++i) {
      QVERIFY(MoveTo(view, i, 3 * i));
      seen << Text(frame_->InfoBar(), "y");
    }
    QTest::qWait(50);
    QCOMPARE(view->PaintCount(), paints);
    QCOMPARE(seen.size(), 10);
    QCOMPARE(seen.back(), QString("73"));  // bottom-up: 100 − 27
  }

  // The sample star field: the bar's sky text for a pixel is what vantorel-cli wcs gives
  // for the same FITS position, and its sexagesimal digits are astropy's.
  void celestialTextOfTheSample() {
    const std::string path = dir_->File("sample.fits");
    QCOMPARE(WriteSampleStarField(path, 200, 120), 0);
    CKivImageView* view = Open(path);
    QVERIFY(view);
    const int px = 37, py = 81;
    QVERIFY(MoveTo(view, px, py));
    const QString shown = Text(frame_->InfoBar(), "physical");
    // Bottom-up by default: image row 81 is FITS row 120 − 81.
    QCOMPARE(Text(frame_->InfoBar(), "y"), QString("39"));
    QProcess cli;
    cli.start(QString::fromStdString(TestBinDir() + "/vantorel-cli"),
              {"wcs", "--json", QString::fromStdString(path), QString::number(px + 1), "39"});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 0);
    const QJsonObject row = QJsonDocument::fromJson(cli.readAllStandardOutput()).object();
    QCOMPARE(row.value("kind").toString(), QString("celestial"));
    QCOMPARE(shown, row.value("text").toString());

    if (!HaveAstropy()) QSKIP("/usr/bin/python3 cannot import astropy.wcs (python3-astropy)");
    const QString expected = Python(QStringLiteral(R"(
import sys, astropy.units as u
from astropy.io import fits
from astropy.wcs import WCS
from astropy.coordinates import Angle
ra, dec = WCS(fits.getheader(sys.argv[1])).wcs_pix2world([[float(sys.argv[2]), float(sys.argv[3])]], 1)[0]
print(Angle(ra, u.deg).to_string(unit=u.hourangle, sep=" ", precision=1, pad=True),
      Angle(dec, u.deg).to_string(unit=u.deg, sep=" ", precision=1, pad=True, alwayssign=True))
)"),
                                    {QString::fromStdString(path), QString::number(px + 1), "39"});
    QVERIFY(!expected.isEmpty());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("^赤道座標 赤経:(\\d\\d)h(\\d\\d)m(\\d\\d)s\\.(\\d) "
                                          "赤緯:([+-]\\d\\d)ﾟ(\\d\\d)'(\\d\\d)\"\\.(\\d)$"))
            .match(shown);
    QVERIFY2(m.hasMatch(), qPrintable(shown));
    QCOMPARE(QStringLiteral("%1 %2 %3.%4 %5 %6 %7.%8")
                 .arg(m.captured(1), m.captured(2), m.captured(3), m.captured(4), m.captured(5),
                      m.captured(6), m.captured(7), m.captured(8)),
             expected);
  }

  // A one-dimensional spectrum written by astropy: the wavelength under the mouse is
  // astropy's, through world coordinates (a CD matrix) and through CDELT alone.
  void spectralTextOfAOneDimensionalSpectrum_data() {
    QTest::addColumn<QString>("matrix");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<double>("tolerance");
    QTest::newRow("world coordinates") << "CD1_1"
                                       << "^波長: *(-?[0-9.]+)\\[Angstrom\\]$" << 5.1e-5;
    // CDELT alone: the standard's unit matrix, so world coordinates as well.
    QTest::newRow("increment only") << "CDELT1"
                                    << "^波長: *(-?[0-9.]+)\\[Angstrom\\]$" << 5.1e-5;
    // No increment either: the axis alone, as a spectrum's axis is shown.
    QTest::newRow("axis only") << ""
                               << "^波長： (-?[0-9.]+) \\[Angstrom\\]$" << 5.1e-3;
  }
  void spectralTextOfAOneDimensionalSpectrum() {
    if (!HaveAstropy()) QSKIP("/usr/bin/python3 cannot import astropy (python3-astropy)");
    QFETCH(QString, matrix);
    QFETCH(QString, pattern);
    QFETCH(double, tolerance);
    const std::string path = dir_->File("spectrum.fits");
    const int px = 31;
    const QString value = Python(QStringLiteral(R"(
import sys, numpy as np, astropy.units as u
from astropy.io import fits
from astropy.wcs import WCS
h = fits.Header()
h["CTYPE1"], h["CUNIT1"], h["CRPIX1"], h["CRVAL1"] = "WAVE", "Angstrom", 12.5, 6562.817
if sys.argv[2]:
    h[sys.argv[2]] = 0.3137
fits.PrimaryHDU(np.linspace(100.0, 200.0, 64).astype(np.float32), h).writeto(sys.argv[1])
w = WCS(fits.getheader(sys.argv[1]))
v = w.wcs_pix2world([[float(sys.argv[3])]], 1)[0][0] * w.wcs.cunit[0]
print(repr(v.to_value(u.Angstrom)))
)"),
                                 {QString::fromStdString(path), matrix, QString::number(px + 1)});
    QVERIFY(!value.isEmpty());
    CKivImageView* view = Open(path);
    QVERIFY(view);
    QVERIFY(MoveTo(view, px, 0));
    const QString shown = Text(frame_->InfoBar(), "physical");
    const QRegularExpressionMatch m = QRegularExpression(pattern).match(shown);
    QVERIFY2(m.hasMatch(), qPrintable(shown));
    QVERIFY2(std::fabs(m.captured(1).toDouble() - value.toDouble()) <= tolerance,
             qPrintable(shown + " against astropy's " + value));
    QCOMPARE(Text(frame_->InfoBar(), "x"), QString::number(px + 1));
  }

  // Headers of astropy's coordinate tests as observatories write them: increments without
  // a matrix (a map in the plate carrée projection), SIP distortion, and CDELT alone on a
  // zenithal projection. The bar shows for the pixel under the mouse what vantorel-cli wcs
  // gives for the same FITS position.
  void celestialTextOfRealHeaders_data() {
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("px");
    QTest::addColumn<int>("py");
    QTest::newRow("plate carrée, CDELT only") << "maps/1904-66_CAR.hdr" << 120 << 40;
    QTest::newRow("zenithal equal area, CDELT only") << "maps/1904-66_ZEA.hdr" << 60 << 150;
    QTest::newRow("SIP distortion") << "irac_sip.hdr" << 200 << 31;
  }
  void celestialTextOfRealHeaders() {
    if (!HaveAstropy()) QSKIP("/usr/bin/python3 cannot import astropy (python3-astropy)");
    QFETCH(QString, source);
    QFETCH(int, px);
    QFETCH(int, py);
    const std::string path = dir_->File("header.fits");
    // The header's own cards on a float image of its size, a gradient to see.
    const QString size = Python(QStringLiteral(R"(
import sys, numpy as np, astropy.wcs.tests as t
from pathlib import Path
from astropy.io import fits
text = (Path(t.__file__).parent / "data" / sys.argv[2]).read_bytes().decode("ascii", "replace")
h = fits.Header.fromstring(text.replace("\n", ""), sep="")
nx, ny = int(h.get("NAXIS1", 256)), int(h.get("NAXIS2", 256))
hdu = fits.PrimaryHDU(np.add.outer(np.arange(ny), np.arange(nx)).astype(np.float32))
for card in h.cards:
    if card.keyword not in ("SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND", "END",
                            "BSCALE", "BZERO", ""):
        hdu.header.append(card)
hdu.writeto(sys.argv[1], output_verify="silentfix")
print(nx, ny)
)"),
                                {QString::fromStdString(path), source});
    QVERIFY2(!size.isEmpty(), qPrintable(source));
    const int height = size.section(' ', 1, 1).toInt();
    QVERIFY(py < height);
    CKivImageView* view = Open(path);
    QVERIFY(view);
    QVERIFY(MoveTo(view, px, py));
    const QString shown = Text(frame_->InfoBar(), "physical");
    // Bottom-up by default: the FITS row counts from the bottom.
    const QString fitsY = QString::number(height - py);
    QCOMPARE(Text(frame_->InfoBar(), "y"), fitsY);
    QProcess cli;
    cli.start(QString::fromStdString(TestBinDir() + "/vantorel-cli"),
              {"wcs", "--json", QString::fromStdString(path), QString::number(px + 1), fitsY});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 0);
    const QJsonObject row = QJsonDocument::fromJson(cli.readAllStandardOutput()).object();
    QCOMPARE(row.value("kind").toString(), QString("celestial"));
    QVERIFY2(shown.startsWith(QStringLiteral("赤道座標 赤経:")), qPrintable(shown));
    QCOMPARE(shown, row.value("text").toString());
  }
};

QTEST_MAIN(InfoBarTest)
#include "infobar_test.moc"

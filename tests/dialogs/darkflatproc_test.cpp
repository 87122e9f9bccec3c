// Calibration with bias, dark and flat frames, checked against numpy
// (tests/support/calibration_check.py): every frame in its turn, a frame of another size
// left out with its message, a flat asked for without an image left out silently, and
// the display levels lowered by the means of the frames subtracted.
#include <QtTest>
#include <cmath>
#include <fstream>

#include "dialogs/darkflatproc.h"
#include "engine/ralimage.h"
#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 48, kH = 32;

// A frame whose values follow seed, with a gentle slope so that a mixed-up frame shows.
CRalImage Frame(int w, int h, double base, double slope, unsigned seed) {
  CRalImage image(w, h, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(static_cast<std::size_t>(w));
  unsigned s = seed;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      s = s * 1103515245u + 12345u;
      row[static_cast<std::size_t>(x)] = base + slope * (x + 2 * y) + (s >> 16) % 97;
    }
    image.SetPhysicalRow(y, 0, row.data());
  }
  image.SetLevel(0, base, base + 500);
  return image;
}

std::string Dump(const CRalImage& image, const std::string& path) {
  std::vector<double> v, row(static_cast<std::size_t>(image.GetWidth()));
  for (int y = 0; y < image.GetHeight(); ++y) {
    image.GetPhysicalRow(y, 0, row.data());
    v.insert(v.end(), row.begin(), row.end());
  }
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * 8));
  return path + ":1," + std::to_string(image.GetHeight()) + "," + std::to_string(image.GetWidth());
}

}  // namespace

class DarkFlatProcTest : public QObject {
  Q_OBJECT

 private slots:
  void calibrates_data() {
    QTest::addColumn<QString>("use");     // frames switched on: b d f k (dark of the flat)
    QTest::addColumn<QString>("chosen");  // frames with an image
    QTest::addColumn<int>("darkWidth");
    QTest::addColumn<int>("flatWidth");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("oracle");  // frames the result must show
    QTest::addColumn<int>("error");
    QTest::newRow("all four") << "bdfk"
                              << "bdfk" << kW << kW << ""
                              << "bdfk" << 0;
    QTest::newRow("dark of another size")
        << "bd"
        << "bd" << kW + 2 << kW << darkflat_text::kDarkSize << "b" << 0;
    QTest::newRow("flat on, none chosen") << "bdf"
                                          << "bd" << kW << kW << ""
                                          << "bd" << 0;
    QTest::newRow("flat of another size")
        << "bdf"
        << "bdf" << kW << kW - 4 << darkflat_text::kFlatSize << "bd" << 0;
    QTest::newRow("dark of the flat off") << "bdf"
                                          << "bdfk" << kW << kW << ""
                                          << "bdf" << 0;
    QTest::newRow("flat without bias") << "f"
                                       << "bdf" << kW << kW << ""
                                       << "f" << 0;
    QTest::newRow("bias on, none chosen") << "bdf"
                                          << "df" << kW << kW << ""
                                          << "d" << 1;
  }
  void calibrates() {
    if (std::system("/usr/bin/python3 -c 'import numpy' 2>/dev/null") != 0)
      QSKIP("/usr/bin/python3 lacks numpy");
    QFETCH(QString, use);
    QFETCH(QString, chosen);
    QFETCH(int, darkWidth);
    QFETCH(int, flatWidth);
    QFETCH(QString, message);
    QFETCH(QString, oracle);
    QFETCH(int, error);
    RecordingMessageBox box;
    ScopedMessageBox scoped(&box);
    TempDir dir;

    const CRalImage source = Frame(kW, kH, 1000, 3, 1);
    const CRalImage bias = Frame(kW, kH, 100, 0, 2);
    const CRalImage dark = Frame(darkWidth, kH, 150, 0.5, 3);
    const CRalImage flat = Frame(flatWidth, kH, 5000, -20, 4);
    const CRalImage darkFlat = Frame(kW, kH, 120, 0.2, 5);
    DarkFlatFrames frames;
    frames.useBias = use.contains('b');
    frames.useDark = use.contains('d');
    frames.useFlat = use.contains('f');
    frames.useDarkForFlat = use.contains('k');
    frames.bias = chosen.contains('b') ? &bias : nullptr;
    frames.dark = chosen.contains('d') ? &dark : nullptr;
    frames.flat = chosen.contains('f') ? &flat : nullptr;
    frames.darkForFlat = chosen.contains('k') ? &darkFlat : nullptr;

    CRalImage target;
    DarkFlatResult result;
    QCOMPARE(DarkFlatProc(target, source, frames, nullptr, &result), 1);
    QCOMPARE(result.error, error);
    if (message.isEmpty()) {
      QCOMPARE(box.shown.size(), std::size_t{0});
    } else {
      QCOMPARE(box.shown.size(), std::size_t{1});
      QCOMPARE(QString::fromStdString(box.shown[0].text), message);
    }
    if (error) return;  // the caller puts the image back

    std::string args = " in=" + Dump(source, dir.File("a")) + " out=" + Dump(target, dir.File("o"));
    if (oracle.contains('b')) args += " bias=" + Dump(bias, dir.File("b"));
    if (oracle.contains('d')) args += " dark=" + Dump(dark, dir.File("d"));
    if (oracle.contains('f')) args += " flat=" + Dump(flat, dir.File("f"));
    if (oracle.contains('k')) args += " darkflat=" + Dump(darkFlat, dir.File("k"));
    const std::string log = dir.File("log");
    const int rc = std::system(
        ("/usr/bin/python3 " CALIBRATION_SCRIPT + args + " > " + log + " 2>&1").c_str());
    QVERIFY2(rc == 0, ReadFileOrEmpty(log).c_str());

    // The levels come down by the mean of each frame subtracted from the image (the dark
    // as it was less the bias).
    double lowered = 0;
    if (oracle.contains('b')) lowered += bias.GetAvrGrayRaw(0);
    if (oracle.contains('d'))
      lowered += dark.GetAvrGrayRaw(0) - (oracle.contains('b') ? bias.GetAvrGrayRaw(0) : 0.0);
    QVERIFY(std::fabs(target.GetLevelMin(0) - (source.GetLevelMin(0) - lowered)) < 1e-6);
    QVERIFY(std::fabs(target.GetLevelMax(0) - (source.GetLevelMax(0) - lowered)) < 1e-6);
  }
};

QTEST_GUILESS_MAIN(DarkFlatProcTest)
#include "darkflatproc_test.moc"

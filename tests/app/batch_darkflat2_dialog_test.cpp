// The table batch calibration dialog from the program's menu, with real clicks and keys:
// a table written the Windows way (CR LF, drive letters and backslashes) names three images
// with a bias, a dark and a flat each; the outputs are compared by astropy with the
// calibration numpy computes from the same files. The calibration columns come back from
// the settings in a reopened dialog, and a table with a seven-cell line is refused.
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <fstream>

#include "app/mainframe.h"
#include "batch/batchtexts.h"
#include "dialogs/dlgbatchdarkflat2.h"
#include "dialogs/tablebox.h"
#include "fileio/prompts.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

using D = CDlgBatchDarkFlat2;

QString Python(const QString& script, const QStringList& args) {
  QProcess py;
  py.start("/usr/bin/python3", QStringList{"-c", script} + args);
  if (!py.waitForFinished(60000) || py.exitCode() != 0)
    return "failed: " + QString::fromUtf8(py.readAllStandardError());
  return QString::fromUtf8(py.readAllStandardOutput()).trimmed();
}

// Per row n (1..3): the image i<n>, its bias b<n>, dark d<n> (bias included) and flat f<n>
// (bias included), float32 40 × 30; i3 is also kept as orig3, since its row overwrites it.
const char* kMake =
    "import sys, numpy as np\nfrom astropy.io import fits\n"
    "rng = np.random.default_rng(11)\n"
    "w = lambda a, n: fits.PrimaryHDU(a.astype(np.float32)).writeto(sys.argv[1] + '/' + n)\n"
    "for n in '123':\n"
    "    b = rng.uniform(280, 320, (30, 40))\n"
    "    i = rng.uniform(1500, 6000, (30, 40))\n"
    "    w(i, 'i' + n + '.fits'); w(b, 'b' + n + '.fits')\n"
    "    w(b + rng.uniform(40, 90, (30, 40)), 'd' + n + '.fits')\n"
    "    w(b + rng.uniform(2000, 6000, (30, 40)), 'f' + n + '.fits')\n"
    "    if n == '3': w(i, 'orig3.fits')\n";

// The largest relative difference between the outputs and
// (image − bias − (dark − bias)) × mean(flat') / flat', flat' = flat − bias.
const char* kCompare =
    "import sys, numpy as np\nfrom astropy.io import fits\n"
    "src, out = sys.argv[1:3]\n"
    "g = lambda p: fits.getdata(p).astype(np.float64)\n"
    "worst = 0.0\n"
    "for n, i, o in [('1', 'i1', out + '/o1.fits'), ('2', 'i2', out + '/o2.fits'),\n"
    "                ('3', 'orig3', src + '/i3.fits')]:\n"
    "    b = g(src + '/b' + n + '.fits')\n"
    "    f = g(src + '/f' + n + '.fits') - b\n"
    "    e = (g(src + '/' + i + '.fits') - b - (g(src + '/d' + n + '.fits') - b)) * f.mean() / f\n"
    "    worst = max(worst, float(np.max(np.abs(g(o) - e) / np.abs(e))))\n"
    "print(worst)\n";

// A path as Windows names it: a drive letter and backslashes.
std::string WindowsPath(const std::string& path) {
  std::string out = "E:" + path;
  for (char& c : out)
    if (c == '/') c = '\\';
  return out;
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

class BatchDarkFlat2DialogTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

  static D* OpenFromMenu(CMainFrame& frame) {
    QMenuBar* bar = frame.menuBar();
    QAction* entry = frame.Command(4524);
    if (!entry || !entry->isEnabled()) return nullptr;
    QAction* menuAction = nullptr;
    for (QAction* a : bar->actions())
      if (a->menu() && a->menu()->actions().contains(entry)) menuAction = a;
    if (!menuAction) return nullptr;
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menuAction).center());
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!menu) return nullptr;
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* dlg = qobject_cast<D*>(w); dlg && dlg->isVisible()) return dlg;
    return nullptr;
  }

  template <typename T>
  static T* Control(D* dlg, int id) {
    return dlg->findChild<T*>(QString::number(id));
  }

 private slots:
  void tableRunSettingsAndRefusal() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    box_.shown.clear();
    ScriptedPrompts prompts;
    ScopedUserPrompts scopedPrompts(&prompts);
    TempDir src, out;
    QCOMPARE(Python(kMake, {QString::fromStdString(src.path())}), QString());
    auto f = [&](const std::string& name) { return src.File(name); };

    // Row 3 has no output name: its image is overwritten.
    std::string table;
    for (const char* n : {"1", "2", "3"}) {
      const std::string k(n);
      const std::string output = k == "3" ? "" : WindowsPath(out.File("o" + k + ".fits"));
      for (const std::string& cell : {f("i" + k + ".fits"), f("b" + k + ".fits"),
                                      f("d" + k + ".fits"), f("f" + k + ".fits"), std::string()})
        table += (cell.empty() ? "" : WindowsPath(cell)) + ",";
      table += output + "\r\n";
    }
    WriteText(src.File("table.txt"), table);
    std::string opened;
    int filterIndex = 0;
    prompts.Always(std::string(FileOpenPrompt::kKind), [&](Prompt& p) {
      auto& open = static_cast<FileOpenPrompt&>(p);
      filterIndex = open.filterIndex;
      open.paths = {opened};
      return true;
    });

    CMainFrame frame;
    frame.resize(1000, 800);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    // The menu shows while an image is open.
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(f("f1.fits"))));

    QPointer<D> dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    QVERIFY(QTest::qWaitForWindowExposed(dlg.data()));
    opened = src.File("table.txt");
    QTest::mouseClick(Control<QPushButton>(dlg, D::IDC_OPEN_TABLE), Qt::LeftButton);
    QCOMPARE(filterIndex, 2);  // the text files' filter first
    CTableBox* tableBox = dlg->Table();
    QCOMPARE(tableBox->GetRowCountUsed(), 3);
    QCOMPARE(tableBox->GetCell(1, 3), f("f2.fits"));
    QCOMPARE(tableBox->GetCell(0, 5), out.File("o1.fits"));

    auto* saveOnly = Control<QRadioButton>(dlg, D::IDC_RESULT_SAVE);
    QTest::mouseClick(saveOnly, Qt::LeftButton, {}, QPoint(5, saveOnly->height() / 2));
    QVERIFY(saveOnly->isChecked());
    // The overwritten image is asked about once, and the answer is yes.
    box_.Answer(IDYES);
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QTRY_VERIFY(!dlg || !dlg->isVisible());
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QVERIFY2(box_.shown[0].text.find(f("i3.fits")) != std::string::npos,
             box_.shown[0].text.c_str());
    const QString worst =
        Python(kCompare, {QString::fromStdString(src.path()), QString::fromStdString(out.path())});
    bool number = false;
    const double w = worst.toDouble(&number);
    QVERIFY2(number && w < 1e-5, qPrintable(worst));

    // The settings hold the calibration cells in row order, then an empty value.
    std::vector<std::string> expected;
    for (int r = 0; r < 3; ++r)
      for (int c = 1; c <= 3; ++c) {
        const char* kind[] = {"", "b", "d", "f"};
        char head[8];
        std::snprintf(head, sizeof head, "%03d%03d", r, c);
        expected.push_back(head + f(kind[c] + std::to_string(r + 1) + ".fits"));
      }
    std::vector<std::string> stored;
    for (int i = 0; i <= 9; ++i) {
      char key[16];
      std::snprintf(key, sizeof key, "DarkFlat%03d", i);
      std::string value;
      CRegistry::Read(D::kSection, key, "", value);
      if (value.empty()) break;
      stored.push_back(value);
    }
    QCOMPARE(stored, expected);

    // A reopened dialog shows them; the image and output columns are not kept.
    dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    QVERIFY(QTest::qWaitForWindowExposed(dlg.data()));
    tableBox = dlg->Table();
    QCOMPARE(tableBox->GetRowCountUsed(), 3);
    for (int r = 0; r < 3; ++r) {
      QCOMPARE(tableBox->GetCell(r, 0), std::string());
      QCOMPARE(tableBox->GetCell(r, 2), f("d" + std::to_string(r + 1) + ".fits"));
      QCOMPARE(tableBox->GetCell(r, 5), std::string());
    }

    // Shown without saving: each row's image opens in a window of its own, and at the end
    // the question whether to close them; yes closes every one.
    QTest::mouseClick(Control<QPushButton>(dlg, D::IDC_OPEN_TABLE), Qt::LeftButton);
    auto* showOnly = Control<QRadioButton>(dlg, D::IDC_RESULT_OPEN);
    QTest::mouseClick(showOnly, Qt::LeftButton, {}, QPoint(5, showOnly->height() / 2));
    const std::size_t windows = frame.GetVumDocuments().size();
    box_.shown.clear();
    box_.Answer(IDYES);
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QTRY_VERIFY(!dlg || !dlg->isVisible());
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(batch_text::kCloseOpened));
    QTRY_COMPARE(frame.GetVumDocuments().size(), windows);

    // A second line of seven cells: refused with its message, and the table emptied. The
    // button is pressed from the keyboard this time.
    dlg = OpenFromMenu(frame);
    QVERIFY(dlg);
    tableBox = dlg->Table();
    QCOMPARE(tableBox->GetRowCountUsed(), 3);
    WriteText(src.File("seven.txt"), f("i1.fits") + "\r\n" + f("i2.fits") + ",,,,,,x\r\n");
    opened = src.File("seven.txt");
    box_.shown.clear();
    auto* openTable = Control<QPushButton>(dlg, D::IDC_OPEN_TABLE);
    openTable->setFocus();
    QTest::keyClick(openTable, Qt::Key_Space);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(batch_text::kTableUnreadable));
    QCOMPARE(tableBox->GetRowCountUsed(), 0);
    dlg->close();
  }
};

QTEST_MAIN(BatchDarkFlat2DialogTest)
#include "batch_darkflat2_dialog_test.moc"

// The batch commands with no image open, chosen with the mouse from the short menu bar:
// each batch dialog opens modeless; the stack asks the new window's name (a title that is
// taken is refused), and its result, with numpy's mean and sum as the oracle, lands in a
// new window or, from the window active when the run starts, in that window with its undo.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <cmath>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "dialogs/dlgbatchcomposit.h"
#include "dialogs/dlgnewimage.h"
#include "dialogs/pickersupport.h"
#include "engine/ralimage.h"
#include "fileio/prompts.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

namespace {

constexpr int kW = 21, kH = 13;

// Three random frames and, computed by numpy, their mean and their sum.
const char* kMake =
    "import sys, numpy as np\nfrom astropy.io import fits\n"
    "d = sys.argv[1]\nrng = np.random.default_rng(11)\n"
    "f = [rng.uniform(-200, 4000, (13, 21)).astype(np.float32) for _ in range(3)]\n"
    "for n, x in zip('abc', f): fits.PrimaryHDU(x).writeto(d + '/' + n + '.fits')\n"
    "s = np.array(f, dtype=np.float64)\n"
    "fits.PrimaryHDU(s.mean(axis=0)).writeto(d + '/mean.fits')\n"
    "fits.PrimaryHDU(s.sum(axis=0)).writeto(d + '/sum.fits')\n";

QString Python(const QString& script, const QStringList& args) {
  QProcess py;
  py.start("/usr/bin/python3", QStringList{"-c", script} + args);
  if (!py.waitForFinished(60000) || py.exitCode() != 0)
    return "failed: " + QString::fromUtf8(py.readAllStandardError());
  return QString::fromUtf8(py.readAllStandardOutput()).trimmed();
}

ScriptedPrompts::Answer Choose(std::vector<std::string> paths) {
  return [paths](Prompt& p) {
    static_cast<FileOpenPrompt&>(p).paths = paths;
    return true;
  };
}

template <typename T>
T* Child(QWidget* dlg, int id) {
  return dlg->findChild<T*>(QString::number(id));
}

// The shown top-level dialog whose class is named so; null when none.
QDialog* ShownDialog(const char* className) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && QString(w->metaObject()->className()) == className)
      return qobject_cast<QDialog*>(w);
  return nullptr;
}

QStringList ShownMenus(CMainFrame& frame) {
  QStringList out;
  for (QAction* a : frame.menuBar()->actions())
    if (a->isVisible() && a->menu()) out << a->text();
  return out;
}

// How many pixels of image differ from the expected file by more than the rounding of
// 32-bit sums of values in the thousands.
int Mismatches(const CRalImage& image, const std::string& expectedFile) {
  CRalImage expected;
  if (!picker::ReadImageForProcessing(expected, expectedFile)) return -1;
  if (expected.GetWidth() != image.GetWidth() || expected.GetHeight() != image.GetHeight())
    return -2;
  int wrong = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const double e = expected.GetPixel(x, y), v = image.GetPixel(x, y);
      wrong += std::fabs(v - e) > 2e-3 + 1e-6 * std::fabs(e);
    }
  return wrong;
}

void TypeName(QWidget* named, const QString& text) {
  auto* edit = Child<QLineEdit>(named, CDlgNewImage::IDC_NAME);
  QVERIFY(edit);
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Backspace);
  QTest::keyClicks(edit, text);
}

}  // namespace

class NoDocBatchTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

  // Opens the stack from the menu; files are added with the add button and the method
  // is chosen with the keyboard (0 add, 1 average).
  static CDlgBatchComposit* OpenStack(CMainFrame& frame, ScriptedPrompts& prompts,
                                      const std::vector<std::string>& files, int method) {
    ChooseFromMenu(frame, cmd::ID_BATCH_COMPOSIT);
    auto* dlg = qobject_cast<CDlgBatchComposit*>(ShownDialog("CDlgBatchComposit"));
    if (!dlg) return nullptr;
    auto* list = Child<QListWidget>(dlg, CDlgBatchComposit::IDC_LIST);
    const int before = list->count();
    prompts.Expect("FileOpen", Choose(files));
    QTest::mouseClick(Child<QPushButton>(dlg, CDlgBatchComposit::IDC_ADD), Qt::LeftButton);
    if (list->count() != before + static_cast<int>(files.size())) return nullptr;
    auto* combo = Child<QComboBox>(dlg, CDlgBatchComposit::IDC_METHOD);
    combo->setFocus();
    QTest::keyClick(combo, Qt::Key_Home);
    for (int i = 0; i < method; ++i) QTest::keyClick(combo, Qt::Key_Down);
    if (combo->currentData().toInt() != method) return nullptr;
    return dlg;
  }

 private slots:
  void init() { box_.shown.clear(); }

  // Without an image the bar is File, the batch commands and Help; each batch command
  // opens its dialog modeless, and the main window's menus still answer meanwhile.
  void batchMenuWithoutImage() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QCOMPARE(ShownMenus(frame),
             QStringList({QString::fromUtf8("ﾌｧｲﾙ(&F)"), QString::fromUtf8("画像演算(&C)"),
                          QString::fromUtf8("ﾍﾙﾌﾟ(&H)")}));
    const struct {
      int id;
      const char* cls;
    } commands[] = {{cmd::ID_BATCH_COMPOSIT, "CDlgBatchComposit"},
                    {4523, "CDlgBatchDarkFlat"},
                    {4524, "CDlgBatchDarkFlat2"},
                    {cmd::ID_BATCH_OVERSCAN, "CDlgBatchOverScan"}};
    for (const auto& c : commands) {
      ChooseFromMenu(frame, c.id);
      QPointer<QDialog> dlg = ShownDialog(c.cls);
      QVERIFY2(dlg, c.cls);
      QVERIFY(!dlg->isModal());
      QVERIFY(!QApplication::activeModalWidget());
      // The frame's own menu opens while the dialog is there.
      QMenu* file = frame.FileMenu();
      QMenuBar* bar = frame.menuBar();
      QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(file->menuAction()).center());
      QTRY_VERIFY(file->isVisible());
      QTest::keyClick(file, Qt::Key_Escape);
      QTRY_VERIFY(!file->isVisible());
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
      QTRY_VERIFY(!dlg || !dlg->isVisible());
    }
    QVERIFY(box_.shown.empty());
  }

  // The average of three files with no image open goes into a new window under the name
  // typed into the name question; a cancelled question runs nothing, and a name that an
  // open window has (letter case aside) is refused with its message.
  void stackIntoNamedNewWindows() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    ScriptedPrompts prompts;
    ScopedUserPrompts installed(&prompts);
    TempDir dir;
    QCOMPARE(Python(kMake, {QString::fromStdString(dir.path())}), QString());
    const std::vector<std::string> files = {dir.File("a.fits"), dir.File("b.fits"),
                                            dir.File("c.fits")};
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));

    QPointer<CDlgBatchComposit> dlg = OpenStack(frame, prompts, files, 1);
    QVERIFY(dlg);
    QVERIFY(Child<QRadioButton>(dlg, CDlgBatchComposit::IDC_DEST_NEW)->isChecked());
    QVERIFY(!Child<QRadioButton>(dlg, CDlgBatchComposit::IDC_DEST_ACTIVE)->isEnabled());
    auto* ok = dlg->findChild<QPushButton*>("IDOK");
    QString caption, proposed;
    WhenModal([&](QWidget* named) {
      caption = named->windowTitle();
      proposed = Child<QLineEdit>(named, CDlgNewImage::IDC_NAME)->text();
      QTest::mouseClick(named->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    });
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(caption, QString::fromUtf8("ﾊﾞｯﾁ・ｺﾝﾎﾟｼﾞｯﾄ"));
    QCOMPARE(proposed, QString("NewImage.fts"));
    QVERIFY(dlg && dlg->isVisible());
    QCOMPARE(ok->text(), QString("OK"));
    QCOMPARE(frame.Frames().size(), 0);

    WhenModal([&](QWidget* named) {
      TypeName(named, "stack.fts");
      QTest::mouseClick(named->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    });
    QTest::mouseClick(ok, Qt::LeftButton);
    QTRY_VERIFY(!dlg || !dlg->isVisible());
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
    QCOMPARE(frame.Frames().size(), 1);
    CKivImageDoc* stack = frame.Frames().front()->GetDocument();
    QCOMPARE(stack->GetTitle(), QString("stack.fts"));
    QCOMPARE(Mismatches(*stack->GetImgWnd().GetImagePtr(), dir.File("mean.fits")), 0);
    // The new picture is shown at levels of its own that meet its values, not at 0 … 0.
    const CRalImage& made = *stack->GetImgWnd().GetImagePtr();
    double low = 0, high = 0;
    QVERIFY(made.GetMinMax(0, &low, &high));
    QVERIFY(made.GetLevelMin(0) < made.GetLevelMax(0));
    QVERIFY(made.GetLevelMin(0) < high && made.GetLevelMax(0) > low);

    // Now with a window open: its entry is taken out of the list, and the sum is asked
    // for under the open window's name first.
    dlg = OpenStack(frame, prompts, files, 0);
    QVERIFY(dlg);
    auto* list = Child<QListWidget>(dlg, CDlgBatchComposit::IDC_LIST);
    QCOMPARE(list->count(), 4);
    QListWidgetItem* window = list->item(3);
    QCOMPARE(window->text(), QString("stack.fts"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(window).center());
    QTest::mouseClick(Child<QPushButton>(dlg, CDlgBatchComposit::IDC_REMOVE), Qt::LeftButton);
    QCOMPARE(list->count(), 3);
    bool stillAsking = false;
    WhenModal([&](QWidget* named) {
      TypeName(named, "STACK.fts");
      QTest::mouseClick(named->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      stillAsking = named->isVisible();
      TypeName(named, "sum.fts");
      QTest::mouseClick(named->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    });
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QTRY_VERIFY(!dlg || !dlg->isVisible());
    QVERIFY(stillAsking);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(newimage_text::kDuplicateTitle));
    QCOMPARE(frame.Frames().size(), 2);
    CKivImageDoc* sum = nullptr;
    for (CChildFrame* f : frame.Frames())
      if (f->GetDocument()->GetTitle() == "sum.fts") sum = f->GetDocument();
    QVERIFY(sum);
    QCOMPARE(Mismatches(*sum->GetImgWnd().GetImagePtr(), dir.File("sum.fits")), 0);
  }

  // Opened over an image window, the modeless stack writes into the window that is
  // active when OK is pressed; that window's undo brings its own pixels back.
  void stackIntoActiveWindowWithUndo() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    ScriptedPrompts prompts;
    ScopedUserPrompts installed(&prompts);
    TempDir dir;
    QCOMPARE(Python(kMake, {QString::fromStdString(dir.path())}), QString());
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* a = frame.OpenDocumentFile(QString::fromStdString(dir.File("a.fits")));
    QVERIFY(a);
    QPointer<CDlgBatchComposit> dlg =
        OpenStack(frame, prompts, {dir.File("b.fits"), dir.File("c.fits")}, 0);
    QVERIFY(dlg);
    auto* active = Child<QRadioButton>(dlg, CDlgBatchComposit::IDC_DEST_ACTIVE);
    QVERIFY(active->isEnabled());
    QTest::mouseClick(active, Qt::LeftButton, {}, QPoint(5, active->height() / 2));
    QVERIFY(active->isChecked());
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QTRY_VERIFY(!dlg || !dlg->isVisible());
    QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
    QCOMPARE(frame.Frames().size(), 1);
    QVERIFY(a->IsModified());
    QCOMPARE(Mismatches(*a->GetImgWnd().GetImagePtr(), dir.File("sum.fits")), 0);
    ChooseFromMenu(frame, cmd::ID_EDIT_UNDO);
    QCOMPARE(Mismatches(*a->GetImgWnd().GetImagePtr(), dir.File("a.fits")), 0);
  }
};

QTEST_MAIN(NoDocBatchTest)
#include "nodoc_batch_test.moc"

// The batch dialogs from the program's menu with clicks, where a run would lose a file:
// two targets of one file name from different folders, saved into one folder (or two
// table rows naming one output), are refused at OK with the message that lists them, the
// dialog staying open and nothing written; a bias of another size than the file saved
// over leaves the file byte for byte, with the bias's own message.
#include <QApplication>
#include <QCheckBox>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <filesystem>

#include "app/mainframe.h"
#include "batch/batchnaming.h"
#include "batch/batchtexts.h"
#include "dialogs/combodirectory.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgbatchdarkflat.h"
#include "dialogs/dlgbatchdarkflat2.h"
#include "dialogs/dlgbatchoverscan.h"
#include "dialogs/listtarget.h"
#include "dialogs/tablebox.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"

namespace {

// A small FITS frame of the value v, 12 rows of `width`.
std::string Frame(const TempDir& dir, const std::string& name, double v, int width = 16) {
  std::filesystem::create_directories(std::filesystem::path(dir.File(name)).parent_path());
  CRalImage image(width, 12, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(static_cast<std::size_t>(width), v);
  for (int y = 0; y < 12; ++y) image.SetPhysicalRow(y, 0, row.data());
  image.SetOrgFileFormat("FITS");
  if (CRalImageIO::WriteImageFile(image, dir.File(name), 0) != 1) return {};
  return dir.File(name);
}

// Chooses the menu entry with clicks; the dialog of type T that came up.
template <typename T>
T* OpenFromMenu(CMainFrame& frame, int id) {
  QMenuBar* bar = frame.menuBar();
  QAction* entry = frame.Command(id);
  if (!entry || !entry->isEnabled()) return nullptr;
  QAction* menuAction = nullptr;
  for (QAction* a : bar->actions())
    if (a->menu() && a->menu()->actions().contains(entry)) menuAction = a;
  if (!menuAction) return nullptr;
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(menuAction).center());
  auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
  if (!menu) return nullptr;
  QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
  for (QWidget* w : QApplication::allWidgets())
    if (auto* dlg = qobject_cast<T*>(w); dlg && dlg->isVisible()) return dlg;
  return nullptr;
}

void ClickRadio(QWidget* dlg, int id) {
  auto* radio = dlg->findChild<QRadioButton*>(QString::number(id));
  QVERIFY(radio);
  QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(6, radio->height() / 2));
  QVERIFY(radio->isChecked());
}

}  // namespace

class BatchRefusalsDialogTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;
  TempDir* src_ = nullptr;
  TempDir* out_ = nullptr;
  CMainFrame* frame_ = nullptr;
  std::string ax_, bx_, flat_;

  // After OK: the refusal listing both x.fits, the dialog open, nothing in the folder.
  void ExpectRefused(QWidget* dlg, const std::string& output) {
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text,
             batch::Format(batch_text::kSameOutput,
                           ax_ + " -> " + output + "\n" + bx_ + " -> " + output));
    QVERIFY(dlg->isVisible());
    QVERIFY(std::filesystem::is_empty(out_->path()));
  }

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    box_.shown.clear();
    scoped_ = new ScopedMessageBox(&box_);
    src_ = new TempDir;
    out_ = new TempDir;
    ax_ = Frame(*src_, "a/x.fits", 1000);
    bx_ = Frame(*src_, "b/x.fits", 2000);
    flat_ = Frame(*src_, "flat.fits", 1);
    QVERIFY(!ax_.empty() && !bx_.empty() && !flat_.empty());
    frame_ = new CMainFrame;
    frame_->resize(1000, 800);
    frame_->show();
    QVERIFY(QTest::qWaitForWindowExposed(frame_));
    // The processing menus show while an image is open.
    QVERIFY(frame_->OpenDocumentFile(QString::fromStdString(flat_)));
  }
  void cleanup() {
    delete frame_;
    delete out_;
    delete src_;
    delete scoped_;
    delete home_;
  }

  void commonCalibration() {
    QPointer<CDlgBatchDarkFlat> dlg = OpenFromMenu<CDlgBatchDarkFlat>(*frame_, 4523);
    QVERIFY(dlg);
    // Only the flat: a frame switched on with no image would be refused first.
    for (int id : {CDlgBatchDarkFlat::IDC_BIAS_CHECK, CDlgBatchDarkFlat::IDC_DARK_CHECK}) {
      auto* box = dlg->findChild<QCheckBox*>(QString::number(id));
      if (box->isChecked())
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
      QVERIFY(!box->isChecked());
    }
    dlg->Picker(2)->AddFile(flat_);
    dlg->Targets()->AddFiles({ax_, bx_});
    ClickRadio(dlg, CDlgBatchDarkFlat::IDC_RESULT_FOLDER);
    dlg->Directory()->AddDirectory(out_->path());
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    ExpectRefused(dlg, out_->File("x.fits"));
    QCOMPARE(dlg->GetLastResult(), -1);
    dlg->close();
  }

  void biasOfAnotherSizeLeavesTheFile() {
    const std::string bias = Frame(*src_, "bias.fits", 300, 17);
    QVERIFY(!bias.empty());
    const std::string before = ReadFileOrEmpty(ax_);
    QPointer<CDlgBatchDarkFlat> dlg = OpenFromMenu<CDlgBatchDarkFlat>(*frame_, 4523);
    QVERIFY(dlg);
    for (int id : {CDlgBatchDarkFlat::IDC_DARK_CHECK, CDlgBatchDarkFlat::IDC_FLAT_CHECK}) {
      auto* box = dlg->findChild<QCheckBox*>(QString::number(id));
      if (box->isChecked())
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
      QVERIFY(!box->isChecked());
    }
    auto* useBias = dlg->findChild<QCheckBox*>(QString::number(CDlgBatchDarkFlat::IDC_BIAS_CHECK));
    if (!useBias->isChecked())
      QTest::mouseClick(useBias, Qt::LeftButton, {}, QPoint(5, useBias->height() / 2));
    dlg->Picker(0)->AddFile(bias);
    dlg->Targets()->AddFiles({ax_});
    ClickRadio(dlg, CDlgBatchDarkFlat::IDC_RESULT_OVERWRITE);
    box_.Answer(IDYES);  // the overwrite question
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QTRY_VERIFY(!dlg || !dlg->isVisible());
    QCOMPARE(box_.shown.size(), std::size_t{2});
    QCOMPARE(box_.shown[0].text, std::string(batch_text::kOverwrite));
    QCOMPARE(box_.shown[1].text, std::string(batch_text::kBiasSizeDiffers));
    QVERIFY(ReadFileOrEmpty(ax_) == before);
  }

  void overscan() {
    auto* dlg = OpenFromMenu<CDlgBatchOverScan>(*frame_, cmd::ID_BATCH_OVERSCAN);
    QVERIFY(dlg);
    dlg->GetList()->AddFiles({ax_, bx_});
    ClickRadio(dlg, CDlgBatchOverScan::IDC_OTHER_FOLDER);
    dlg->GetDirectory()->AddDirectory(out_->path());
    auto* ok = dlg->findChild<QPushButton*>("IDOK");
    QTest::mouseClick(ok, Qt::LeftButton);
    ExpectRefused(dlg, out_->File("x.fits"));
    QVERIFY(!dlg->IsRunning());
    QCOMPARE(ok->text(), QString("OK"));
    dlg->close();
  }

  void table() {
    QPointer<CDlgBatchDarkFlat2> dlg = OpenFromMenu<CDlgBatchDarkFlat2>(*frame_, 4524);
    QVERIFY(dlg);
    const std::string output = out_->File("one.fits");
    for (int r = 0; r < 2; ++r) {
      dlg->Table()->SetCell(r, batch::kImage, r == 0 ? ax_ : bx_);
      dlg->Table()->SetCell(r, batch::kFlat, flat_);
      dlg->Table()->SetCell(r, batch::kOutput, output);
    }
    ClickRadio(dlg, CDlgBatchDarkFlat2::IDC_RESULT_SAVE);  // the dialog looks at the table again
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    ExpectRefused(dlg, output);
    QCOMPARE(dlg->GetLastResult(), -1);
    dlg->close();
  }
};

QTEST_MAIN(BatchRefusalsDialogTest)
#include "batch_refusals_dialog_test.moc"

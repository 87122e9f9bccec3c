// The calibration dialogs remember what the user chose, and only that, with real clicks and
// keys: the place of the characters added to output names reads back as it was chosen and
// is kept as its position in the list (0 at the beginning), as the overscan batch keeps
// it; the frame pickers remember a window by its file's path, so that after a restart a
// window of the same title from another folder, or whatever single image is open, is not
// put in a picker, and OK refuses while a frame that is switched on has no image.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <fstream>
#include <memory>

#include "app/kivimagedoc.h"
#include "app/mainframe.h"
#include "batch/batchnaming.h"
#include "batch/batchtexts.h"
#include "dialogs/combodirectory.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgbatchdarkflat.h"
#include "dialogs/dlgbatchdarkflat2.h"
#include "dialogs/dlgdarkflat.h"
#include "dialogs/listtarget.h"
#include "dialogs/tablebox.h"
#include "fileio/prompts.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

namespace {

// Frames of one size: dir/t.fits, bias.fits, dark.fits, flat.fits (positive).
const char* kMake =
    "import sys, numpy as np\nfrom astropy.io import fits\n"
    "rng = np.random.default_rng(int(sys.argv[2]))\n"
    "for n, lo, hi in [('t', 500, 3000), ('bias', 10, 20), ('dark', 50, 90), ('flat', 0.5, 1.5)]:\n"
    "    fits.PrimaryHDU(rng.uniform(lo, hi, (12, 16)).astype(np.float32))"
    ".writeto(sys.argv[1] + '/' + n + '.fits')\n";

bool Make(const TempDir& dir, int seed) {
  QProcess py;
  py.start("/usr/bin/python3",
           {"-c", kMake, QString::fromStdString(dir.path()), QString::number(seed)});
  return py.waitForFinished(60000) && py.exitCode() == 0;
}

template <typename T>
T* Control(QWidget* dlg, int id) {
  return dlg->findChild<T*>(QString::number(id));
}

template <typename D>
D* Shown() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* d = qobject_cast<D*>(w); d && d->isVisible()) return d;
  return nullptr;
}

void SetCheck(QWidget* dlg, int id, bool on) {
  auto* box = Control<QCheckBox>(dlg, id);
  QVERIFY(box && box->isEnabled());
  if (box->isChecked() != on)
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
  QCOMPARE(box->isChecked(), on);
}

void ClickRadio(QWidget* dlg, int id) {
  auto* r = Control<QRadioButton>(dlg, id);
  QTest::mouseClick(r, Qt::LeftButton, {}, QPoint(5, r->height() / 2));
  QVERIFY(r->isChecked());
}

// Picks the entry of the combo with the given text, with the keyboard.
void PickByKeys(QComboBox* combo, const QString& text) {
  combo->setFocus();
  QTest::keyClick(combo, Qt::Key_Home);
  for (int i = 0; i < combo->count() && combo->currentText() != text; ++i)
    QTest::keyClick(combo, Qt::Key_Down);
  QCOMPARE(combo->currentText(), text);
}

// The place of the added characters, chosen with the keyboard: 0 "最初に", 1 "最後に".
void PickPlace(QWidget* dlg, int id, int place) {
  auto* combo = Control<QComboBox>(dlg, id);
  QVERIFY(combo->isEnabled());
  combo->setFocus();
  QTest::keyClick(combo, place == 1 ? Qt::Key_End : Qt::Key_Home);
  QCOMPARE(combo->currentIndex(), place);
  QCOMPARE(combo->currentText(), QString::fromUtf8(place == 1 ? "最後に" : "最初に"));
}

void TypeInto(QWidget* dlg, int id, const QString& text) {
  auto* edit = Control<QLineEdit>(dlg, id);
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Backspace);
  QTest::keyClicks(edit, text);
}

std::string Stored(const char* section, const char* key) {
  std::string value;
  CRegistry::Read(section, key, "", value);
  return value;
}

std::unique_ptr<CMainFrame> NewFrame() {
  auto frame = std::make_unique<CMainFrame>();
  frame->resize(1000, 800);
  frame->show();
  return frame;
}

ScriptedPrompts::Answer Choose(std::vector<std::string> paths) {
  return [paths](Prompt& p) {
    static_cast<FileOpenPrompt&>(p).paths = paths;
    return true;
  };
}

}  // namespace

class CalibrationRecallTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;

 private slots:
  void init() { box_.shown.clear(); }

  // The common set: "最後に", run, reopened; then "最初に", run, reopened. Each run writes
  // its output under the name the place gives, and each reopening shows the place chosen.
  void commonSetKeepsThePlace() {
    using D = CDlgBatchDarkFlat;
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    ScriptedPrompts prompts;
    ScopedUserPrompts installed(&prompts);
    TempDir src, out;
    QVERIFY(Make(src, 3));
    auto frame = NewFrame();
    QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
    const struct {
      int place;
      const char* output;
    } runs[] = {{1, "t_c.fits"}, {0, "_ct.fits"}};
    for (const auto& run : runs) {
      ChooseFromMenu(*frame, 4523);
      QPointer<D> dlg = Shown<D>();
      QVERIFY(dlg);
      SetCheck(dlg, D::IDC_BIAS_CHECK, false);
      SetCheck(dlg, D::IDC_FLAT_CHECK, false);
      SetCheck(dlg, D::IDC_DARK_CHECK, true);
      prompts.Expect("FileOpen", Choose({src.File("dark.fits")}));
      QTest::mouseClick(Control<QPushButton>(dlg, D::IDC_DARK_BROWSE), Qt::LeftButton);
      prompts.Expect("FileOpen", Choose({src.File("t.fits")}));
      QTest::mouseClick(Control<QPushButton>(dlg, D::IDC_ADD), Qt::LeftButton);
      ClickRadio(dlg, D::IDC_RESULT_FOLDER);
      dlg->Directory()->AddDirectory(out.path());
      SetCheck(dlg, D::IDC_ADD_CHARACTERS, true);
      PickPlace(dlg, D::IDC_POSITION, run.place);
      TypeInto(dlg, D::IDC_CHARACTERS, "_c");
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      QTRY_VERIFY(!dlg || !dlg->isVisible());
      QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
      QVERIFY2(QFileInfo::exists(QString::fromStdString(out.File(run.output))), run.output);
      QCOMPARE(Stored(D::kSection, "CommonNameFirst"), std::to_string(run.place));

      ChooseFromMenu(*frame, 4523);
      dlg = Shown<D>();
      QVERIFY(dlg);
      QCOMPARE(Control<QComboBox>(dlg, D::IDC_POSITION)->currentIndex(), run.place);
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
      QTRY_VERIFY(!dlg || !dlg->isVisible());
    }
    QVERIFY(prompts.unexpected().empty());
  }

  // The table dialog likewise, its one row saved under the output name of the row.
  void tableKeepsThePlace() {
    using D = CDlgBatchDarkFlat2;
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    ScriptedPrompts prompts;
    ScopedUserPrompts installed(&prompts);
    TempDir src, out;
    QVERIFY(Make(src, 5));
    std::ofstream(src.File("table.txt"), std::ios::binary)
        << src.File("t.fits") << "," << src.File("bias.fits") << ",,,," << out.File("o.fits")
        << "\r\n";
    auto frame = NewFrame();
    QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
    const struct {
      int place;
      const char* output;
    } runs[] = {{1, "o_c.fits"}, {0, "_co.fits"}};
    for (const auto& run : runs) {
      ChooseFromMenu(*frame, 4524);
      QPointer<D> dlg = Shown<D>();
      QVERIFY(dlg);
      prompts.Expect("FileOpen", Choose({src.File("table.txt")}));
      QTest::mouseClick(Control<QPushButton>(dlg, D::IDC_OPEN_TABLE), Qt::LeftButton);
      QCOMPARE(dlg->Table()->GetRowCountUsed(), 1);
      ClickRadio(dlg, D::IDC_RESULT_SAVE);
      SetCheck(dlg, D::IDC_ADD_CHARACTERS, true);
      PickPlace(dlg, D::IDC_POSITION, run.place);
      TypeInto(dlg, D::IDC_CHARACTERS, "_c");
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      QTRY_VERIFY(!dlg || !dlg->isVisible());
      QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
      QVERIFY2(QFileInfo::exists(QString::fromStdString(out.File(run.output))), run.output);
      QCOMPARE(Stored(D::kSection, "CommonNameFirst"), std::to_string(run.place));

      ChooseFromMenu(*frame, 4524);
      dlg = Shown<D>();
      QVERIFY(dlg);
      QCOMPARE(Control<QComboBox>(dlg, D::IDC_POSITION)->currentIndex(), run.place);
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
      QTRY_VERIFY(!dlg || !dlg->isVisible());
    }
  }

  // Chosen: a window without a file as the bias, the window of dark.fits as the dark and
  // the file flat.fits as the flat. After a restart with only another folder's dark.fits
  // open, the bias and dark pickers are empty and OK says so; the flat is the file chosen.
  // Once the chosen dark.fits is open again, its window is the dark once more.
  void pickersRememberFilesNotTitles() {
    using D = CDlgBatchDarkFlat;
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    ScriptedPrompts prompts;
    ScopedUserPrompts installed(&prompts);
    TempDir one, two, out;
    QVERIFY(Make(one, 7));
    QVERIFY(Make(two, 8));
    {
      auto frame = NewFrame();
      QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
      QVERIFY(frame->OpenDocumentFile(QString::fromStdString(one.File("dark.fits"))));
      CVumDocument* scratch = nullptr;
      CRalImage* image = nullptr;
      QVERIFY(CVumDoc::MakeNewDocument(-32, 16, 12, 1, "scratch.fts", &scratch, &image, 1));
      QVERIFY(scratch->GetVumPathName().empty());

      ChooseFromMenu(*frame, 4523);
      QPointer<D> dlg = Shown<D>();
      QVERIFY(dlg);
      for (int i = 0; i < 4; ++i) QCOMPARE(dlg->Picker(i)->currentIndex(), -1);
      SetCheck(dlg, D::IDC_BIAS_CHECK, true);
      SetCheck(dlg, D::IDC_DARK_CHECK, true);
      SetCheck(dlg, D::IDC_FLAT_CHECK, true);
      SetCheck(dlg, D::IDC_FLATDARK_CHECK, false);
      prompts.Expect("FileOpen", Choose({one.File("t.fits")}));
      QTest::mouseClick(Control<QPushButton>(dlg, D::IDC_ADD), Qt::LeftButton);
      ClickRadio(dlg, D::IDC_RESULT_FOLDER);
      dlg->Directory()->AddDirectory(out.path());
      // Nothing chosen yet: refused, nothing written.
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      QCOMPARE(box_.shown.size(), std::size_t{1});
      QCOMPARE(box_.shown[0].text,
               batch::Format(batch_text::kFrameNotChosen, batch_text::kBiasName));
      QVERIFY(dlg->isVisible());
      QVERIFY(!QFileInfo::exists(QString::fromStdString(out.File("t.fits"))));
      box_.shown.clear();

      PickByKeys(dlg->Picker(0), "scratch.fts");
      PickByKeys(dlg->Picker(1), "dark.fits");
      prompts.Expect("FileOpen", Choose({one.File("flat.fits")}));
      QTest::mouseClick(Control<QPushButton>(dlg, D::IDC_FLAT_BROWSE), Qt::LeftButton);
      QCOMPARE(dlg->Picker(2)->currentText(), QString::fromStdString(one.File("flat.fits")));
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      QTRY_VERIFY(!dlg || !dlg->isVisible());
      QVERIFY2(box_.shown.empty(), box_.shown.empty() ? "" : box_.shown.front().text.c_str());
      QVERIFY(QFileInfo::exists(QString::fromStdString(out.File("t.fits"))));
      QCOMPARE(Stored(D::kFrameSection, "BiasFile"), std::string(CComboImage::kNothingChosen));
      QCOMPARE(Stored(D::kFrameSection, "DarkFile"), one.File("dark.fits"));
      QCOMPARE(Stored(D::kFrameSection, "FlatFile"), std::string());
      QCOMPARE(Stored(D::kFrameSection, "FlatFile0"), one.File("flat.fits"));
    }
    {
      // A restart with only the other folder's dark.fits open.
      auto frame = NewFrame();
      QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
      QVERIFY(frame->OpenDocumentFile(QString::fromStdString(two.File("dark.fits"))));
      ChooseFromMenu(*frame, 4523);
      QPointer<D> dlg = Shown<D>();
      QVERIFY(dlg);
      QCOMPARE(dlg->Picker(0)->currentIndex(), -1);
      QCOMPARE(dlg->Picker(1)->currentIndex(), -1);
      QCOMPARE(dlg->Picker(1)->itemText(0), QString("dark.fits"));  // listed, not chosen
      QCOMPARE(dlg->Picker(2)->currentText(), QString::fromStdString(one.File("flat.fits")));
      prompts.Expect("FileOpen", Choose({one.File("t.fits")}));
      QTest::mouseClick(Control<QPushButton>(dlg, D::IDC_ADD), Qt::LeftButton);
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      QCOMPARE(box_.shown.size(), std::size_t{1});
      QCOMPARE(box_.shown[0].text,
               batch::Format(batch_text::kFrameNotChosen, batch_text::kBiasName));
      QVERIFY(dlg->isVisible());
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
      QTRY_VERIFY(!dlg || !dlg->isVisible());

      // The chosen dark.fits opened again is the dark again.
      QVERIFY(frame->OpenDocumentFile(QString::fromStdString(one.File("dark.fits"))));
      ChooseFromMenu(*frame, 4523);
      dlg = Shown<D>();
      QVERIFY(dlg);
      CVumDocument* dark = dlg->Picker(1)->GetDocument();
      QVERIFY(dark);
      QCOMPARE(dark->GetVumPathName(), one.File("dark.fits"));
      QCOMPARE(dlg->Picker(0)->currentIndex(), -1);
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
      QTRY_VERIFY(!dlg || !dlg->isVisible());
    }
  }

  // The single-image calibration: a frame switched on without an image keeps the dialog
  // open with the message, and the image as it was.
  void singleImageRefusesAnEmptyFrame() {
    ScopedConfigHome home;
    ScopedMessageBox scoped(&box_);
    TempDir src;
    QVERIFY(Make(src, 9));
    auto frame = NewFrame();
    QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
    CKivImageDoc* doc = frame->OpenDocumentFile(QString::fromStdString(src.File("t.fits")));
    QVERIFY(doc);
    QVERIFY(frame->OpenDocumentFile(QString::fromStdString(src.File("dark.fits"))));
    QVERIFY(frame->OpenDocumentFile(QString::fromStdString(src.File("t.fits"))));
    const double before = doc->GetImgWnd().GetImagePtr()->GetPixel(3, 4);
    bool stayed = false, picked = false;
    WhenModal([&](QWidget* d) {
      SetCheck(d, CDlgDarkFlat::IDC_CHECK[1], true);
      auto* list = Control<QComboBox>(d, CDlgDarkFlat::IDC_LIST[1]);
      QCOMPARE(list->currentIndex(), -1);
      QTest::mouseClick(d->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      stayed = d->isVisible();
      PickByKeys(list, "dark.fits");
      picked = true;
      QTest::mouseClick(d->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    });
    ChooseFromMenu(*frame, cmd::ID_DARK_FLAT);
    QVERIFY(stayed);
    QVERIFY(picked);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, batch::Format(batch_text::kFrameNotChosen, batch_text::kDarkName));
    QCOMPARE(doc->GetImgWnd().GetImagePtr()->GetPixel(3, 4), before);
  }
};

QTEST_MAIN(CalibrationRecallTest)
#include "calibration_recall_test.moc"

// The single-image processing dialogs in the program, offscreen, opened from the menus
// with the keyboard and worked with real key and mouse events. Results are checked
// against numpy and scipy (tests/support/engine_ops_check.py): quarter and half turns
// against numpy.rot90 (a size kept by "SizeFixed" would show the general path taken
// instead), 30° against scipy.ndimage.rotate, resampling against block means, scrolling
// against numpy.roll and the contour map against numpy's bands. Cancel must give back
// every pixel as it was.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "dialogs/dlgcalc.h"
#include "dialogs/dlgdarkflat.h"
#include "dialogs/dlgimageops.h"
#include "dialogs/dlgnewimage.h"
#include "display/qt/ralimgwnd.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 60, kH = 40;  // not square: a quarter turn trades width and height

std::vector<double> Pixels(const CRalImage& image) {
  std::vector<double> out;
  std::vector<double> row(static_cast<std::size_t>(image.GetWidth()));
  for (int p = 0; p < image.GetPlanes(); ++p)
    for (int y = 0; y < image.GetHeight(); ++y) {
      image.GetPhysicalRow(y, p, row.data());
      out.insert(out.end(), row.begin(), row.end());
    }
  return out;
}

// The image as float64 (planes, height, width), the layout the oracle reads.
std::string Dump(const CRalImage& image, const std::string& path) {
  const std::vector<double> v = Pixels(image);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * 8));
  return path + ":" + std::to_string(image.GetPlanes()) + "," + std::to_string(image.GetHeight()) +
         "," + std::to_string(image.GetWidth());
}

bool HaveOracle() {
  return std::system("/usr/bin/python3 -c 'import numpy, scipy.ndimage' 2>/dev/null") == 0;
}

// Runs one oracle case; empty when it passed, else what the oracle said.
std::string Oracle(const TempDir& dir, const std::string& caseLine) {
  const std::string cases = dir.File("cases.txt"), log = dir.File("oracle.log");
  WriteFileOrDie(cases, caseLine + "\n");
  const int rc = std::system(
      ("/usr/bin/python3 " ENGINE_OPS_SCRIPT " " + cases + " > " + log + " 2>&1").c_str());
  const std::string said = ReadFileOrEmpty(log);
  return rc == 0 && said.rfind("ok ", 0) == 0 ? std::string() : said;
}

QWidget* Modal() {
  return QApplication::activeModalWidget();
}

template <typename T = QWidget>
T* Find(QWidget* dialog, int id) {
  return dialog->findChild<T*>(QString::number(id));
}

void TypeInto(QLineEdit* edit, const QString& text) {
  QTest::mouseDClick(edit, Qt::LeftButton);
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(edit, text);
}

void Click(QWidget* w) {
  QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(6, w->height() / 2));
}

void ClickOk(QWidget* dialog) {
  QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("IDOK")), Qt::LeftButton);
}

void ClickCancel(QWidget* dialog) {
  QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("IDCANCEL")), Qt::LeftButton);
}

}  // namespace

class ImageDialogsTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedMessageBox* scoped_ = nullptr;
  ScopedConfigHome* home_ = nullptr;
  TempDir* dir_ = nullptr;
  CMainFrame* frame_ = nullptr;

  CRalImgWnd& Wnd() { return frame_->ActiveView()->GetImgWnd(); }

  // Opens menu (Alt + its letter) and chooses the entry by its letter; body runs on the
  // dialog that comes up, and whatever it leaves open is cancelled.
  bool FromMenu(Qt::Key menu, Qt::Key entry, const std::function<void(QWidget*)>& body) {
    // The polling outlives this call when no dialog comes up: it holds its own state.
    struct State {
      bool ran = false, over = false;
      std::function<void(QWidget*)> body;
    };
    auto state = std::make_shared<State>();
    state->body = body;
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [state, weak = std::weak_ptr<std::function<void()>>(poll)] {
      if (state->over) return;
      QWidget* dialog = Modal();
      if (!dialog || !dialog->isVisible()) {
        if (auto again = weak.lock()) QTimer::singleShot(10, [again] { (*again)(); });
        return;
      }
      state->ran = true;
      state->body(dialog);
      if (Modal() == dialog && dialog->isVisible()) ClickCancel(dialog);
    };
    QTimer::singleShot(0, [poll] { (*poll)(); });
    // Offscreen, nothing hands the activation back to the frame when a dialog closes.
    frame_->activateWindow();
    if (!QTest::qWaitForWindowActive(frame_)) return false;
    QTest::keyClick(frame_, menu, Qt::AltModifier);
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (popup) QTest::keyClick(popup, entry);
    state->over = true;
    return popup && state->ran;
  }

  // A new image window of the source's size (width + grow) holding base + slope × (x + 2y)
  // with a little pattern; the source's window is made active again.
  CRalImage* NewFrame(const char* title, int grow, double base, double slope) {
    CKivImageDoc* active = frame_->ActiveDocument();
    CVumDocument* doc = nullptr;
    CRalImage* image = nullptr;
    if (!CVumDoc::MakeNewDocument(-32, kW + grow, kH, 1, title, &doc, &image, 1)) return nullptr;
    std::vector<double> row(static_cast<std::size_t>(kW + grow));
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW + grow; ++x)
        row[static_cast<std::size_t>(x)] = base + slope * (x + 2 * y) + (x * 7 + y * 3) % 11;
      image->SetPhysicalRow(y, 0, row.data());
    }
    image->SetLevel(0, base, base + 100);
    doc->UpdateAllVumViews();
    for (CChildFrame* f : frame_->Frames())
      if (f->GetDocument() == active) f->mdiArea()->setActiveSubWindow(f);
    return image;
  }

  // Runs a menu entry that opens no dialog (Alt + the menu's letter, then the entry's).
  bool MenuCommand(Qt::Key menu, Qt::Key entry) {
    frame_->activateWindow();
    if (!QTest::qWaitForWindowActive(frame_)) return false;
    QTest::keyClick(frame_, menu, Qt::AltModifier);
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (!popup) return false;
    QTest::keyClick(popup, entry);
    // Offscreen, the closed menu stays the active window: hand activation back.
    const bool closed = QTest::qWaitFor([popup] { return !popup->isVisible(); });
    QApplication::setActiveWindow(frame_);
    return closed;
  }

  // Chooses the entry titled title in a picker with the arrow keys.
  static bool Choose(QComboBox* list, const QString& title) {
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Home);
    for (int i = 0; i < list->count() && !list->currentText().contains(title); ++i)
      QTest::keyClick(list, Qt::Key_Down);
    return list->currentText().contains(title);
  }

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    box_.shown.clear();
    scoped_ = new ScopedMessageBox(&box_);
    dir_ = new TempDir;
    const std::string path = dir_->File("field.fits");
    QCOMPARE(WriteSampleStarField(path, kW, kH), 0);
    frame_ = new CMainFrame;
    frame_->resize(900, 700);
    frame_->show();
    QVERIFY(QTest::qWaitForWindowExposed(frame_));
    QVERIFY(frame_->OpenDocumentFile(QString::fromStdString(path)));
  }
  void cleanup() {
    for (CChildFrame* f : frame_->Frames()) f->GetDocument()->SetModifiedFlag(false);
    delete frame_;
    delete dir_;
    delete scoped_;
    delete home_;
  }

  void rotate_data() {
    QTest::addColumn<QString>("angle");
    QTest::addColumn<int>("clockwise");
    QTest::addColumn<QString>("oracle");
    // The turn as seen on the screen, first stored row at the top: counterclockwise 90°
    // is numpy.rot90(a, 1) of the rows.
    QTest::newRow("ccw 90") << "90" << 0 << "rot90 k=1";
    QTest::newRow("cw 90") << "90" << 1 << "rot90 k=-1";
    QTest::newRow("ccw -90") << "-90" << 0 << "rot90 k=-1";
    QTest::newRow("ccw 270") << "270" << 0 << "rot90 k=-1";
    QTest::newRow("cw 180") << "180" << 1 << "rot90 k=2";
    // The engine's positive angle is clockwise on the screen.
    QTest::newRow("ccw 30") << "30" << 0 << "rotate angle=-30 fixed=1";
  }
  void rotate() {
    if (!HaveOracle()) QSKIP("/usr/bin/python3 lacks numpy or scipy");
    QFETCH(QString, angle);
    QFETCH(int, clockwise);
    QFETCH(QString, oracle);
    const std::string before = Dump(*Wnd().GetImagePtr(), dir_->File("a.f8"));
    QVERIFY(FromMenu(Qt::Key_E, Qt::Key_R, [&](QWidget* d) {
      TypeInto(Find<QLineEdit>(d, CDlgRotate::IDC_ANGLE), angle);
      Click(d->findChild<QRadioButton*>(QStringLiteral("1101_%1").arg(clockwise)));
      // Size kept: the general path would keep 60 × 40, a quarter turn cannot.
      auto* fixed = Find<QCheckBox>(d, CDlgRotate::IDC_SIZE_FIXED);
      if (!fixed->isChecked()) Click(fixed);
      ClickOk(d);
    }));
    const CRalImage& image = *Wnd().GetImagePtr();
    const std::string after = Dump(image, dir_->File("out.f8"));
    const std::string why =
        Oracle(*dir_, "rotate " + oracle.toStdString() + " in=" + before + " out=" + after);
    QVERIFY2(why.empty(), why.c_str());
    QCOMPARE(image.GetUndoDialogName(), std::string(imageops_text::kRotateCaption));
    QVERIFY(frame_->ActiveDocument()->IsModified());
  }

  void cancelGivesBackEveryPixel_data() {
    QTest::addColumn<int>("menu");
    QTest::addColumn<int>("entry");
    QTest::newRow("rotate") << int(Qt::Key_E) << int(Qt::Key_R);
    QTest::newRow("translate") << int(Qt::Key_E) << int(Qt::Key_T);
    QTest::newRow("resolution") << int(Qt::Key_E) << int(Qt::Key_E);
    QTest::newRow("overscan") << int(Qt::Key_D) << int(Qt::Key_O);
    QTest::newRow("calibration") << int(Qt::Key_D) << int(Qt::Key_D);
  }
  void cancelGivesBackEveryPixel() {
    QFETCH(int, menu);
    QFETCH(int, entry);
    const std::vector<double> before = Pixels(*Wnd().GetImagePtr());
    const bool undoBefore = frame_->Command(cmd::ID_EDIT_UNDO)->isEnabled();
    QVERIFY(FromMenu(Qt::Key(menu), Qt::Key(entry), [&](QWidget* d) { ClickCancel(d); }));
    // A cancelled dialog leaves nothing new to undo.
    QCOMPARE(frame_->Command(cmd::ID_EDIT_UNDO)->isEnabled(), undoBefore);
    const CRalImage& image = *Wnd().GetImagePtr();
    QCOMPARE(image.GetWidth(), kW);
    QCOMPARE(image.GetHeight(), kH);
    QVERIFY(Pixels(image) == before);
    QVERIFY(!frame_->ActiveDocument()->IsModified());
  }

  void resolutionRefusesZeroThenResamples() {
    if (!HaveOracle()) QSKIP("/usr/bin/python3 lacks numpy or scipy");
    const std::string before = Dump(*Wnd().GetImagePtr(), dir_->File("a.f8"));
    bool stayed = false;
    QVERIFY(FromMenu(Qt::Key_E, Qt::Key_E, [&](QWidget* d) {
      // The fields open with the image's size.
      QCOMPARE(Find<QLineEdit>(d, CDlgResolution::IDC_WIDTH)->text(), QString::number(kW));
      TypeInto(Find<QLineEdit>(d, CDlgResolution::IDC_WIDTH), "0");
      ClickOk(d);
      stayed = d->isVisible();
      TypeInto(Find<QLineEdit>(d, CDlgResolution::IDC_WIDTH), "30");
      TypeInto(Find<QLineEdit>(d, CDlgResolution::IDC_HEIGHT), "20");
      ClickOk(d);
    }));
    QVERIFY(stayed);
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(imageops_text::kSizeAboveZero));
    const CRalImage& image = *Wnd().GetImagePtr();
    QCOMPARE(image.GetWidth(), 30);
    QCOMPARE(image.GetHeight(), 20);
    const std::string why =
        Oracle(*dir_, "half shrink in=" + before + " out=" + Dump(image, dir_->File("out.f8")));
    QVERIFY2(why.empty(), why.c_str());
  }

  // An image grown past the window gets scroll bars at once, and undo takes them away.
  void viewFollowsANewSizeAndItsUndo() {
    CKivImageView* view = frame_->ActiveView();
    QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QVERIFY(FromMenu(Qt::Key_E, Qt::Key_E, [&](QWidget* d) {
      TypeInto(Find<QLineEdit>(d, CDlgResolution::IDC_WIDTH), "3000");
      TypeInto(Find<QLineEdit>(d, CDlgResolution::IDC_HEIGHT), "2000");
      ClickOk(d);
    }));
    QCOMPARE(Wnd().GetImagePtr()->GetWidth(), 3000);
    QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(view->horizontalScrollBar()->maximum() > 0);
    frame_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(frame_));
    QTest::keyClick(frame_, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(Wnd().GetImagePtr()->GetWidth(), kW);
    QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(view->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  }

  void translate_data() {
    QTest::addColumn<int>("direction");
    QTest::addColumn<QString>("amount");
    QTest::addColumn<QString>("oracle");
    QTest::newRow("right 7") << 0 << "7"
                             << "scroll dx=7 dy=0";
    QTest::newRow("left 3") << 0 << "-3"
                            << "scroll dx=-3 dy=0";
    // Up on the screen is toward the first stored row.
    QTest::newRow("up 5") << 1 << "5"
                          << "scroll dx=0 dy=-5";
  }
  void translate() {
    if (!HaveOracle()) QSKIP("/usr/bin/python3 lacks numpy or scipy");
    QFETCH(int, direction);
    QFETCH(QString, amount);
    QFETCH(QString, oracle);
    const std::string before = Dump(*Wnd().GetImagePtr(), dir_->File("a.f8"));
    QVERIFY(FromMenu(Qt::Key_E, Qt::Key_T, [&](QWidget* d) {
      Click(d->findChild<QRadioButton*>(QStringLiteral("1120_%1").arg(direction)));
      TypeInto(Find<QLineEdit>(d, CDlgScroll::IDC_AMOUNT), amount);
      ClickOk(d);
    }));
    const std::string why =
        Oracle(*dir_, "move " + oracle.toStdString() + " in=" + before +
                          " out=" + Dump(*Wnd().GetImagePtr(), dir_->File("out.f8")));
    QVERIFY2(why.empty(), why.c_str());
  }

  // The sky under each star stays under it through the dialogs and the mirrors, for
  // every form of the coordinate matrix and both row orders, as astropy reads the saved
  // result (tests/cli/geometry_wcs_test.py --pair).
  void skyFollowsThePixels_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<int>("bottomUp");
    for (const char* form : {"CD", "PC", "CDELT", "CROTA", "ZPN", "SIP"})
      for (int bottomUp : {1, 0})
        QTest::addRow("%s rows %s", form, bottomUp ? "bottom-up" : "top-down")
            << QString(form) << bottomUp;
  }
  void skyFollowsThePixels() {
    if (std::system("/usr/bin/python3 -c 'import numpy, astropy.wcs' 2>/dev/null") != 0)
      QSKIP("/usr/bin/python3 lacks numpy or astropy");
    QFETCH(QString, form);
    QFETCH(int, bottomUp);
    CRegistry::Write("IO", "FitsBottomUp", bottomUp, CRegistry::TYPE_BOOL);
    const std::string make = "/usr/bin/python3 " GEOMETRY_WCS_SCRIPT " --make " + dir_->path();
    QCOMPARE(std::system(make.c_str()), 0);
    const std::string source = dir_->File(form.toStdString() + ".fits");
    // Each operation on a freshly opened window, as the menus and dialogs run it.
    const std::vector<std::pair<std::string, std::function<bool()>>> operations = {
        {"rotate 90",
         [&] {
           return FromMenu(Qt::Key_E, Qt::Key_R, [&](QWidget* d) {
             TypeInto(Find<QLineEdit>(d, CDlgRotate::IDC_ANGLE), "90");
             Click(d->findChild<QRadioButton*>(QStringLiteral("1101_0")));
             ClickOk(d);
           });
         }},
        {"rotate 30",
         [&] {
           return FromMenu(Qt::Key_E, Qt::Key_R, [&](QWidget* d) {
             TypeInto(Find<QLineEdit>(d, CDlgRotate::IDC_ANGLE), "30");
             Click(d->findChild<QRadioButton*>(QStringLiteral("1101_0")));
             auto* fixed = Find<QCheckBox>(d, CDlgRotate::IDC_SIZE_FIXED);
             if (fixed->isChecked()) Click(fixed);
             ClickOk(d);
           });
         }},
        {"resample",
         [&] {
           return FromMenu(Qt::Key_E, Qt::Key_E, [&](QWidget* d) {
             auto* keep = d->findChild<QCheckBox*>(QString::number(CDlgResolution::IDC_KEEP_RATIO));
             if (keep && keep->isChecked()) Click(keep);
             TypeInto(Find<QLineEdit>(d, CDlgResolution::IDC_WIDTH), "97");
             TypeInto(Find<QLineEdit>(d, CDlgResolution::IDC_HEIGHT), "30");
             ClickOk(d);
           });
         }},
        {"scroll right 7",
         [&] {
           return FromMenu(Qt::Key_E, Qt::Key_T, [&](QWidget* d) {
             Click(d->findChild<QRadioButton*>(QStringLiteral("1120_0")));
             TypeInto(Find<QLineEdit>(d, CDlgScroll::IDC_AMOUNT), "7");
             ClickOk(d);
           });
         }},
        {"scroll up 5",
         [&] {
           return FromMenu(Qt::Key_E, Qt::Key_T, [&](QWidget* d) {
             Click(d->findChild<QRadioButton*>(QStringLiteral("1120_1")));
             TypeInto(Find<QLineEdit>(d, CDlgScroll::IDC_AMOUNT), "5");
             ClickOk(d);
           });
         }},
        {"flip horizontal", [&] { return MenuCommand(Qt::Key_E, Qt::Key_V); }},
        {"flip vertical", [&] { return MenuCommand(Qt::Key_E, Qt::Key_H); }},
    };
    for (const auto& [name, run] : operations) {
      QVERIFY(frame_->OpenDocumentFile(QString::fromStdString(source)));
      QVERIFY2(run(), name.c_str());
      const std::string out = dir_->File("out.fits");
      QCOMPARE(CRalImageIO::WriteImageFile(*Wnd().GetImagePtr(), out, 0), 1);
      const std::string check = "/usr/bin/python3 " GEOMETRY_WCS_SCRIPT " --pair " +
                                form.toStdString() + " " + source + " " + out + " '" + name + "' " +
                                std::to_string(bottomUp) + " > " + dir_->File("sky.log") + " 2>&1";
      const int rc = std::system(check.c_str());
      QVERIFY2(rc == 0, (name + ": " + ReadFileOrEmpty(dir_->File("sky.log"))).c_str());
      CKivImageDoc* doc = frame_->ActiveDocument();
      doc->SetModifiedFlag(false);
      for (CChildFrame* f : frame_->Frames())
        if (f->GetDocument() == doc) f->close();
      QTRY_VERIFY(frame_->ActiveDocument() != doc);
    }
    CRegistry::Write("IO", "FitsBottomUp", 1, CRegistry::TYPE_BOOL);
  }

  void overscanSubtractsTheMeanOfTheShownRegion() {
    const CRalImage source(*Wnd().GetImagePtr());
    // Shown row 1 of a FITS image read bottom-up is the last stored row; columns 3 to 12.
    double sum = 0;
    for (int x = 2; x < 12; ++x) sum += source.GetPixel(x, kH - 1, 0);
    const double level = sum / 10;
    QVERIFY(FromMenu(Qt::Key_D, Qt::Key_O, [&](QWidget* d) {
      TypeInto(Find<QLineEdit>(d, CDlgOverscan::IDC_X1), "3");
      TypeInto(Find<QLineEdit>(d, CDlgOverscan::IDC_X2), "12");
      TypeInto(Find<QLineEdit>(d, CDlgOverscan::IDC_Y1), "1");
      TypeInto(Find<QLineEdit>(d, CDlgOverscan::IDC_Y2), "1");
      auto* clip = Find<QCheckBox>(d, CDlgOverscan::IDC_CLIPPING);
      if (clip->isChecked()) Click(clip);
      ClickOk(d);
    }));
    const CRalImage& image = *Wnd().GetImagePtr();
    for (int y = 0; y < kH; y += 7)
      for (int x = 0; x < kW; x += 5)
        QVERIFY(std::fabs(image.GetPixel(x, y, 0) - (source.GetPixel(x, y, 0) - level)) < 1e-3);
  }

  void contourDrawsInANewWindow() {
    if (!HaveOracle()) QSKIP("/usr/bin/python3 lacks numpy or scipy");
    const std::vector<double> pixels = Pixels(*Wnd().GetImagePtr());
    const std::string before = Dump(*Wnd().GetImagePtr(), dir_->File("a.f8"));
    const int windows = frame_->Frames().size();
    // Cancel closes the new window again.
    QVERIFY(FromMenu(Qt::Key_I, Qt::Key_N, [&](QWidget* d) { ClickCancel(d); }));
    QTRY_COMPARE(frame_->Frames().size(), windows);
    QVERIFY(FromMenu(Qt::Key_I, Qt::Key_N, [&](QWidget* d) {
      TypeInto(Find<QLineEdit>(d, CDlgContour::IDC_STEP), "250");
      Click(d->findChild<QRadioButton*>(QStringLiteral("1131_0")));
      // The preview draws into the new window while the dialog is open; the image it
      // comes from stays as it is.
      CRalImgWnd* shown = nullptr;
      for (CChildFrame* f : frame_->Frames())
        if (f->GetDocument()->GetTitle() == QStringLiteral("field-contour.fits"))
          shown = &f->GetDocument()->GetImgWnd();
      QVERIFY(shown);
      QTRY_VERIFY(Pixels(*shown->GetImagePtr()) != pixels);
      ClickOk(d);
    }));
    QTRY_COMPARE(frame_->Frames().size(), windows + 1);
    CKivImageDoc* made = nullptr;
    for (CChildFrame* f : frame_->Frames())
      if (f->GetDocument()->GetTitle() == QStringLiteral("field-contour.fits"))
        made = f->GetDocument();
    QVERIFY(made);
    const CRalImage& contour = *made->GetImgWnd().GetImagePtr();
    QVERIFY(contour.GetContourMap());
    const std::string why = Oracle(*dir_, "contour contour step=250 mode=0 in=" + before +
                                              " out=" + Dump(contour, dir_->File("out.f8")));
    QVERIFY2(why.empty(), why.c_str());
    // The image it was made from is as it was.
    for (CChildFrame* f : frame_->Frames())
      if (f->GetDocument() != made)
        QVERIFY(Pixels(*f->GetDocument()->GetImgWnd().GetImagePtr()) == pixels);
  }

  void newImageTitleAndSizeChecks() {
    // The open window's title, in other letter cases, is taken.
    CDlgNewImage named(frame_);
    named.SetName("FIELD.FITS");
    bool stayed = false;
    QTimer::singleShot(0, &named, [&] {
      QVERIFY(QTest::qWaitForWindowExposed(&named));
      ClickOk(&named);
      stayed = named.isVisible();
      TypeInto(Find<QLineEdit>(&named, CDlgNewImage::IDC_NAME), "dark.fits");
      ClickOk(&named);
    });
    QCOMPARE(named.DoModal(), int(QDialog::Accepted));
    QVERIFY(stayed);
    QCOMPARE(named.GetName(), std::string("dark.fits"));
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(newimage_text::kDuplicateTitle));

    CDlgNewImageWithSize sized(frame_);
    QTimer::singleShot(0, &sized, [&] {
      QVERIFY(QTest::qWaitForWindowExposed(&sized));
      TypeInto(Find<QLineEdit>(&sized, CDlgNewImageWithSize::IDC_HEIGHT), "0");
      ClickOk(&sized);
      stayed = sized.isVisible();
      TypeInto(Find<QLineEdit>(&sized, CDlgNewImageWithSize::IDC_HEIGHT), "33");
      ClickOk(&sized);
    });
    QCOMPARE(sized.DoModal(), int(QDialog::Accepted));
    QVERIFY(stayed);
    QCOMPARE(sized.GetHeight(), 33);
    QCOMPARE(box_.shown.size(), std::size_t{2});
    QCOMPARE(box_.shown[1].text, std::string(newimage_text::kAboveZero));
  }
  void calibrationFromTheMenu_data() {
    QTest::addColumn<int>("darkGrow");
    QTest::addColumn<bool>("flat");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("oracle");
    QTest::newRow("bias, dark, flat") << 0 << true << ""
                                      << "bdf";
    // A dark of another size leaves only the bias subtracted.
    QTest::newRow("dark of another size") << 4 << false << darkflat_text::kDarkSize << "b";
  }
  void calibrationFromTheMenu() {
    if (!HaveOracle()) QSKIP("/usr/bin/python3 lacks numpy or scipy");
    QFETCH(int, darkGrow);
    QFETCH(bool, flat);
    QFETCH(QString, message);
    QFETCH(QString, oracle);
    const CRalImage* bias = NewFrame("bias.fts", 0, 200, 0.1);
    const CRalImage* dark = NewFrame("dark.fts", darkGrow, 260, 0.3);
    const CRalImage* flatImage = NewFrame("flat.fts", 0, 9000, -15);
    QVERIFY(bias && dark && flatImage);
    const CRalImage source(*Wnd().GetImagePtr());
    QVERIFY(FromMenu(Qt::Key_D, Qt::Key_D, [&](QWidget* d) {
      const char* titles[] = {"bias.fts", "dark.fts", "flat.fts"};
      for (int i = 0; i < (flat ? 3 : 2); ++i) {
        Click(Find<QCheckBox>(d, CDlgDarkFlat::IDC_CHECK[i]));
        QVERIFY(
            Choose(Find<QComboBox>(d, CDlgDarkFlat::IDC_LIST[i]), QString::fromLatin1(titles[i])));
      }
      // The dark of the flat waits for the flat.
      QCOMPARE(Find<QCheckBox>(d, CDlgDarkFlat::IDC_CHECK[3])->isEnabled(), flat);
      ClickOk(d);
    }));
    if (message.isEmpty()) {
      QCOMPARE(box_.shown.size(), std::size_t{0});
    } else {
      QCOMPARE(box_.shown.size(), std::size_t{1});
      QCOMPARE(QString::fromStdString(box_.shown[0].text), message);
    }
    const CRalImage& image = *Wnd().GetImagePtr();
    std::string args =
        " in=" + Dump(source, dir_->File("a")) + " out=" + Dump(image, dir_->File("o"));
    if (oracle.contains('b')) args += " bias=" + Dump(*bias, dir_->File("b"));
    if (oracle.contains('d')) args += " dark=" + Dump(*dark, dir_->File("d"));
    if (oracle.contains('f')) args += " flat=" + Dump(*flatImage, dir_->File("f"));
    const std::string log = dir_->File("log");
    QVERIFY2(
        std::system(
            ("/usr/bin/python3 " CALIBRATION_SCRIPT + args + " > " + log + " 2>&1").c_str()) == 0,
        ReadFileOrEmpty(log).c_str());
    QCOMPARE(image.GetUndoDialogName(), std::string(darkflat_text::kCaption));
  }

  void calcWithAValuePreviewsAndCancels() {
    if (!HaveOracle()) QSKIP("/usr/bin/python3 lacks numpy or scipy");
    const std::vector<double> pixels = Pixels(*Wnd().GetImagePtr());
    const std::string before = Dump(*Wnd().GetImagePtr(), dir_->File("a.f8"));
    // Multiply: the preview shows the product, Cancel gives back every pixel.
    QVERIFY(FromMenu(Qt::Key_C, Qt::Key_M, [&](QWidget* d) {
      QVERIFY(d->windowTitle().startsWith(QString::fromUtf8("乗算")));
      Click(d->findChild<QRadioButton*>(QStringLiteral("1201_0")));
      TypeInto(Find<QLineEdit>(d, CDlgCalc::IDC_VALUE), "3");
      Click(Find<QCheckBox>(d, vum::IDC_PREVIEW));  // off: the preview is taken back
      Click(Find<QCheckBox>(d, vum::IDC_PREVIEW));  // on again with the new value
      QTRY_VERIFY(Pixels(*Wnd().GetImagePtr()) != pixels);
      ClickCancel(d);
    }));
    QVERIFY(Pixels(*Wnd().GetImagePtr()) == pixels);
    // Subtract 1000 with values below 0 cut.
    QVERIFY(FromMenu(Qt::Key_C, Qt::Key_S, [&](QWidget* d) {
      Click(d->findChild<QRadioButton*>(QStringLiteral("1201_0")));
      TypeInto(Find<QLineEdit>(d, CDlgCalc::IDC_VALUE), "1000");
      auto* cut = Find<QCheckBox>(d, CDlgCalc::IDC_CUT_MINUS);
      QVERIFY(cut->isEnabled());
      if (!cut->isChecked()) Click(cut);
      ClickOk(d);
    }));
    const std::string why = Oracle(*dir_, "sub calc op=1 value=1000 cut=1 in=" + before + " out=" +
                                              Dump(*Wnd().GetImagePtr(), dir_->File("o.f8")));
    QVERIFY2(why.empty(), why.c_str());
    QCOMPARE(Wnd().GetImagePtr()->GetUndoDialogName(), std::string("減算"));
  }

  void calcWithAnotherImageKeepsTheLevels() {
    if (!HaveOracle()) QSKIP("/usr/bin/python3 lacks numpy or scipy");
    const CRalImage* other = NewFrame("other.fts", 0, 500, 2);
    QVERIFY(other);
    const CRalImage source(*Wnd().GetImagePtr());
    QVERIFY(FromMenu(Qt::Key_C, Qt::Key_S, [&](QWidget* d) {
      Click(d->findChild<QRadioButton*>(QStringLiteral("1201_1")));
      QVERIFY(Choose(Find<QComboBox>(d, CDlgCalc::IDC_IMAGE), QStringLiteral("other.fts")));
      TypeInto(Find<QLineEdit>(d, CDlgCalc::IDC_SHIFT_X), "0");
      TypeInto(Find<QLineEdit>(d, CDlgCalc::IDC_SHIFT_Y), "0");
      auto* cut = Find<QCheckBox>(d, CDlgCalc::IDC_CUT_MINUS);
      if (cut->isChecked()) Click(cut);
      ClickOk(d);
    }));
    const CRalImage& image = *Wnd().GetImagePtr();
    // The image less the other: the subtraction of a bias frame, as numpy sees it.
    const std::string args = " in=" + Dump(source, dir_->File("a")) +
                             " out=" + Dump(image, dir_->File("o")) +
                             " bias=" + Dump(*other, dir_->File("b"));
    const std::string log = dir_->File("log");
    QVERIFY2(
        std::system(
            ("/usr/bin/python3 " CALIBRATION_SCRIPT + args + " > " + log + " 2>&1").c_str()) == 0,
        ReadFileOrEmpty(log).c_str());
    QCOMPARE(image.GetLevelMin(0), source.GetLevelMin(0));
    QCOMPARE(image.GetLevelMax(0), source.GetLevelMax(0));
  }
};

QTEST_MAIN(ImageDialogsTest)
#include "image_dialogs_test.moc"

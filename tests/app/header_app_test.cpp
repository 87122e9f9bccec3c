// The FITS header command of the program, offscreen and by mouse and keys: a card edited
// and one added through the View menu, the image saved, and the file read back by astropy
// with the edited cards and accepted by fitsverify; Cancel leaves the header as it was;
// after the dispersion axis was set the image's file may not be overwritten.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "app/apptexts.h"
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "dialogs/dlgeditheader.h"
#include "display/qt/ralimgwnd.h"
#include "fileio/filedialogs.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

namespace {

void Click(QWidget* parent, const QString& name) {
  auto* w = parent->findChild<QWidget*>(name);
  QVERIFY2(w, qPrintable(name));
  QTest::mouseClick(w, Qt::LeftButton, {}, w->rect().center());
}

void ClickRow(QListWidget* list, int row, Qt::KeyboardModifiers mods = {}) {
  list->scrollToItem(list->item(row));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, mods,
                    list->visualItemRect(list->item(row)).center());
}

void Type(QWidget* editor, const QString& text) {
  auto* edit = editor->findChild<QLineEdit*>(QString::number(CDlgEditHeaderEdit::IDC_CARD));
  QVERIFY(edit);
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(edit, text);
  QTest::keyClick(edit, Qt::Key_Return);
}

// Opens View → FITS header with the mouse; body runs in the header dialog.
void OpenHeaderDialog(CMainFrame& frame, const std::function<void(CDlgEditHeader*)>& body) {
  QMenuBar* bar = frame.menuBar();
  QMenu* view = nullptr;
  for (QAction* a : bar->actions())
    if (a->text() == QString::fromUtf8(app_text::kMenuView)) view = a->menu();
  QVERIFY(view);
  QAction* command = nullptr;
  for (QAction* a : view->actions())
    if (a->text() == QStringLiteral("FITSﾍｯﾀﾞｰ(&H)...")) command = a;
  QVERIFY(command);
  QVERIFY(command->isEnabled());
  WhenModal([&](QWidget* w) {
    auto* dialog = qobject_cast<CDlgEditHeader*>(w);
    QVERIFY(dialog);
    body(dialog);
  });
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(view->menuAction()).center());
  QTRY_VERIFY(view->isVisible());
  QTest::mouseClick(view, Qt::LeftButton, {}, view->actionGeometry(command).center());
}

int Run(const QString& command, const QStringList& args, QString* out) {
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(command, args);
  if (!p.waitForFinished(60000)) return -1;
  *out = QString::fromUtf8(p.readAll());
  return p.exitCode();
}

}  // namespace

class HeaderAppTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedMessageBox* scoped_ = nullptr;
  ScopedConfigHome* home_ = nullptr;
  AcceptingPrompts accept_;
  ScopedUserPrompts* prompts_ = nullptr;
  TempDir* dir_ = nullptr;

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    prompts_ = new ScopedUserPrompts(&accept_);
    dir_ = new TempDir;
    box_.shown.clear();
  }
  void cleanup() {
    delete dir_;
    delete prompts_;
    delete scoped_;
    delete home_;
  }

  void editedHeaderIsSavedAndReadByAstropy() {
    QString out;
    if (Run("/usr/bin/python3", {"-c", "import astropy.io.fits"}, &out) != 0 ||
        Run("sh", {"-c", "command -v fitsverify"}, &out) != 0)
      QSKIP("astropy or fitsverify is missing");
    const std::string sample = dir_->File("sample.fits");
    QCOMPARE(WriteSampleStarField(sample, 120, 80), 0);
    CMainFrame frame;
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(sample));
    QVERIFY(doc);
    CRalImgWnd& wnd = doc->GetImgWnd();
    const CFitsHeader before = wnd.GetImagePtr()->m_FitsHeader;

    // Cancel: a deleted card comes back.
    OpenHeaderDialog(frame, [&](CDlgEditHeader* dialog) {
      const int shown = dialog->m_Header.GetCount();
      ClickRow(dialog->List(), 0);
      Click(dialog, "delete");
      QCOMPARE(dialog->m_Header.GetCount(), shown - 1);
      Click(dialog, "IDCANCEL");
    });
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(wnd.GetImagePtr()->m_FitsHeader == before);
    QVERIFY(!doc->IsModified());

    // A flip, then the editor opened and cancelled: Ctrl+Z still takes the flip back.
    auto column = [&wnd] {
      std::vector<double> v;
      for (int y = 0; y < wnd.GetImagePtr()->GetHeight(); ++y)
        v.push_back(wnd.GetImagePtr()->GetPixel(7, y));
      return v;
    };
    const std::vector<double> original = column();
    ChooseFromMenu(frame, cmd::ID_VERTICAL);
    QVERIFY(column() != original);
    OpenHeaderDialog(frame, [&](CDlgEditHeader* dialog) { Click(dialog, "IDCANCEL"); });
    QTRY_VERIFY(!QApplication::activeModalWidget());
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QTest::keyClick(frame.ActiveView(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(column(), original);

    OpenHeaderDialog(frame, [&](CDlgEditHeader* dialog) {
      const int object = dialog->m_Header.Find("OBJECT");
      QVERIFY(object >= 0);
      ClickRow(dialog->List(), object);
      WhenModal([](QWidget* editor) { Type(editor, "OBJECT  = 'Edited in the editor'"); });
      Click(dialog, "edit");
      // With nothing selected the new card goes last, before END.
      ClickRow(dialog->List(), object, Qt::ControlModifier);
      WhenModal([](QWidget* editor) { Type(editor, "OBSERVER= 'A. Tester'       / who"); });
      Click(dialog, "new");
      Click(dialog, "IDOK");
    });
    QTRY_VERIFY(!QApplication::activeModalWidget());
    QVERIFY(doc->IsModified());
    QVERIFY(wnd.IsHeaderEdited());
    const CFitsHeader& edited = wnd.GetImagePtr()->m_FitsHeader;
    QCOMPARE(edited.GetAt(edited.GetCount() - 2).substr(0, 20),
             std::string("OBSERVER= 'A. Tester"));
    QCOMPARE(edited.GetAt(edited.GetCount() - 1).substr(0, 4), std::string("END "));

    const QString saved = QString::fromStdString(dir_->File("edited.fits"));
    box_.Answer(IDYES);  // keep the edited header
    QVERIFY(doc->OnSaveDocument(saved));
    QCOMPARE(box_.shown.size(), std::size_t{1});
    QCOMPARE(box_.shown[0].text, std::string(wnd_text::kSaveHeaderQuestion));
    QCOMPARE(Run("/usr/bin/python3",
                 {"-c",
                  "import sys; from astropy.io import fits; h = fits.getheader(sys.argv[1]); "
                  "print(h['OBJECT']); print(h['OBSERVER']); print(h.comments['OBSERVER']); "
                  "print(h['TELESCOP'])",
                  saved},
                 &out),
             0);
    QCOMPARE(out.split('\n').mid(0, 4),
             (QStringList{"Edited in the editor", "A. Tester", "who", "Vantorel sample"}));
    QCOMPARE(Run("fitsverify", {saved}, &out), 0);
    QVERIFY2(out.contains("0 warning(s) and 0 error(s)"), qPrintable(out));

    // The dispersion axis on X: the original file may no longer be overwritten.
    QVERIFY(wnd.GetImagePtr()->IsOverwriteAllowed());
    OpenHeaderDialog(frame, [&](CDlgEditHeader* dialog) {
      WhenModal([](QWidget* physic) {
        Click(physic, "1593_1");
        auto* type = physic->findChild<QComboBox*>("1586");
        QVERIFY(type);
        type->setFocus();
        // The sample's celestial type is listed last as another type.
        QTest::keyClick(type, Qt::Key_Home);
        QTest::keyClick(type, Qt::Key_Down);
        Click(physic, "IDOK");
      });
      Click(dialog, "1582");
      QCOMPARE(dialog->GetHeaderEdited(), 1);
      Click(dialog, "IDOK");
    });
    QTRY_VERIFY(!QApplication::activeModalWidget());
    CRalImage* image = wnd.GetImagePtr();
    QVERIFY(!image->IsOverwriteAllowed());
    std::string type;
    QVERIFY(image->GetCType(0, &type));
    QCOMPARE(QString::fromStdString(type), QStringLiteral("'WAVE    '"));
    // The image's file is now the one it was last saved to.
    QCOMPARE(QString::fromStdString(image->GetOrgFileName()), saved);
    const SaveNameCheck check = CheckSaveName("edited.fits", saved.toStdString(), nullptr,
                                              image->IsOverwriteAllowed(), image->GetOrgFileName());
    QVERIFY(check.verdict == SaveNameVerdict::kRefused);
    QVERIFY(CheckSaveName("other.fits", dir_->File("other.fits"), nullptr,
                          image->IsOverwriteAllowed(), image->GetOrgFileName())
                .verdict != SaveNameVerdict::kRefused);
    doc->SetModifiedFlag(false);
  }

  // Cards typed in the header editor that the composition does not place: with the
  // environment dialog's box ticked (by mouse) they are saved as live cards that ccdproc
  // sorts frames by and fitsverify passes; with it cleared again they are commented out.
  void typedCardsStayLiveWithTheEnvironmentSetting() {
    QString out;
    if (Run("/usr/bin/python3", {"-c", "import ccdproc"}, &out) != 0 ||
        Run("sh", {"-c", "command -v fitsverify"}, &out) != 0)
      QSKIP("ccdproc or fitsverify is missing");
    const std::string sample = dir_->File("sample.fits");
    QCOMPARE(WriteSampleStarField(sample, 60, 40), 0);
    CMainFrame frame;
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(sample));
    QVERIFY(doc);

    // File > environment: the box starts cleared; a click ticks it and OK stores it.
    auto setKeepCards = [&](bool on) {
      WhenModal([&](QWidget* dialog) {
        auto* box = dialog->findChild<QCheckBox*>("keepCards");
        QVERIFY(box);
        QCOMPARE(box->isChecked(), !on);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        QCOMPARE(box->isChecked(), on);
        auto* buttons = dialog->findChild<QDialogButtonBox*>();
        QVERIFY(buttons);
        QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
        QTest::mouseClick(ok, Qt::LeftButton, {}, ok->rect().center());
      });
      ChooseFromMenu(frame, cmd::ID_ENVIRONMENT);
      QTRY_VERIFY(!QApplication::activeModalWidget());
      int stored = -1;
      QVERIFY(CRegistry::Read("IO", "KeepCards", 0, stored, CRegistry::TYPE_BOOL));
      QCOMPARE(stored, on ? 1 : 0);
    };
    setKeepCards(true);

    OpenHeaderDialog(frame, [&](CDlgEditHeader* dialog) {
      for (const char* card :
           {"IMAGETYP= 'LIGHT   '", "FILTER  = 'V       '", "GAIN    =                  2.5"}) {
        WhenModal([card](QWidget* editor) { Type(editor, QString::fromUtf8(card)); });
        Click(dialog, "new");
        QTRY_VERIFY(QApplication::activeModalWidget() == dialog);
      }
      Click(dialog, "IDOK");
    });
    QTRY_VERIFY(!QApplication::activeModalWidget());
    const QString kept = QString::fromStdString(dir_->File("kept.fits"));
    box_.Answer(IDYES);  // keep the edited header
    QVERIFY(doc->OnSaveDocument(kept));

    setKeepCards(false);
    const QString commented = QString::fromStdString(dir_->File("commented.fits"));
    box_.Answer(IDYES);
    QVERIFY(doc->OnSaveDocument(commented));
    doc->SetModifiedFlag(false);

    QCOMPARE(Run("/usr/bin/python3",
                 {"-c",
                  "import sys, warnings; warnings.simplefilter('ignore')\n"
                  "from ccdproc import ImageFileCollection\n"
                  "c = ImageFileCollection(sys.argv[1], keywords=['imagetyp', 'filter', 'gain'],"
                  " filenames=['kept.fits', 'commented.fits'])\n"
                  "for r in c.summary: print(r['file'], r['imagetyp'], r['filter'], r['gain'])",
                  QString::fromStdString(dir_->path())},
                 &out),
             0);
    QCOMPARE(out.split('\n').mid(0, 2),
             (QStringList{"kept.fits LIGHT V 2.5", "commented.fits -- -- --"}));
    for (const QString& path : {kept, commented}) {
      QCOMPARE(Run("fitsverify", {path}, &out), 0);
      QVERIFY2(out.contains("0 warning(s) and 0 error(s)"), qPrintable(out));
    }
    QCOMPARE(Run("grep", {"-c", "COMMENT FILTER  = 'V", commented}, &out), 0);
  }

  // The editor shows the header a save writes: for a 16-bit 1024 × 1024 file cut to
  // 820 × 820 (floating-point pixels in the program) its type, size and scaling are those
  // astropy reads from the saved file, in the type the save offers first and in the
  // file's own type chosen before; OK without a change leaves the image unedited.
  void editorShowsWhatTheSaveWrites() {
    QString out;
    if (Run("/usr/bin/python3", {"-c", "import astropy.io.fits, numpy"}, &out) != 0)
      QSKIP("astropy is missing");
    const QString original = QString::fromStdString(dir_->File("wide16.fits"));
    QCOMPARE(Run("/usr/bin/python3",
                 {"-c",
                  "import sys, numpy as np; from astropy.io import fits; "
                  "y, x = np.mgrid[0:1024, 0:1024]; "
                  "d = ((x * 37 + y * 11) % 60000).astype(np.uint16); "
                  "fits.PrimaryHDU(d).writeto(sys.argv[1])",
                  original},
                 &out),
             0);
    CMainFrame frame;
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* doc = frame.OpenDocumentFile(original);
    QVERIFY(doc);
    CRalImgWnd& wnd = doc->GetImgWnd();
    QVERIFY(wnd.CropTo(RECT{100, 50, 920, 870}));
    QCOMPARE(wnd.GetImagePtr()->GetWidth(), 820);
    QCOMPARE(wnd.GetImagePtr()->GetBitsPixel(), -32);

    auto value = [](const CFitsHeader& h, const char* key) {
      const int i = h.Find(key);
      return i < 0 ? QString() : QString::fromStdString(h.GetAt(i).substr(10, 20)).trimmed();
    };
    const char* keys[] = {"BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "BZERO", "BSCALE"};
    for (int offered : {0, 16}) {
      if (offered) CRegistry::Write("IO", "SaveFitsBitsPixel", offered, CRegistry::TYPE_INT);
      QStringList shown;
      OpenHeaderDialog(frame, [&](CDlgEditHeader* dialog) {
        QCOMPARE(dialog->List()->count(), dialog->m_Header.GetCount());
        for (const char* key : keys) shown << value(dialog->m_Header, key);
        QCOMPARE(dialog->m_Header.GetAt(dialog->m_Header.GetCount() - 1).substr(0, 4),
                 std::string("END "));
        Click(dialog, "IDOK");
      });
      QTRY_VERIFY(!QApplication::activeModalWidget());
      QVERIFY(!wnd.IsHeaderEdited());
      const QString saved =
          QString::fromStdString(dir_->File("cut" + std::to_string(offered) + ".fits"));
      QVERIFY(doc->OnSaveDocument(saved));
      QCOMPARE(Run("/usr/bin/python3",
                   {"-c",
                    "import sys; from astropy.io import fits; h = fits.getheader(sys.argv[1]); "
                    "print(' '.join(repr(h[k]) if k in h else '-' for k in sys.argv[2:]))",
                    saved, "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "BZERO", "BSCALE"},
                   &out),
               0);
      const QStringList read = out.trimmed().split(' ');
      QCOMPARE(read.size(), 6);
      for (int k = 0; k < 6; ++k)
        QVERIFY2(
            shown[k].toDouble() == read[k].toDouble(),
            qPrintable(QStringLiteral("%1: editor %2, file %3").arg(keys[k], shown[k], read[k])));
      QCOMPARE(shown[2], QStringLiteral("820"));
      QCOMPARE(shown[0], offered ? QStringLiteral("16") : QStringLiteral("-32"));
    }
    doc->SetModifiedFlag(false);
  }
};

QTEST_MAIN(HeaderAppTest)
#include "header_app_test.moc"

// A crop is a change of the document: offscreen, with the program's own message boxes,
// an image is cropped by a drag with the crop tool and the dialog confirmed from the
// keyboard; the window is then marked changed, closing it asks whether to save, and the
// answers do what they say (Cancel keeps the window, No closes it without the crop, Yes
// writes the cropped image after the FITS save options). Undo takes the crop back as it takes back
// other changes.
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>
#include <memory>

#include "app/apptexts.h"
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/qtservices.h"
#include "app/samplefits.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "fileio/qt/iodialogs.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/menu_click.h"
#include "tests/support/temp_dir.h"

class CropSaveQuestionTest : public QObject {
  Q_OBJECT

 private:

  // Hands each modal window that comes up to `act` (a key or a click on it) until act
  // says it has taken the one it waits for.
  static void WhenModal(std::function<bool(QWidget*)> act) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
      QWidget* modal = QApplication::activeModalWidget();
      if (!modal || !modal->isVisible() || !act(modal)) return;
      poll->stop();
      poll->deleteLater();
    });
    poll->start(10);
  }

  // The crop tool chosen, a drag from image pixel (20, 25) to (100, 85) and the crop
  // dialog confirmed with the Return key.
  static void Crop(CMainFrame& frame, CKivImageView* view) {
    if (!frame.Command(4540)->isChecked()) ChooseFromMenu(frame, 4540);  // 切り抜き(&C)
    bool confirmed = false;
    WhenModal([&](QWidget* dialog) {
      QTest::keyClick(dialog, Qt::Key_Return);
      confirmed = true;
      return true;
    });
    const CViewInfo& info = view->GetImgWnd().GetViewInfo();
    POINT a, b;
    info.PtImageToView(POINT{20, 25}, &a);
    info.PtImageToView(POINT{100, 85}, &b);
    QWidget* vp = view->viewport();
    QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(a.x, a.y));
    QTest::mouseMove(vp, QPoint((a.x + b.x) / 2, (a.y + b.y) / 2));
    QTest::mouseMove(vp, QPoint(b.x, b.y));
    QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(b.x, b.y));
    QTRY_VERIFY(confirmed);
  }

  // Closes the active window from the File menu; the save question that comes up is
  // answered by a click on `answer`, its text kept in *asked. After Yes the FITS save
  // options come up, and Return takes them as offered.
  static void CloseAnswering(CMainFrame& frame, QMessageBox::StandardButton answer,
                             QString* asked) {
    asked->clear();
    auto saved = std::make_shared<bool>(answer != QMessageBox::Yes);
    WhenModal([answer, asked, saved](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      if (!box) return false;
      *asked = box->text();
      if (!*saved)
        WhenModal([saved](QWidget* options) {
          if (qobject_cast<QMessageBox*>(options)) return false;
          QTest::keyClick(options, Qt::Key_Return);
          *saved = true;
          return true;
        });
      QTest::mouseClick(box->button(answer), Qt::LeftButton);
      return true;
    });
    ChooseFromMenu(frame, cmd::ID_FILE_CLOSE);
    QTRY_VERIFY(!asked->isEmpty());
    QTRY_VERIFY(*saved);
  }

  static QSize SizeOnDisk(const std::string& path) {
    CRalImage image;
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    if (CRalImageIO::ReadImageFile(image, path, &param) != 1) return {};
    return QSize(image.GetWidth(), image.GetHeight());
  }

 private slots:
  void cropMarksTheWindowChanged() {
    ScopedConfigHome home;
    TempDir dir;
    const std::string path = dir.File("stars.fits");
    QCOMPARE(WriteSampleStarField(path, 160, 120), 0);
    // The program's own answerers: message boxes and the save options as dialogs.
    CMainFrame frame;
    QtMessageBox boxes(&frame);
    ScopedMessageBox scopedBoxes(&boxes);
    QtUserPrompts prompts(&frame);
    ScopedUserPrompts scopedPrompts(&prompts);
    frame.resize(1000, 760);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    const QString question = QString::fromUtf8(app_text::kSaveChangesQuestion)
                                 .replace("%s", QStringLiteral("stars.fits"));

    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(path));
    QVERIFY(doc);
    frame.MdiArea()->activeSubWindow()->resize(700, 560);
    CKivImageView* view = frame.ActiveView();
    QVERIFY(view);
    CRalImgWnd& wnd = doc->GetImgWnd();
    QTRY_VERIFY(wnd.GetViewInfo().GetWindowRect().Width() > 0);
    QVERIFY(!doc->IsModified());

    Crop(frame, view);
    QCOMPARE(wnd.GetImagePtr()->GetWidth(), 80);
    QCOMPARE(wnd.GetImagePtr()->GetHeight(), 60);
    QVERIFY(doc->IsModified());
    QVERIFY(frame.MdiArea()->activeSubWindow()->isWindowModified());

    // Cancel keeps the window and its crop.
    QString asked;
    CloseAnswering(frame, QMessageBox::Cancel, &asked);
    QCOMPARE(asked, question);
    QCOMPARE(frame.Frames().size(), 1);
    QCOMPARE(wnd.GetImagePtr()->GetWidth(), 80);

    // Undo brings back the whole image; the window stays changed, as after undoing any
    // other command, and No closes it without writing anything.
    ChooseFromMenu(frame, cmd::ID_EDIT_UNDO);
    QCOMPARE(wnd.GetImagePtr()->GetWidth(), 160);
    QCOMPARE(wnd.GetImagePtr()->GetHeight(), 120);
    QVERIFY(doc->IsModified());
    CloseAnswering(frame, QMessageBox::No, &asked);
    QCOMPARE(asked, question);
    QTRY_COMPARE(frame.Frames().size(), 0);
    QCOMPARE(SizeOnDisk(path), QSize(160, 120));

    // Yes writes the crop over the file.
    doc = frame.OpenDocumentFile(QString::fromStdString(path));
    QVERIFY(doc);
    frame.MdiArea()->activeSubWindow()->resize(700, 560);
    view = frame.ActiveView();
    QTRY_VERIFY(doc->GetImgWnd().GetViewInfo().GetWindowRect().Width() > 0);
    Crop(frame, view);
    QVERIFY(doc->IsModified());
    CloseAnswering(frame, QMessageBox::Yes, &asked);
    QCOMPARE(asked, question);
    QTRY_COMPARE(frame.Frames().size(), 0);
    QCOMPARE(SizeOnDisk(path), QSize(80, 60));
  }
};

QTEST_MAIN(CropSaveQuestionTest)
#include "crop_save_question_test.moc"

// The arithmetic dialog's division by a value, opened from the menu with the keyboard and
// worked with real key and mouse events: 0 is refused at OK with its message and the
// dialog stays, its preview showing the image as it was; another value then divides.
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <vector>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/samplefits.h"
#include "dialogs/dlgcalc.h"
#include "display/qt/ralimgwnd.h"
#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

namespace {

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

// Every value over a power of two: exact in the image's floats.
std::vector<double> Over(std::vector<double> v, double d) {
  for (double& x : v) x /= d;
  return v;
}

void TypeInto(QLineEdit* edit, const QString& text) {
  QTest::mouseDClick(edit, Qt::LeftButton);
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(edit, text);
}

}  // namespace

class CalcDivideTest : public QObject {
  Q_OBJECT

 private slots:
  void zeroIsRefusedAndTheDialogStays() {
    ScopedConfigHome home;
    RecordingMessageBox box;
    ScopedMessageBox scoped(&box);
    TempDir dir;
    const std::string path = dir.File("field.fits");
    QCOMPARE(WriteSampleStarField(path, 60, 40), 0);
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QVERIFY(frame.OpenDocumentFile(QString::fromStdString(path)));
    CKivImageDoc* doc = frame.ActiveDocument();
    // The window's image, looked up afresh: the undo copy may take its place.
    auto shown = [&frame] { return Pixels(*frame.ActiveView()->GetImgWnd().GetImagePtr()); };
    const std::vector<double> before = shown();

    bool ran = false, stayed = false;
    std::string refusal;
    WhenModal([&](QWidget* d) {
      ran = true;
      QVERIFY(d->windowTitle().startsWith(QString::fromUtf8("除算")));
      auto* value = d->findChild<QLineEdit*>(QString::number(CDlgCalc::IDC_VALUE));
      auto* byValue = d->findChild<QRadioButton*>(QStringLiteral("1201_0"));
      auto* preview = d->findChild<QCheckBox*>(QString::number(vum::IDC_PREVIEW));
      auto* ok = d->findChild<QPushButton*>(QStringLiteral("IDOK"));
      QVERIFY(value && byValue && preview && ok);
      QTest::mouseClick(byValue, Qt::LeftButton, {}, QPoint(6, byValue->height() / 2));
      if (!preview->isChecked())
        QTest::mouseClick(preview, Qt::LeftButton, {}, QPoint(6, preview->height() / 2));
      // The preview starts again with the value typed when the source is chosen again.
      auto restart = [byValue] {
        QTest::mouseClick(byValue, Qt::LeftButton, {}, QPoint(6, byValue->height() / 2));
      };
      TypeInto(value, "4");
      restart();
      QTRY_VERIFY(shown() == Over(before, 4));
      // 0: the preview shows the image as it was; OK gives the message and the dialog
      // stays.
      TypeInto(value, "0");
      restart();
      QTRY_VERIFY(shown() == before);
      QTest::mouseClick(ok, Qt::LeftButton);
      refusal = box.shown.empty() ? std::string() : box.shown.back().text;
      stayed = d->isVisible();
      QVERIFY(shown() == before);
      // Enter in the field presses OK as well: refused again.
      value->setFocus();
      QTest::keyClick(value, Qt::Key_Return);
      QVERIFY(d->isVisible());
      QCOMPARE(box.shown.size(), std::size_t{2});
      // A value that is not 0 divides.
      TypeInto(value, "2");
      QTest::mouseClick(ok, Qt::LeftButton);
      QTRY_VERIFY(!d->isVisible());
    });
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QTest::keyClick(&frame, Qt::Key_C, Qt::AltModifier);
    auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(popup);
    QTest::keyClick(popup, Qt::Key_D);
    QVERIFY(ran);
    QCOMPARE(refusal, std::string(calc_text::kDivideByZero));
    QVERIFY(stayed);
    QCOMPARE(box.shown.size(), std::size_t{2});
    QVERIFY(shown() == Over(before, 2));
    QCOMPARE(frame.ActiveView()->GetImgWnd().GetImagePtr()->GetUndoDialogName(),
             std::string("除算"));
    doc->SetModifiedFlag(false);
  }
};

QTEST_MAIN(CalcDivideTest)
#include "calc_divide_test.moc"

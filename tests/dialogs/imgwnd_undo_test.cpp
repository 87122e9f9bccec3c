// The image window offscreen: for a grey and a colour image, each mirror, the inversion,
// the level dialog (its banded preview drawn into the display bitmap) and a mirror
// followed by the logarithmic display change what is shown, and Undo() brings back a
// display bitmap byte-identical to the one before the command.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "controls/spinedit.h"
#include "dialogs/dlglevel.h"
#include "display/qt/ralimgwnd.h"
#include "tests/support/temp_dir.h"

namespace {

// One view that hands the dialogs' messages to the window, as the program's view does.
class OneViewDocument : public CVumDocument, public CVumView {
 public:
  explicit OneViewDocument(CRalImgWnd& wnd) : wnd_(wnd) {}
  std::intptr_t SendVumMessage(unsigned msg, std::uintptr_t w, std::intptr_t l) override {
    return wnd_.OnVumMessage(msg, w, l);
  }
  std::string GetVumTitle() const override { return "undo.fts"; }
  std::vector<CVumView*> GetVumViews() const override {
    return {const_cast<OneViewDocument*>(this)};
  }
  void UpdateAllVumViews() override {}
  std::string GetVumPathName() const override { return {}; }
  void SetVumTitle(const std::string&) override {}
  void SetVumPathName(const std::string&) override {}
  void SetVumModified(bool) override {}
  void SetVumImage(CRalImage* image, const CReadParam*) override { delete image; }
  void InitialUpdateVum() override {}
  void CloseVum() override {}

 private:
  CRalImgWnd& wnd_;
};

// The display bitmap as it is drawn, band after band.
QByteArray Shown(CRalImgWnd& wnd) {
  wnd.GetImageBuffer().BuildAll();
  const CBaseDIB* dib = wnd.GetImageBuffer().GetDIB();
  QByteArray bytes;
  dib->BitBlt(0, 0, dib->GetWidth(), dib->GetHeight(), 0, 0, [&](const DIBBand& band) {
    for (int r = 0; r < band.height; ++r)
      bytes.append(reinterpret_cast<const char*>(band.bits) + qsizetype(r) * band.stride,
                   qsizetype(band.width) * band.bitsPerPixel / 8);
  });
  return bytes;
}

}  // namespace

class ImgWndUndoTest : public QObject {
  Q_OBJECT

 private slots:
  void undoShowsTheImageAsBeforeTheCommand_data() {
    QTest::addColumn<int>("planes");
    QTest::addColumn<int>("command");
    static const char* const kName[] = {"horizontal", "vertical", "invert", "levels",
                                        "horizontal then log"};
    for (int planes : {1, 3})
      for (int command = 0; command < 5; ++command)
        QTest::addRow("%d planes, %s", planes, kName[command]) << planes << command;
  }

  void undoShowsTheImageAsBeforeTheCommand() {
    QFETCH(int, planes);
    QFETCH(int, command);
    ScopedConfigHome home;
    // A field neither symmetric nor flat, so that every command shows.
    auto* image = new CRalImage(90, 70, -32, planes, 1.0, 0.0, 1);
    std::vector<double> row(90);
    for (int p = 0; p < planes; ++p) {
      for (int y = 0; y < 70; ++y) {
        for (int x = 0; x < 90; ++x) row[x] = (p + 1) * (10.0 * x + 3.0 * y) + (x * y % 17) * 20;
        image->SetPhysicalRow(y, p, row.data());
      }
      image->SetLevel(p, 100.0 * (p + 1), 900.0 * (p + 1));
    }
    CRalImgWnd wnd;
    wnd.SetImagePrt(image);
    wnd.GetViewInfo().SetWindowSize(140, 120);
    wnd.Update(0);
    OneViewDocument doc(wnd);
    wnd.SetParentWnd(nullptr, &doc);
    const QByteArray before = Shown(wnd);

    int changed = 0;
    if (command == 0 || command == 4) changed = wnd.Horizontal();
    if (command == 1) changed = wnd.Vertical();
    if (command == 2) changed = wnd.Flip();
    if (command == 3) {
      // The minimum typed in, the preview left to finish, then OK.
      QTimer::singleShot(0, [&] {
        auto* dlg = qobject_cast<CDlgLevel*>(QApplication::activeModalWidget());
        QVERIFY(dlg);
        auto* min = dlg->findChild<CSpinEdit*>(QString::number(CDlgLevel::IDC_MIN));
        min->setFocus();
        QTRY_VERIFY(min->hasFocus());
        min->selectAll();
        QTest::keyClicks(min, "300");
        dlg->findChild<CSpinEdit*>(QString::number(CDlgLevel::IDC_MAX))->setFocus();
        QTRY_VERIFY(!dlg->IsPreviewRunning() && dlg->GetCurMin() == 300.0);
        dlg->findChild<QPushButton*>("IDOK")->click();
      });
      changed = wnd.Level();
    }
    if (command == 4) QCOMPARE(wnd.SetLogScale(1), 1);
    QCOMPARE(changed, 1);
    QVERIFY(Shown(wnd) != before);

    wnd.Undo();
    QVERIFY(Shown(wnd) == before);
    QCOMPARE(wnd.IsLogScale(), wnd.GetImagePtr()->GetLogScale());
  }
};

QTEST_MAIN(ImgWndUndoTest)
#include "imgwnd_undo_test.moc"

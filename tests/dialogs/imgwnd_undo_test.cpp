// The image window's display after undo, offscreen: for a grey and a colour image, each
// mirror, the inversion and the level dialog (with its banded preview drawn into the
// display bitmap) change what is shown, and Undo() brings back a bitmap byte-identical
// to the one before the command.
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "controls/spinedit.h"
#include "dialogs/dlglevel.h"
#include "dialogs/vumdialog.h"
#include "display/ralimgwnd.h"
#include "engine/ralimage.h"
#include "tests/support/temp_dir.h"

namespace {

// A view that hands the dialogs' messages to the window, as the program's view does.
class ForwardingView : public CVumView {
 public:
  explicit ForwardingView(CRalImgWnd& wnd) : wnd_(wnd) {}
  std::intptr_t SendVumMessage(unsigned msg, std::uintptr_t w, std::intptr_t l) override {
    return wnd_.OnVumMessage(msg, w, l);
  }

 private:
  CRalImgWnd& wnd_;
};

class OneViewDocument : public CVumDocument {
 public:
  explicit OneViewDocument(CRalImgWnd& wnd) : view_(wnd) {}
  std::string GetVumTitle() const override { return "undo.fts"; }
  std::vector<CVumView*> GetVumViews() const override {
    return {const_cast<ForwardingView*>(&view_)};
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
  ForwardingView view_;
};

// A field that is neither symmetric nor flat, so every command shows.
CRalImage* MakeImage(int planes) {
  const int w = 90, h = 70;
  auto* image = new CRalImage(w, h, -32, planes, 1.0, 0.0, 1);
  std::vector<double> row(w);
  for (int p = 0; p < planes; ++p) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x)
        row[x] = (p + 1) * (10.0 * x + 3.0 * y) + ((x * 7 + y * 13 + p) % 17 == 0 ? 400.0 : 0.0);
      image->SetPhysicalRow(y, p, row.data());
    }
    image->SetLevel(p, 100.0 * (p + 1), 900.0 * (p + 1));
  }
  return image;
}

// Every pixel of the display bitmap as it is drawn, band after band from the top.
QByteArray Shown(CRalImgWnd& wnd) {
  const CBaseDIB* dib = wnd.GetImageBuffer().GetDIB();
  if (!dib) return {};
  QByteArray bytes;
  const int w = dib->GetWidth(), h = dib->GetHeight();
  const int drawn = dib->BitBlt(0, 0, w, h, 0, 0, [&](const DIBBand& band) {
    for (int r = 0; r < band.height; ++r)
      bytes.append(reinterpret_cast<const char*>(band.bits) + std::size_t(r) * band.stride,
                   static_cast<qsizetype>(band.width) * band.bitsPerPixel / 8);
  });
  return drawn ? bytes : QByteArray();
}

}  // namespace

class ImgWndUndoTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ScopedConfigHome> config_;
  std::unique_ptr<CRalImgWnd> wnd_;
  std::unique_ptr<OneViewDocument> doc_;

  void Open(int planes) {
    wnd_ = std::make_unique<CRalImgWnd>();
    wnd_->SetImagePrt(MakeImage(planes));
    wnd_->GetViewInfo().SetWindowSize(140, 120);
    wnd_->Update(0);
    doc_ = std::make_unique<OneViewDocument>(*wnd_);
    wnd_->SetParentWnd(nullptr, doc_.get());
  }

  // The level dialog: the minimum typed in, the preview left to finish, then OK.
  int RunLevelDialog() {
    bool done = false;
    QTimer::singleShot(0, [&] {
      auto* dlg = qobject_cast<CDlgLevel*>(QApplication::activeModalWidget());
      QVERIFY(dlg);
      auto* min = dlg->findChild<CSpinEdit*>(QString::number(CDlgLevel::IDC_MIN));
      auto* max = dlg->findChild<CSpinEdit*>(QString::number(CDlgLevel::IDC_MAX));
      QVERIFY(min && max);
      min->setFocus();
      QTRY_VERIFY(min->hasFocus());
      min->selectAll();
      QTest::keyClicks(min, "300");
      max->setFocus();  // leaving the field finishes the edit and starts the preview
      QTRY_VERIFY(!dlg->IsPreviewRunning() && dlg->GetCurMin() == 300.0);
      done = true;
      dlg->findChild<QPushButton*>("IDOK")->click();
    });
    const int changed = wnd_->Level();
    if (!done) {
      QTest::qFail("the level dialog was not driven", __FILE__, __LINE__);
      return 0;
    }
    return changed;
  }

 private slots:
  void init() { config_ = std::make_unique<ScopedConfigHome>(); }
  void cleanup() {
    wnd_.reset();
    doc_.reset();
    config_.reset();
  }

  void undoShowsTheImageAsBeforeTheCommand_data() {
    QTest::addColumn<int>("planes");
    // 0 left-right, 1 top-bottom, 2 invert, 3 levels, 4 left-right and then the
    // logarithmic display, which the image carries and so undo takes back as well
    QTest::addColumn<int>("command");
    for (int planes : {1, 3})
      for (int command = 0; command < 5; ++command) {
        static const char* const kName[] = {"horizontal", "vertical", "invert", "levels",
                                            "horizontal then log"};
        QTest::addRow("%s %s", planes == 1 ? "grey" : "colour", kName[command])
            << planes << command;
      }
  }

  void undoShowsTheImageAsBeforeTheCommand() {
    QFETCH(int, planes);
    QFETCH(int, command);
    Open(planes);
    const QByteArray before = Shown(*wnd_);
    QVERIFY(!before.isEmpty());

    int changed = 0;
    switch (command) {
      case 0:
        changed = wnd_->Horizontal();
        break;
      case 1:
        changed = wnd_->Vertical();
        break;
      case 2:
        changed = wnd_->Flip();
        break;
      case 3:
        changed = RunLevelDialog();
        break;
      default:
        changed = wnd_->Horizontal();
        QCOMPARE(wnd_->SetLogScale(1), 1);
        break;
    }
    QCOMPARE(changed, 1);
    QVERIFY(Shown(*wnd_) != before);

    wnd_->Undo();
    QVERIFY(Shown(*wnd_) == before);
    QCOMPARE(wnd_->IsLogScale(), wnd_->GetImagePtr()->GetLogScale());
  }
};

QTEST_MAIN(ImgWndUndoTest)
#include "imgwnd_undo_test.moc"

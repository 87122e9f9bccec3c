// The processing dialog framework, offscreen, against a real image window: the banded
// preview and its end requests, undo images, captions, settings, the keyboard, and new
// documents' titles.
#include <QCheckBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cmath>
#include <functional>
#include <map>
#include <memory>

#include "dialogs/vumdialog.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "fileio/readparam.h"
#include "platform/messagebox.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

// A view of a document: answers the dialogs through an image window, and counts what
// it was asked.
class TestView : public CVumView {
 public:
  explicit TestView(CRalImgWnd& wnd) : wnd_(wnd) {}
  std::intptr_t SendVumMessage(unsigned msg, std::uintptr_t w, std::intptr_t l) override {
    ++asked[msg];
    if (msg == vum::WM_VUM_ZOOM || msg == vum::WM_VUM_SCROLL) lastArg[msg] = static_cast<int>(w);
    return wnd_.OnVumMessage(msg, w, l);
  }
  std::map<unsigned, int> asked;
  std::map<unsigned, int> lastArg;

 private:
  CRalImgWnd& wnd_;
};

class TestDocument : public CVumDocument {
 public:
  explicit TestDocument(std::string title) : title_(std::move(title)) {}
  std::string GetVumTitle() const override { return title_; }
  std::vector<CVumView*> GetVumViews() const override {
    std::vector<CVumView*> out;
    for (auto& v : views) out.push_back(v.get());
    return out;
  }
  void UpdateAllVumViews() override { ++updates; }
  std::string GetVumPathName() const override { return path; }
  void SetVumTitle(const std::string& t) override { title_ = t; }
  void SetVumPathName(const std::string& p) override { path = p; }
  void SetVumModified(bool m) override { modified = m; }
  void SetVumImage(CRalImage* image, const CReadParam*) override { this->image.reset(image); }
  void InitialUpdateVum() override { shown = true; }
  void CloseVum() override { closed = true; }

  std::vector<std::unique_ptr<TestView>> views;
  std::unique_ptr<CRalImage> image;
  std::string path;
  int updates = 0;
  bool modified = false, shown = false, closed = false;

 private:
  std::string title_;
};

class TestTemplate : public CVumDocTemplate {
 public:
  CVumDocument* CreateVumDocument() override {
    docs.push_back(std::make_unique<TestDocument>(""));
    return docs.back().get();
  }
  std::vector<CVumDocument*> GetVumDocuments() const override {
    std::vector<CVumDocument*> out;
    for (auto& d : docs) out.push_back(d.get());
    return out;
  }
  std::vector<std::unique_ptr<TestDocument>> docs;
};

// Writes twice the undo image's value into each pixel of the band (the target's levels
// are left alone), and records what it was asked.
class DoublingDialog : public CVumPreviewDialog {
 public:
  explicit DoublingDialog(QWidget* parent = nullptr) : CVumPreviewDialog(9001, parent) {
    setWindowTitle(QStringLiteral("倍にする"));
  }
  int ImageProc(RECT* rect, int final) override {
    if (final) {
      ++finals;
      finalWhileRunning = IsPreviewRunning();
    } else {
      ++bands;
    }
    if (onBand && !final) onBand(bands);
    const RECT r = rect ? *rect : RECT{0, 0, m_pTarget->GetWidth(), m_pTarget->GetHeight()};
    std::vector<double> row(static_cast<std::size_t>(m_pTarget->GetWidth()));
    for (int y = r.top; y < r.bottom; ++y) {
      if (!m_pUndo->GetPhysicalRow(y, 0, row.data())) return 0;
      for (double& v : row) v *= 2;
      if (!m_pTarget->SetPhysicalRow(y, 0, row.data())) return 0;
    }
    return procResult;
  }
  void UpdateRegistry(int write, const char* section) override {
    CVumPreviewDialog::UpdateRegistry(write, section ? section : "Dialog\\Doubling");
  }
  using CVumPreviewDialog::PrepareUndoBuf;

  int finals = 0, bands = 0, procResult = 1;
  int finalWhileRunning = -1;
  std::function<void(int)> onBand;
};

std::unique_ptr<CRalImage> Ramp(int w, int h) {
  auto image = std::make_unique<CRalImage>(w, h, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) row[static_cast<std::size_t>(x)] = y * 1000 + x;
    image->SetPhysicalRow(y, 0, row.data());
  }
  image->SetLevel(0, 0, h * 1000.0);
  return image;
}

double Pixel(const CRalImage& image, int x, int y) {
  return image.GetPixel(x, y, 0);
}

}  // namespace

class VumDialogTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ScopedConfigHome> config_;
  std::unique_ptr<CRalImgWnd> wnd_;
  std::unique_ptr<TestDocument> doc_;
  TestView* view_ = nullptr;

  // A 200 × 300 ramp shown whole at magnification 1: preview bands of 40 × 2000 / 200 =
  // 400 rows would be one band, so the dialogs here use a band parameter of 2 (20 rows).
  void OpenWindow(int w = 200, int h = 300) {
    wnd_ = std::make_unique<CRalImgWnd>();
    wnd_->SetImagePrt(Ramp(w, h).release());
    wnd_->GetViewInfo().SetWindowSize(w + 50, h + 50);
    wnd_->Update(0);
    doc_ = std::make_unique<TestDocument>("a.fts");
    doc_->views.push_back(std::make_unique<TestView>(*wnd_));
    view_ = doc_->views.back().get();
    wnd_->SetParentWnd(nullptr, doc_.get());
  }

 private slots:
  void init() {
    config_ = std::make_unique<ScopedConfigHome>();
    OpenWindow();
  }
  void cleanup() {
    wnd_.reset();
    doc_.reset();
    config_.reset();
  }

  void captionCarriesTheTitleAndTheUndoNameDoesNot() {
    DoublingDialog dlg;
    dlg.PreviewCheckBox()->setChecked(false);
    QTimer::singleShot(0, &dlg, [&] {
      QCOMPARE(dlg.windowTitle(), QStringLiteral("倍にする [ a.fts ]"));
      dlg.accept();
    });
    QCOMPARE(wnd_->RunDialog(dlg), 1);
    QCOMPARE(wnd_->GetImagePtr()->GetUndoDialogName(), std::string("倍にする"));
    QCOMPARE(wnd_->GetUndoImagePtr()->GetUndoDialogName(), std::string("倍にする"));
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 7, 9), 2.0 * 9007);
    QCOMPARE(dlg.finals, 1);
  }

  void okDuringARunningBandEndsAfterThatBand() {
    DoublingDialog dlg;
    dlg.SetBandParameter(2);
    // The user presses OK while the second band is being processed: the click waits in
    // the queue until the step lets events through.
    dlg.onBand = [&](int band) {
      if (band == 2) QTimer::singleShot(0, &dlg, [&] { dlg.accept(); });
    };
    QCOMPARE(wnd_->RunDialog(dlg), 1);
    QCOMPARE(dlg.bands, 2);
    QCOMPARE(dlg.finals, 1);
    QCOMPARE(dlg.finalWhileRunning, 1);
    QCOMPARE(dlg.GetEndRequest(), 1);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 199, 299), 2.0 * 299199);
  }

  void previewRunsBandByBandAndEndsAtTheLastVisibleRow() {
    DoublingDialog dlg;
    dlg.SetBandParameter(2);
    int lastBand = 0;
    dlg.onBand = [&](int band) { lastBand = band; };
    QTimer::singleShot(0, &dlg, [&] {
      QTRY_VERIFY(!dlg.IsPreviewRunning() && lastBand == 15);
      // All 300 rows were written in 15 bands of 20, each drawn into the bitmap.
      QCOMPARE(Pixel(*wnd_->GetImagePtr(), 3, 299), 2.0 * 299003);
      QCOMPARE(view_->asked[vum::WM_VUM_REDRAW], 15);
      dlg.reject();
    });
    QCOMPARE(wnd_->RunDialog(dlg), 0);
    // Cancel brought back the image as it was.
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 3, 299), 299003.0);
    QCOMPARE(wnd_->GetImagePtr()->GetUndoMode(), 1);
  }

  void cancelDuringARunningBandRestoresTheImage() {
    DoublingDialog dlg;
    dlg.SetBandParameter(2);
    dlg.onBand = [&](int band) {
      if (band == 3) QTimer::singleShot(0, &dlg, [&] { dlg.reject(); });
    };
    QCOMPARE(wnd_->RunDialog(dlg), 0);
    QCOMPARE(dlg.bands, 3);
    QCOMPARE(dlg.finals, 0);
    QCOMPARE(dlg.GetEndRequest(), 2);
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 5, 10), 10005.0);
  }

  void turningThePreviewOffRestoresThePixelsAtOnce() {
    DoublingDialog dlg;
    dlg.SetBandParameter(2);
    QTimer::singleShot(0, &dlg, [&] {
      QTRY_VERIFY(dlg.bands >= 15 && !dlg.IsPreviewRunning());
      QCOMPARE(Pixel(*dlg.GetTargetImage(), 4, 4), 2.0 * 4004);
      const int updates = doc_->updates;
      dlg.PreviewCheckBox()->setChecked(false);
      // No event loop turn in between: the pixels are back and the views told.
      QCOMPARE(Pixel(*dlg.GetTargetImage(), 4, 4), 4004.0);
      QCOMPARE(doc_->updates, updates + 1);
      dlg.reject();
    });
    QCOMPARE(wnd_->RunDialog(dlg), 0);
  }

  void failedProcessingAtOkSetsTheErrorFlagAndRestores() {
    config_ = std::make_unique<ScopedConfigHome>();
    RecordingMessageBox box;
    ScopedMessageBox scoped(&box);
    class Failing : public CVumDialog {
     public:
      Failing() : CVumDialog(9002, nullptr) {}
      int ImageProc(RECT*, int) override { return 0; }
    } dlg;
    QTimer::singleShot(0, &dlg, [&] { dlg.accept(); });
    QCOMPARE(wnd_->RunDialog(dlg), 0);
    QCOMPARE(dlg.GetErrorFlag(), 1);
    QCOMPARE(box.shown.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(box.shown[0].text), QString::fromUtf8(vum::kNoMemoryVumd));
    QCOMPARE(wnd_->GetImagePtr()->GetUndoMode(), 1);  // the untouched image is back
  }

  void checkValueKeepsTheDialogOpen() {
    class Picky : public CVumDialog {
     public:
      Picky() : CVumDialog(9003, nullptr) {}
      int CheckValue() override { return ++checks > 1; }
      int ImageProc(RECT*, int) override { return ++procs; }
      int checks = 0, procs = 0;
    } dlg;
    QTimer::singleShot(0, &dlg, [&] {
      dlg.accept();
      QVERIFY(dlg.isVisible());
      QCOMPARE(dlg.procs, 0);
      dlg.accept();
    });
    QCOMPARE(wnd_->RunDialog(dlg), 1);
    QCOMPARE(dlg.procs, 1);
  }

  void undoTwiceGivesBackTheChangedImage() {
    QCOMPARE(wnd_->Horizontal(), 1);
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 0, 0), 199.0);
    wnd_->Undo();
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 0, 0), 0.0);
    wnd_->Undo();
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 0, 0), 199.0);
    QCOMPARE(wnd_->Vertical(), 1);
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 0, 0), 299199.0);
    QCOMPARE(wnd_->Flip(), 1);  // values turn about the data range 0 … 299199
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 0, 0), 0.0);
    wnd_->Undo();
    QCOMPARE(Pixel(*wnd_->GetImagePtr(), 0, 0), 299199.0);
  }

  void helpButtonFollowsManualUrl() {
    for (const char* url : {"-", "", "https://example.org/manual"}) {
      CRegistry::Write("General", "ManualURL", url);
      DoublingDialog dlg;
      QPushButton* help = dlg.HelpButton();
      dlg.PreviewCheckBox()->setChecked(false);
      QTimer::singleShot(0, &dlg, [&] { dlg.reject(); });
      dlg.DoModal();
      QCOMPARE(help->isEnabled(), std::string(url).size() > 1);
    }
  }

  void positionAndPreviewFlagAreKept() {
    {
      DoublingDialog dlg;
      dlg.Set(doc_.get(), nullptr, nullptr);
      QTimer::singleShot(0, &dlg, [&] {
        dlg.move(123, 145);
        dlg.PreviewCheckBox()->setChecked(false);
        dlg.reject();
      });
      dlg.DoModal();
    }
    int preview = -1;
    CRegistry::Read("Dialog\\Doubling", "Preview", 1, preview, CRegistry::TYPE_BOOL);
    QCOMPARE(preview, 0);
    DoublingDialog again;
    again.Set(doc_.get(), nullptr, nullptr);
    QTimer::singleShot(0, &again, [&] {
      QVERIFY(!again.PreviewCheckBox()->isChecked());
      QCOMPARE(again.pos(), QPoint(123, 145));
      again.reject();
    });
    again.DoModal();
  }

  void prepareUndoBufModes() {
    auto target = Ramp(8, 4);
    CRalImage undo;
    DoublingDialog dlg;
    dlg.Set(nullptr, target.get(), &undo);
    QCOMPARE(dlg.PrepareUndoBuf(0), 1);
    // The undo image holds the pixels; the target a fresh store of the same geometry.
    QCOMPARE(Pixel(undo, 7, 3), 3007.0);
    QCOMPARE(target->GetWidth(), 8);
    QVERIFY(!target->IsEmpty());
    // An undo image that holds pixels is left alone.
    target->SetLevel(0, 1, 2);
    QCOMPARE(dlg.PrepareUndoBuf(1), 1);
    QCOMPARE(Pixel(undo, 7, 3), 3007.0);
    CRalImage undo2;
    dlg.Set(nullptr, target.get(), &undo2);
    QCOMPARE(dlg.PrepareUndoBuf(1), 1);
    QCOMPARE(undo2.GetLevelMax(0), 2.0);
    CRalImage undo3;
    dlg.Set(nullptr, target.get(), &undo3);
    dlg.SetUndoPreparation(0);
    QCOMPARE(dlg.PrepareUndoBuf(0), 1);
    QVERIFY(undo3.IsEmpty());
  }

  void ctrlKeysScrollAndZoomTheView() {
    OpenWindow(2000, 2000);
    wnd_->GetViewInfo().SetWindowSize(300, 300);
    DoublingDialog dlg;
    dlg.PreviewCheckBox()->setChecked(false);
    QTimer::singleShot(0, &dlg, [&] {
      QWidget* box = dlg.PreviewCheckBox();
      const int before = wnd_->GetViewInfo().GetScrollBar(0).pos;
      QTest::keyClick(box, Qt::Key_Right, Qt::ControlModifier);
      QCOMPARE(view_->lastArg[vum::WM_VUM_SCROLL], 2);
      QVERIFY(wnd_->GetViewInfo().GetScrollBar(0).pos > before);
      QTest::keyClick(box, Qt::Key_Down, Qt::ControlModifier);
      QCOMPARE(view_->lastArg[vum::WM_VUM_SCROLL], 8);
      const int mag = wnd_->GetZoom();
      QTest::keyClick(box, Qt::Key_Up, Qt::ControlModifier | Qt::AltModifier);
      QCOMPARE(view_->lastArg[vum::WM_VUM_ZOOM], 0);
      QCOMPARE(wnd_->GetZoom(), mag + 1);
      QTest::keyClick(box, Qt::Key_Minus, Qt::ControlModifier | Qt::KeypadModifier);
      QCOMPARE(wnd_->GetZoom(), mag);
      // Each handled key went to the view once (its release is swallowed); without
      // Ctrl nothing goes.
      QCOMPARE(view_->asked[vum::WM_VUM_SCROLL], 2);
      QTest::keyClick(box, Qt::Key_Right);
      QCOMPARE(view_->asked[vum::WM_VUM_SCROLL], 2);
      dlg.reject();
    });
    QCOMPARE(wnd_->RunDialog(dlg), 0);
  }

  void previewBandHeights() {
    OpenWindow(4000, 300);
    wnd_->InitPreView(0);
    QCOMPARE(wnd_->GetPreviewBandHeight(), 50);
    wnd_->GetViewInfo().SetMag(4, -1, -1);
    wnd_->InitPreView(0);
    QCOMPARE(wnd_->GetPreviewBandHeight(), 80);
    OpenWindow(100, 30);
    wnd_->InitPreView(40);  // 800 rows, limited to the image
    QCOMPARE(wnd_->GetPreviewBandHeight(), 30);
    int full = 0;
    QCOMPARE(wnd_->OnUpdateView(&full), 1);
    QCOMPARE(full, 1);
    QCOMPARE(wnd_->OnUpdateView(&full), 0);  // nothing pending any more
  }

  void newDocumentsGetUniqueTitles() {
    TestTemplate docs;
    CVumDoc::SetDocTemplate(&docs);
    for (int i = 0; i < 3; ++i) {
      CVumDocument* doc = nullptr;
      CRalImage* image = nullptr;
      QCOMPARE(CVumDoc::MakeNewDocument(-32, 5, 4, 1, &doc, &image, 1), 1);
      QVERIFY(doc && image);
      QCOMPARE(image->GetPixel(4, 3, 0), 0.0);
      QVERIFY(docs.docs.back()->shown && docs.docs.back()->modified);
    }
    QCOMPARE(docs.docs[0]->GetVumTitle(), std::string("NewImage.fts"));
    QCOMPARE(docs.docs[1]->GetVumTitle(), std::string("NewImage1.fts"));
    QCOMPARE(docs.docs[2]->GetVumTitle(), std::string("NewImage2.fts"));
    // Letter case does not make a title new; a suffix and another extension do.
    QCOMPARE(CVumDoc::MakeTitle("NEWIMAGE.FTS", "", ""), std::string("NEWIMAGE3.FTS"));
    QCOMPARE(CVumDoc::MakeTitle("NewImage.fts", "-contour", ".fit"),
             std::string("NewImage-contour.fit"));
    CVumDoc::SetDocTemplate(nullptr);
  }

  void fileNameMarksAndValueCuts() {
    std::string name = "/d/a.fts<usf>";
    CReadParam param;
    CVumDoc::GetFileNameAndPrm(name, &param);
    QCOMPARE(name, std::string("/d/a.fts"));
    QCOMPARE(param.GetFileType(), FILETYPE_USFITS);
    CVumDoc::MakeFileNameAndPrm(name, &param);
    QCOMPARE(name, std::string("/d/a.fts<USF>"));
    std::string plain = "/d/b.fts";
    CVumDoc::GetFileNameAndPrm(plain, &param);
    QCOMPARE(param.GetFileType(), FILETYPE_FITS);

    QCOMPARE(CFltPtrCtrl::V(12.3456, 0.01), 12.34);
    QCOMPARE(CFltPtrCtrl::V(12.3456, 5), 12.0);
    QCOMPARE(CFltPtrCtrl::V(-1.239, 0.1), -1.3);  // cut downwards, as floor does
    QCOMPARE(CFltPtrCtrl::V(12.34, 0.01), 12.34);  // a value on a step stays
    CFltPtrCtrl f;
    QCOMPARE(std::string(f.Str(3.14159, 0.001)), std::string("3.142"));
    QCOMPARE(std::string(f.Str(3.9, 2)), std::string("4"));
    // Fluxes of 1e-18 keep their digits: cut at the step's decimals, shown with six
    // significant digits, and never as "-0".
    QCOMPARE(CFltPtrCtrl::V(1.23456e-18, 1e-21), 1.234e-18);
    QCOMPARE(std::string(f.Str(1.23456789e-18, 1.23456789e-21)), std::string("1.23457e-18"));
    QCOMPARE(std::string(f.Str(-3.2e-19, -3.2e-22)), std::string("-3.20000e-19"));
  }
};

QTEST_MAIN(VumDialogTest)
#include "vumdialog_test.moc"

// The program's rules, offscreen: opening and painting an image, zoom commands and
// magnification steps, saving with the header question, closing a modified image, the
// Window menu's entries, the exit question, the environment dialog's rules and
// associations, the page set-up's refusals and printing to PDF, and the single running
// copy: its private socket folder, the peers it trusts, a socket it cannot make, and the
// hand-over between two real processes.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMdiArea>
#include <QMenu>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include "app/apptexts.h"
#include "app/associations.h"
#include "app/dlgenviroment.h"
#include "app/instancesocket.h"
#include "app/kivimageapp.h"
#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "app/mainframe.h"
#include "app/printing.h"
#include "app/samplefits.h"
#include "controls/dualslider.h"
#include "dialogs/dlglevel.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

class AppTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;
  AcceptingPrompts accept_;
  ScopedUserPrompts* prompts_ = nullptr;
  TempDir* dir_ = nullptr;
  QString sample_;
  QByteArray savedRuntimeDir_;
  QByteArray savedSocket_;

  QString Shown(std::size_t i) const {
    return i < box_.shown.size() ? QString::fromStdString(box_.shown[i].text) : QString();
  }
  QString MakeSample(const char* name, int w, int h) {
    const std::string path = dir_->File(name);
    if (WriteSampleStarField(path, w, h) != 0) return {};
    return QString::fromStdString(path);
  }
  static void RestoreEnv(const char* name, const QByteArray& value) {
    if (value.isEmpty())
      qunsetenv(name);
    else
      qputenv(name, value);
  }
  // Puts at path a folder only we may enter ("private"), one others may read ("open"), a
  // link to a private folder ("link"), a regular file ("file"), a socket nobody listens
  // on ("stale"), or nothing ("none").
  static bool MakeEntry(const std::string& path, const QString& kind) {
    if (kind == "file") WriteFileOrDie(path, "not a socket");
    if (kind == "private" || kind == "open")
      return mkdir(path.c_str(), 0700) == 0 &&
             chmod(path.c_str(), kind == "open" ? 0755 : 0700) == 0;
    if (kind == "link")
      return MakeEntry(path + "t", "private") && symlink((path + "t").c_str(), path.c_str()) == 0;
    if (kind == "stale") {
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
      const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
      const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      close(fd);
      return bound;
    }
    return kind == "none" || kind == "file";
  }
  static QString MessageFor(const QString& path, int problem) {
    QString text = QString::fromUtf8(app_text::kSocketFailed);
    text.replace(text.indexOf("%s"), 2, path);
    return text.replace(text.indexOf("%s"), 2,
                        QString::fromUtf8(instance_socket::ProblemText(problem)));
  }

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    prompts_ = new ScopedUserPrompts(&accept_);
    dir_ = new TempDir;
    box_.shown.clear();
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir_->File("data")));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir_->File("config")));
    sample_ = MakeSample("sample.fits", 200, 120);
    QVERIFY(!sample_.isEmpty());
    savedRuntimeDir_ = qgetenv("XDG_RUNTIME_DIR");
    savedSocket_ = qgetenv("VANTOREL_SOCKET");
  }
  void cleanup() {
    RestoreEnv("XDG_RUNTIME_DIR", savedRuntimeDir_);
    RestoreEnv("VANTOREL_SOCKET", savedSocket_);
    delete prompts_;
    delete scoped_;
    delete home_;
    delete dir_;
  }

  void openPaintsTheImageWithGreyMargins() {
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    CKivImageDoc* doc = frame.OpenDocumentFile(sample_);
    QVERIFY(doc);
    QCOMPARE(frame.Frames().size(), 1);
    QCOMPARE(doc->GetTitle(), QString("sample.fits"));
    CKivImageView* view = frame.ActiveView();
    QVERIFY(view);
    QVERIFY(doc->GetImgWnd().IsBufferCreated());
    // Levels at load are kept for "back to the levels of reading".
    const CRalImage* image = doc->GetImgWnd().GetImagePtr();
    QCOMPARE(image->GetOrgDefaultLevelMin(0), image->GetLevelMin(0));
    // A view larger than the image: the picture shows grey margins around real pixels.
    view->resize(400, 300);
    view->UpdateLayout();
    QImage shot(view->viewport()->size(), QImage::Format_RGB32);
    shot.fill(Qt::blue);
    {
      QPainter p(&shot);
      view->DrawImage(p);
    }
    const RECT on = doc->GetImgWnd().GetViewInfo().GetWindowView();
    QCOMPARE(on.Width(), 200);
    QCOMPARE(shot.pixelColor(on.left - 1, on.top + 5), QColor(128, 128, 128));
    QVERIFY(shot.pixelColor(on.left + 3, on.top + 3) != QColor(128, 128, 128));
    QVERIFY(shot.pixelColor(on.left + 3, on.top + 3) != QColor(Qt::blue));
    // The same file again only brings its window to the front.
    QCOMPARE(frame.OpenDocumentFile(sample_), doc);
    QCOMPARE(frame.Frames().size(), 1);
    QCOMPARE(frame.RecentFiles().front(), QFileInfo(sample_).absoluteFilePath());
  }

  void missingBitmapPaintsRed() {
    CKivImageDoc doc;
    QImage shot(50, 40, QImage::Format_RGB32);
    doc.GetImgWnd().GetViewInfo().SetWindowSize(50, 40);
    QPainter p(&shot);
    doc.GetImgWnd().Draw([](const DIBBand&) {},
                         [&p](const RECT& r, COLORREF c) {
                           p.fillRect(QRect(r.left, r.top, r.Width(), r.Height()),
                                      QColor(GetRValue(c), GetGValue(c), GetBValue(c)));
                         });
    p.end();
    QCOMPARE(shot.pixelColor(25, 20), QColor(255, 0, 0));
  }

  // A FITS file under a name of no known format opens as FITS, is offered as FITS for
  // saving, and a plain save writes FITS back over it.
  void fitsUnderAnOddNameOpensAndSavesAsFits() {
    CMainFrame frame;
    const std::string odd = dir_->File("sample.mt");
    WriteFileOrDie(odd, ReadFileOrEmpty(sample_.toStdString()));
    CKivImageDoc* doc = frame.OpenDocumentFile(QString::fromStdString(odd));
    QVERIFY(doc);
    CRalImgWnd& wnd = doc->GetImgWnd();
    QCOMPARE(wnd.IsSaveableFitsFormat(), 1);
    QCOMPARE(wnd.GetImagePtr()->GetWidth(), 200);
    QCOMPARE(wnd.WriteFile(odd), 1);
    QVERIFY(CRalImageIO::IsFitsFile(odd));
  }

  void failedReadLeavesNoDocument() {
    CMainFrame frame;
    const std::string bad = dir_->File("bad.fits");
    WriteFileOrDie(bad, "not a FITS file");
    QVERIFY(!frame.OpenDocumentFile(QString::fromStdString(bad)));
    QCOMPARE(frame.Frames().size(), 0);
    QVERIFY(!frame.Command(cmd::ID_ZOOM_IN)->isEnabled());
  }

  void zoomCommandsAndMagnificationSteps() {
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QVERIFY(frame.OpenDocumentFile(sample_));
    CKivImageView* view = frame.ActiveView();
    CRalImgWnd& wnd = view->GetImgWnd();
    QCOMPARE(wnd.GetZoom(), 1);
    frame.Command(cmd::ID_ZOOM_IN)->trigger();
    QCOMPARE(wnd.GetZoom(), 2);
    frame.Command(cmd::ID_ZOOM_OUT)->trigger();
    frame.Command(cmd::ID_ZOOM_OUT)->trigger();
    QCOMPARE(wnd.GetZoom(), 0);
    QVERIFY(frame.Command(cmd::ID_MAG_HALF)->isChecked());
    frame.Command(cmd::ID_MAG_3)->trigger();
    QCOMPARE(wnd.GetZoom(), 3);
    QVERIFY(frame.Command(cmd::ID_MAG_3)->isChecked());
    QVERIFY(!frame.Command(cmd::ID_MAG_1)->isChecked());
    frame.Command(cmd::ID_MAG_2)->trigger();
    QCOMPARE(wnd.GetZoom(), 2);
    frame.Command(cmd::ID_MAG_1)->trigger();
    QCOMPARE(wnd.GetZoom(), 1);
    QCOMPARE(frame.Command(cmd::ID_MAG_1)->shortcut(), QKeySequence("Ctrl+Alt+0"));
    QCOMPARE(frame.Command(cmd::ID_ZOOM_IN)->text(), QString("ｽﾞｰﾑｲﾝ(&I)"));
    // Zoomed in beyond the window: scroll bars appear and scrolling moves the picture.
    view->resize(150, 100);
    frame.Command(cmd::ID_MAG_3)->trigger();
    view->UpdateLayout();
    QVERIFY(wnd.GetViewInfo().GetScrollBar(0).shown);
    const RECT before = wnd.GetViewInfo().GetVisibleImageRect();
    wnd.GetViewInfo().SetScrollPos(0, before.left + 10);
    QCOMPARE(wnd.GetViewInfo().GetVisibleImageRect().left, before.left + 10);
  }

  void saveAsksAboutAnEditedHeader() {
    CMainFrame frame;
    CKivImageDoc* doc = frame.OpenDocumentFile(sample_);
    QVERIFY(doc);
    CRalImgWnd& wnd = doc->GetImgWnd();
    CRalImage* image = wnd.GetImagePtr();
    // An edit of the header that the user then declines to keep.
    (void)CFits::UpdateHeader(*image, "OBSERVER= 'Edited'");
    wnd.SetHeaderEdited(1);
    const QString out = QString::fromStdString(dir_->File("out.fits"));
    box_.Answer(IDCANCEL);
    QVERIFY(!doc->OnSaveDocument(out));
    QVERIFY(!QFile::exists(out));
    QCOMPARE(Shown(0), QString::fromUtf8(wnd_text::kSaveHeaderQuestion));
    box_.Answer(IDNO);
    QVERIFY(doc->OnSaveDocument(out));
    QVERIFY(!doc->IsModified());
    QCOMPARE(doc->GetPathName(), out);
    QCOMPARE(box_.shown.size(), std::size_t{2});
    CRalImage back;
    QCOMPARE(CFits::Read(back, out.toStdString(), 0, 0, 0, 1, 2, nullptr, {}, 0), 0);
    QCOMPARE(back.m_FitsHeader.Find("OBSERVER"), -1);
    QCOMPARE(back.GetWidth(), 200);
    // Yes keeps the edit; without an edit nothing is asked.
    (void)CFits::UpdateHeader(*image, "OBSERVER= 'Kept'");
    wnd.SetHeaderEdited(1);
    box_.Answer(IDYES);
    QVERIFY(doc->OnSaveDocument(out));
    CRalImage kept;
    QCOMPARE(CFits::Read(kept, out.toStdString(), 0, 0, 0, 1, 2, nullptr, {}, 0), 0);
    QVERIFY(kept.m_FitsHeader.Find("OBSERVER") >= 0);
    QVERIFY(doc->OnSaveDocument(out));
    QCOMPARE(box_.shown.size(), std::size_t{3});
  }

  void closingAModifiedImageAsks() {
    CMainFrame frame;
    CKivImageDoc* doc = frame.OpenDocumentFile(sample_);
    QVERIFY(doc);
    doc->SetModifiedFlag(true);
    QVERIFY(frame.MdiArea()->activeSubWindow()->windowTitle().contains("[*]"));
    box_.Answer(IDCANCEL);
    frame.Command(cmd::ID_FILE_CLOSE)->trigger();
    QCOMPARE(frame.Frames().size(), 1);
    QVERIFY(Shown(0).contains("sample.fits"));
    box_.Answer(IDNO);
    frame.Command(cmd::ID_FILE_CLOSE)->trigger();
    QTRY_COMPARE(frame.Frames().size(), 0);
    QVERIFY(!frame.Command(cmd::ID_FILE_SAVE)->isEnabled());
  }

  void windowMenuListsNineWindowsThenMore() {
    CMainFrame frame;
    frame.resize(1000, 800);
    for (int i = 0; i < 10; ++i)
      QVERIFY(frame.OpenDocumentFile(MakeSample(qPrintable(QString("w%1.fits").arg(i)), 40, 30)));
    frame.RebuildWindowMenu();
    QStringList texts;
    for (QAction* a : frame.WindowMenu()->actions())
      if (!a->isSeparator()) texts << a->text();
    QCOMPARE(texts.at(0), QString("重ねて表示(&C)"));
    QCOMPARE(texts.at(3), QString("ｱｲｺﾝの整列(&A)"));
    QCOMPARE(texts.at(4), QString("&1 w0.fits"));
    QCOMPARE(texts.at(12), QString("&9 w8.fits"));
    QCOMPARE(texts.last(), QString::fromUtf8(app_text::kMoreWindows));
    QCOMPARE(texts.size(), 4 + 9 + 1);
    // Rebuilding again does not pile entries up.
    frame.RebuildWindowMenu();
    QCOMPARE(frame.WindowMenu()->actions().size(), 4 + 1 + 9 + 1);
    CDlgWindow dlg({"a.fits", "b.fits", "a.fits"});
    QCOMPARE(dlg.SelectedIndex(), 2);  // the first is selected; equal titles give the last
  }

  void exitAsksAndStoresPlacement() {
    CKivImageApp app;
    CMainFrame frame(&app);
    std::string hwnd;
    QVERIFY(CRegistry::Read("Exchange", "hWnd", "", hwnd));
    frame.setGeometry(40, 50, 700, 500);
    frame.show();
    box_.Answer(IDCANCEL);
    QVERIFY(!frame.close());
    QCOMPARE(Shown(0), QString::fromUtf8(app_text::kExitQuestion));
    QVERIFY(frame.isVisible());
    app.SetFitsBottomUp(0);
    box_.Answer(IDOK);
    QVERIFY(frame.close());
    std::string value;
    QVERIFY(CRegistry::Read("IO", "FitsBottomUp", "", value));
    QCOMPARE(QString::fromStdString(value), QString("no"));
    WINDOWPLACEMENT wp;
    int show = 0;
    QVERIFY(CRegistry::Read("General", "FramePosition", wp, &show));
    QCOMPARE(wp.rcNormalPosition.right - wp.rcNormalPosition.left, 700);
    QVERIFY(!CRegistry::Read("Exchange", "hWnd", "", hwnd));
  }

  void environmentDialogRules() {
    CDlgEnviroment dlg(true);
    auto* maximized = dlg.findChild<QCheckBox*>("maximized");
    auto* bkgnd = dlg.findChild<QCheckBox*>("dlgBkGnd");
    auto* allOn = dlg.findChild<QPushButton*>("allOn");
    auto* allOff = dlg.findChild<QPushButton*>("allOff");
    auto* height = dlg.findChild<QSpinBox*>("fitsHeight");
    QVERIFY(maximized && bkgnd && allOn && allOff && height);
    QCOMPARE(height->value(), 100);
    maximized->setChecked(true);
    bkgnd->click();
    QVERIFY(!maximized->isChecked());
    QVERIFY(!maximized->isEnabled());
    bkgnd->click();
    QVERIFY(maximized->isEnabled());
    QVERIFY(allOn->isEnabled());
    QVERIFY(!allOff->isEnabled());
    allOn->click();
    QCOMPARE(height->value(), 10);
    QVERIFY(!allOn->isEnabled());
    QVERIFY(allOff->isEnabled());
    dlg.findChild<QCheckBox*>("assocPng")->setChecked(false);
    dlg.accept();
    QCOMPARE(Shown(0), QString::fromUtf8(app_text::kRestartSystem));
    // Eight families now open with the program; PNG does not.
    for (const FileFamily& f : associations::Families())
      QCOMPARE(associations::IsAssociated(f), QString(f.name) != "assocPng");
    QVERIFY(QFile::exists(associations::DataHome() + "/applications/vantorel.desktop"));
    const QString list =
        QString::fromStdString(ReadFileOrEmpty(associations::MimeAppsPath().toStdString()));
    QVERIFY(list.contains("image/fits=vantorel.desktop;"));
    int stored = 0;
    QVERIFY(CRegistry::Read("Dialog\\Enviroment", "FitsHeight", 0, stored, CRegistry::TYPE_INT));
    QCOMPARE(stored, 10);

    // A second opening sees the associations; a changed height alone asks for a restart
    // of the program; clearing removes the program as default.
    box_.shown.clear();
    CDlgEnviroment again(true);
    QVERIFY(again.findChild<QCheckBox*>("assocFits")->isChecked());
    QVERIFY(!again.findChild<QCheckBox*>("assocPng")->isChecked());
    again.findChild<QSpinBox*>("fitsHeight")->setValue(20);
    again.accept();
    QCOMPARE(Shown(0), QString::fromUtf8(app_text::kRestartProgram));
    associations::SetAssociated(associations::Families()[0], false);
    QVERIFY(!QString::fromStdString(ReadFileOrEmpty(associations::MimeAppsPath().toStdString()))
                 .contains("image/fits="));

    // The box that keeps unplaced header cards: Cancel stores nothing, OK stores it, and
    // the next opening shows it ticked; the writer follows at once.
    for (const bool ok : {false, true}) {
      CDlgEnviroment keep(true);
      keep.show();
      auto* box = keep.findChild<QCheckBox*>("keepCards");
      QVERIFY(box);
      QVERIFY(!box->isChecked());
      QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
      QVERIFY(box->isChecked());
      QVERIFY(!CFits::GetKeepCards());
      if (ok)
        keep.accept();
      else
        keep.reject();
      QCOMPARE(CFits::GetKeepCards(), ok);
    }
    CDlgEnviroment ticked(true);
    QVERIFY(ticked.findChild<QCheckBox*>("keepCards")->isChecked());
    ticked.reject();

    // Without the right to change them, the associations stay as they are.
    CDlgEnviroment locked(false);
    QVERIFY(!locked.findChild<QCheckBox*>("assocGif")->isEnabled());
    QVERIFY(!locked.findChild<QPushButton*>("allOn")->isEnabled());
  }

  void pageSetupAndPrintingToPdf() {
    CMainFrame frame;
    frame.resize(900, 700);
    QVERIFY(frame.OpenDocumentFile(sample_));
    CKivImageView* view = frame.ActiveView();
    view->resize(400, 300);
    view->UpdateLayout();
    CKivImagePageSetupDialog setup(view);
    auto* mag = setup.findChild<QLineEdit*>("printMag");
    mag->setText("0");
    setup.accept();
    QCOMPARE(Shown(0), QString::fromUtf8(app_text::kPrintMagRange));
    QCOMPARE(view->GetPrintMag(), 10000);
    mag->setText("10000");  // 1000000 in 1/100 percent: above the limit
    setup.accept();
    QCOMPARE(view->GetPrintMag(), 10000);
    QCOMPARE(box_.shown.size(), std::size_t{2});
    mag->setText("9999.99");
    setup.accept();
    QCOMPARE(view->GetPrintMag(), 999999);
    mag->setText("250");
    const RECT shown = view->GetImgWnd().GetViewInfo().GetVisibleImageRect();
    QVERIFY(shown.Width() > 0 && shown.Height() > 0);
    QCOMPARE(setup.SizeText(),
             QString::asprintf(app_text::kPrintSize, shown.Width() * 25.4 / 96 * 2.5,
                               shown.Height() * 25.4 / 96 * 2.5));
    setup.accept();
    QCOMPARE(view->GetPrintMag(), 25000);

    // Centred on the page; in preview a region too large is cut to what fits.
    QRect cut;
    const QRect t = PrintTarget(200, 100, 96, 96, 10000, QRect(0, 0, 1000, 800), false, &cut);
    QCOMPARE(t, QRect(400, 350, 200, 100));
    const QRect p = PrintTarget(200, 100, 96, 96, 100000, QRect(0, 0, 1000, 800), true, &cut);
    QCOMPARE(cut, QRect(50, 10, 100, 80));
    QCOMPARE(p, QRect(0, 0, 1000, 800));

    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    const QString pdf = QString::fromStdString(dir_->File("print.pdf"));
    printer.setOutputFileName(pdf);
    view->SetPrintMag(10000);
    {
      QPainter painter(&printer);
      QVERIFY(RenderPage(view, printer, painter, false));
    }
    QVERIFY(ReadFileOrEmpty(pdf.toStdString()).rfind("%PDF", 0) == 0);
    view->SetPrintMag(0);
    QPrinter second(QPrinter::HighResolution);
    second.setOutputFormat(QPrinter::PdfFormat);
    second.setOutputFileName(QString::fromStdString(dir_->File("none.pdf")));
    QPainter painter(&second);
    QVERIFY(!RenderPage(view, second, painter, false));
    QCOMPARE(Shown(box_.shown.size() - 1), QString::fromUtf8(app_text::kPrintMagZero));
  }

  void argumentInAnotherLetterCaseFindsTheStoredName() {
    const QString upper = QString::fromStdString(dir_->File("SAMPLE.FITS"));
    QCOMPARE(CKivImageApp::ResolveArgument(upper), sample_);
  }

  void imageCommandsUndoAndLevelsThroughTheMenus() {
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    CKivImageDoc* doc = frame.OpenDocumentFile(sample_);
    QVERIFY(doc);
    CRalImgWnd& wnd = doc->GetImgWnd();
    const double left = wnd.GetImagePtr()->GetPixel(0, 5, 0);
    const double right = wnd.GetImagePtr()->GetPixel(199, 5, 0);
    QVERIFY(left != right);
    QVERIFY(!frame.Command(cmd::ID_EDIT_UNDO)->isEnabled());

    frame.Command(cmd::ID_HORIZONTAL)->trigger();
    QCOMPARE(wnd.GetImagePtr()->GetPixel(0, 5, 0), right);
    QVERIFY(doc->IsModified());
    QAction* undo = frame.Command(cmd::ID_EDIT_UNDO);
    QVERIFY(undo->isEnabled());
    QCOMPARE(undo->statusTip(), QString::fromUtf8("左右反転"));
    undo->trigger();
    QCOMPARE(wnd.GetImagePtr()->GetPixel(0, 5, 0), left);
    undo->trigger();  // undo of the undo: the mirrored image again
    QCOMPARE(wnd.GetImagePtr()->GetPixel(0, 5, 0), right);
    frame.Command(cmd::ID_VERTICAL)->trigger();
    QCOMPARE(wnd.GetImagePtr()->GetPixel(0, 119 - 5, 0), right);

    // Automatic levels, with their own undo name; then back to the levels of reading.
    CRalImage* image = wnd.GetImagePtr();
    const double loadMin = image->GetOrgDefaultLevelMin(0);
    const double loadMax = image->GetOrgDefaultLevelMax(0);
    CRegistry::Write("PrcAutoLevel", "Min", 1.0);
    CRegistry::Write("PrcAutoLevel", "Max", 3.0);
    frame.Command(cmd::ID_AUTO_LEVEL)->trigger();
    image = wnd.GetImagePtr();
    QCOMPARE(QString::fromStdString(image->GetUndoDialogName()), QString::fromUtf8("自動ﾚﾍﾞﾙ調整"));
    QVERIFY(image->GetLevelMax(0) != loadMax);
    CRalImage expected(*wnd.GetUndoImagePtr());
    QVERIFY(CPrcAutoLevel::Do(expected, nullptr));
    QCOMPARE(image->GetLevelMin(0), expected.GetLevelMin(0));
    QCOMPARE(image->GetLevelMax(0), expected.GetLevelMax(0));
    frame.Command(cmd::ID_LEVEL_AT_LOAD)->trigger();
    QCOMPARE(wnd.GetImagePtr()->GetLevelMin(0), loadMin);
    QCOMPARE(wnd.GetImagePtr()->GetLevelMax(0), loadMax);
  }

  void levelDialogPreviewsAndUndoTakesItBack() {
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    CKivImageDoc* doc = frame.OpenDocumentFile(sample_);
    QVERIFY(doc);
    CRalImgWnd& wnd = doc->GetImgWnd();
    const double openMin = wnd.GetImagePtr()->GetLevelMin(0);
    const double openMax = wnd.GetImagePtr()->GetLevelMax(0);
    bool checked = false;
    QTimer::singleShot(0, &frame, [&] {
      auto* dlg = qobject_cast<CDlgLevel*>(QApplication::activeModalWidget());
      QVERIFY(dlg);
      QCOMPARE(dlg->windowTitle(), QString::fromUtf8("ﾚﾍﾞﾙ調整 [ sample.fits ]"));
      // Drag the minimum thumb a quarter of the way in.
      auto* slider = dlg->findChild<CDualSlider*>("1005");
      QVERIFY(slider);
      const int y = slider->height() / 2;
      const int to = slider->GetRangeMax() / 4;
      QTest::mousePress(slider, Qt::LeftButton, {}, QPoint(slider->PositionToPixel(0), y));
      QTest::mouseMove(slider, QPoint(slider->PositionToPixel(to), y));
      QTest::mouseRelease(slider, Qt::LeftButton, {}, QPoint(slider->PositionToPixel(to), y));
      // The preview sets the new levels on the working image band by band.
      QTRY_VERIFY(!dlg->IsPreviewRunning() && wnd.GetImagePtr()->GetLevelMin(0) > openMin);
      QCOMPARE(wnd.GetImagePtr()->GetLevelMin(0), dlg->GetCurMin());
      QCOMPARE(wnd.GetUndoImagePtr()->GetLevelMin(0), openMin);
      checked = true;
      dlg->findChild<QPushButton*>("IDOK")->click();
    });
    frame.Command(cmd::ID_LEVEL)->trigger();
    QVERIFY(checked);
    QVERIFY(doc->IsModified());
    QVERIFY(wnd.GetImagePtr()->GetLevelMin(0) > openMin);
    QCOMPARE(QString::fromStdString(wnd.GetImagePtr()->GetUndoDialogName()),
             QString::fromUtf8("ﾚﾍﾞﾙ調整"));
    frame.Command(cmd::ID_EDIT_UNDO)->trigger();
    QCOMPARE(wnd.GetImagePtr()->GetLevelMin(0), openMin);
    QCOMPARE(wnd.GetImagePtr()->GetLevelMax(0), openMax);

    // Cancel leaves the levels as they were, even after a preview.
    QTimer::singleShot(0, &frame, [&] {
      auto* dlg = qobject_cast<CDlgLevel*>(QApplication::activeModalWidget());
      QVERIFY(dlg);
      dlg->findChild<QPushButton*>("1150")->click();  // automatic levels
      QTRY_VERIFY(!dlg->IsPreviewRunning());
      dlg->reject();
    });
    frame.Command(cmd::ID_LEVEL)->trigger();
    QCOMPARE(wnd.GetImagePtr()->GetLevelMin(0), openMin);
  }

  void newImagesOpenWithUniqueTitles() {
    CMainFrame frame;
    frame.resize(900, 700);
    frame.show();
    QStringList titles;
    for (int i = 0; i < 3; ++i) {
      CVumDocument* doc = nullptr;
      CRalImage* image = nullptr;
      QCOMPARE(CVumDoc::MakeNewDocument(-32, 64, 48, 1, &doc, &image, 1), 1);
      QVERIFY(image);
      QCOMPARE(frame.ActiveDocument(), static_cast<CKivImageDoc*>(doc));
      QVERIFY(frame.ActiveDocument()->IsModified());
      titles << frame.ActiveDocument()->GetTitle();
    }
    QCOMPARE(titles, QStringList({"NewImage.fts", "NewImage1.fts", "NewImage2.fts"}));
    QCOMPARE(frame.Frames().size(), 3);
    QVERIFY(frame.Frames().back()->isVisible());
  }

  void socketFolderIsPrivateToTheUser_data() {
    QTest::addColumn<QString>("runtime");   // what $XDG_RUNTIME_DIR names
    QTest::addColumn<QString>("fallback");  // what already has the fallback's name
    QTest::addColumn<int>("otherUid");      // checked against a uid that is not ours
    QTest::addColumn<QString>("taken");     // "runtime", "fallback" or "" (refused)
    QTest::addColumn<int>("problem");
    using namespace instance_socket;
    QTest::newRow("private runtime folder") << "private"
                                            << "none" << 0 << "runtime" << kOk;
    QTest::newRow("runtime open to others") << "open"
                                            << "none" << 0 << "fallback" << kOk;
    QTest::newRow("runtime is a link") << "link"
                                       << "private" << 0 << "fallback" << kOk;
    QTest::newRow("fallback open to others") << "none"
                                             << "open" << 0 << "" << kFolderOpen;
    QTest::newRow("fallback is a link") << "none"
                                        << "link" << 0 << "" << kNotAFolder;
    QTest::newRow("fallback is a file") << "file"
                                        << "file" << 0 << "" << kNotAFolder;
    QTest::newRow("folders of another user") << "private"
                                             << "private" << 1 << "" << kFolderNotOwned;
  }
  void socketFolderIsPrivateToTheUser() {
    QFETCH(QString, runtime);
    QFETCH(QString, fallback);
    QFETCH(int, otherUid);
    QFETCH(QString, taken);
    QFETCH(int, problem);
    const std::string run = dir_->File("run"), fall = dir_->File("fall");
    QVERIFY(MakeEntry(run, runtime) && MakeEntry(fall, fallback));
    const instance_socket::Folder got =
        instance_socket::PrivateFolder(run.c_str(), fall, getuid() + static_cast<uid_t>(otherUid));
    QCOMPARE(got.problem, problem);
    QCOMPARE(got.path, taken == "runtime" ? run : fall);
    // A missing fallback is made by us, with no access for anyone else.
    struct stat st {};
    if (taken == "fallback") QVERIFY(lstat(fall.c_str(), &st) == 0 && (st.st_mode & 0777) == 0700);
  }

  void listenerOfAnotherUserIsToldNothing() {
    // Another process listens on the name, answers "ok" to whoever connects and prints,
    // in hex, what it received on that connection.
    const QString path = QString::fromStdString(dir_->File("spoof"));
    qputenv("VANTOREL_SOCKET", path.toLocal8Bit());
    QProcess spoof;
    spoof.start("/usr/bin/python3", {"-c", R"(
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.bind(sys.argv[1])
s.listen()
print("listening", flush=True)
while True:
    c, got = s.accept()[0], b""
    try:
        c.sendall(b"ok\n")
        while d := c.recv(4096):
            got += d
    except OSError:
        pass
    print("got:" + got.hex(), flush=True)
)",
                                     path});
    QTRY_VERIFY_WITH_TIMEOUT(spoof.canReadLine(), 10000);
    QCOMPARE(spoof.readLine(), QByteArray("listening\n"));
    // Not run by the trusted uid: it learns nothing; this copy starts on its own with the
    // file and says once why it has no socket.
    {
      CKivImageApp app(false);
      app.SetTrustedUid(getuid() + 1);
      QCOMPARE(app.InitInstance({sample_}), 1);
      QCOMPARE(app.MainFrame()->Frames().size(), 1);
      QVERIFY(!app.IsListening());
      QCOMPARE(box_.shown.size(), std::size_t{1});
      QCOMPARE(Shown(0), MessageFor(path, instance_socket::kOtherUser));
    }
    QTRY_VERIFY_WITH_TIMEOUT(spoof.canReadLine(), 10000);
    QCOMPARE(spoof.readLine(), QByteArray("got:\n"));
    // The same listener trusted takes the name: only the uid told the two apart.
    QCOMPARE(CKivImageApp::HandOver(sample_, 5000, getuid()), CKivImageApp::HandOverResult::kTaken);
    QTRY_VERIFY_WITH_TIMEOUT(spoof.canReadLine(), 10000);
    QCOMPARE(spoof.readLine(), "got:" + (sample_.toUtf8() + '\n').toHex() + '\n');
    spoof.kill();
    spoof.waitForFinished();
  }

  void occupiedSocketNameIsToldOnce_data() {
    QTest::addColumn<QString>("obstacle");
    QTest::addColumn<int>("problem");
    QTest::newRow("regular file") << "file" << instance_socket::kFileInPlace;
    QTest::newRow("socket left by a crash") << "stale" << instance_socket::kOk;
  }
  void occupiedSocketNameIsToldOnce() {
    QFETCH(QString, obstacle);
    QFETCH(int, problem);
    const std::string path = dir_->File("sock");
    qputenv("VANTOREL_SOCKET", QByteArray::fromStdString(path));
    QVERIFY(MakeEntry(path, obstacle));
    const std::size_t told = problem == instance_socket::kOk ? 0 : 1;
    // Two starts: the program works each time; the obstacle is told once, and removed
    // only when it is a dead socket.
    for (int start = 0; start < 2; ++start) {
      CKivImageApp app(false);
      QCOMPARE(app.InitInstance({sample_}), 1);
      QCOMPARE(app.MainFrame()->Frames().size(), 1);
      QCOMPARE(app.IsListening(), problem == instance_socket::kOk);
      QCOMPARE(box_.shown.size(), told);
      if (told) QCOMPARE(Shown(0), MessageFor(QString::fromStdString(path), problem));
    }
    if (obstacle == "file") QCOMPARE(ReadFileOrEmpty(path), std::string("not a socket"));
  }

  void handOverRestoresTheFrame_data() {
    QTest::addColumn<bool>("maximized");
    QTest::addColumn<int>("otherUid");
    QTest::newRow("maximised, then minimised") << true << 0;
    QTest::newRow("normal, then minimised") << false << 0;
    QTest::newRow("from another user") << true << 1;
  }
  void handOverRestoresTheFrame() {
    QFETCH(bool, maximized);
    QFETCH(int, otherUid);
    const QString path = QString::fromStdString(dir_->File("sock"));
    qputenv("VANTOREL_SOCKET", path.toLocal8Bit());
    CKivImageApp app(false);
    app.SetTrustedUid(getuid() + static_cast<uid_t>(otherUid));
    QCOMPARE(app.InitInstance({}), 1);
    CMainFrame* frame = app.MainFrame();
    maximized ? frame->showMaximized() : frame->showNormal();
    frame->showMinimized();
    QLocalSocket client;
    client.connectToServer(path);
    QVERIFY(client.waitForConnected(5000));
    client.write(sample_.toUtf8() + '\n');
    QTRY_VERIFY_WITH_TIMEOUT(
        client.bytesAvailable() > 0 || client.state() == QLocalSocket::UnconnectedState, 10000);
    if (otherUid) {
      // Not a word back; the frame neither moves nor opens anything.
      QCOMPARE(client.bytesAvailable(), 0);
      QTest::qWait(100);
      QVERIFY(frame->isMinimized());
      QCOMPARE(frame->Frames().size(), 0);
      return;
    }
    QCOMPARE(client.readAll(), QByteArray("ok\n"));
    QTRY_COMPARE_WITH_TIMEOUT(frame->Frames().size(), 1, 10000);
    QVERIFY(!frame->isMinimized());
    QCOMPARE(frame->isMaximized(), maximized);
  }

  void secondCopyHandsItsFileToTheFirst() {
    const QString exe = QString::fromStdString(TestBinDir() + "/vantorel");
    QVERIFY(QFile::exists(exe));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VANTOREL_CONFIG_HOME", QString::fromStdString(home_->path()));
    // The socket goes into the user's runtime folder.
    const std::string runtime = dir_->File("run");
    QVERIFY(MakeEntry(runtime, "private"));
    env.remove("VANTOREL_SOCKET");
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess first;
    first.setProcessEnvironment(env);
    first.start(exe, {});
    QVERIFY(first.waitForStarted());
    // The first copy writes its frame into "Exchange" once it runs.
    std::string hwnd;
    QTRY_VERIFY_WITH_TIMEOUT(CRegistry::Read("Exchange", "hWnd", "", hwnd), 20000);
    struct stat st {};
    QVERIFY(lstat((runtime + "/vantorel.socket").c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(exe, {sample_});
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitCode(), 0);
    // The first copy opened it: it is now its most recent file.
    std::string recent;
    QTRY_VERIFY_WITH_TIMEOUT(CRegistry::Read("Recent File List", "File1", "", recent), 20000);
    QCOMPARE(QString::fromStdString(recent), sample_);
    QVERIFY2(first.state() == QProcess::Running, first.readAllStandardError().constData());

    // With several copies allowed, a third starts on its own and keeps running.
    CRegistry::Write("General", "AllowMultipleInstance", 1, CRegistry::TYPE_BOOL);
    QProcess third;
    third.setProcessEnvironment(env);
    third.start(exe, {sample_});
    QVERIFY(third.waitForStarted());
    QVERIFY(!third.waitForFinished(1500));
    third.kill();
    third.waitForFinished();
    first.kill();
    first.waitForFinished();
  }
};

QTEST_MAIN(AppTest)
#include "app_test.moc"

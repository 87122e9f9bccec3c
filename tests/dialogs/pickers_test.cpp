// The image and folder pickers offscreen, driven with real key and mouse events: the
// histories they keep in the settings store, the rules of adding and removing, the
// table's editing, and the images they hand over (an open window's own image asked from
// its view; a file read as astropy reads it).
#include <QLineEdit>
#include <QProcess>
#include <QTableWidget>
#include <QtTest>
#include <memory>
#include <sstream>

#include "dialogs/combodirectory.h"
#include "dialogs/comboimage.h"
#include "dialogs/listtarget.h"
#include "dialogs/tablebox.h"
#include "dialogs/vumdialog.h"
#include "display/qt/ralimgwnd.h"
#include "engine/ralimage.h"
#include "fileio/prompts.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

// A window: a real image window behind a view.
class WindowView : public CVumView {
 public:
  std::intptr_t SendVumMessage(unsigned msg, std::uintptr_t w, std::intptr_t l) override {
    return wnd.OnVumMessage(msg, w, l);
  }
  CRalImgWnd wnd;
};

class WindowDoc : public CVumDocument {
 public:
  WindowDoc(std::string title, std::string path)
      : title_(std::move(title)), path_(std::move(path)) {
    view.wnd.SetImagePrt(new CRalImage(4, 3, -32, 1, 1.0, 0.0, 1));
  }
  std::string GetVumTitle() const override { return title_; }
  std::vector<CVumView*> GetVumViews() const override { return {const_cast<WindowView*>(&view)}; }
  void UpdateAllVumViews() override {}
  std::string GetVumPathName() const override { return path_; }
  void SetVumTitle(const std::string& t) override { title_ = t; }
  void SetVumPathName(const std::string& p) override { path_ = p; }
  void SetVumModified(bool) override {}
  void SetVumImage(CRalImage* image, const CReadParam*) override { view.wnd.SetImagePrt(image); }
  void InitialUpdateVum() override {}
  void CloseVum() override {}
  WindowView view;

 private:
  std::string title_, path_;
};

class Windows : public CVumDocTemplate {
 public:
  CVumDocument* CreateVumDocument() override { return nullptr; }
  std::vector<CVumDocument*> GetVumDocuments() const override {
    std::vector<CVumDocument*> out;
    for (auto& d : docs) out.push_back(d.get());
    return out;
  }
  CVumDocument* OpenVumDocument(const std::string& path) override {
    opened.push_back(path);
    docs.push_back(std::make_unique<WindowDoc>(path, path));
    return docs.back().get();
  }
  std::vector<std::unique_ptr<WindowDoc>> docs;
  std::vector<std::string> opened;
};

// The open dialog answers with these files.
ScriptedPrompts::Answer Choose(std::vector<std::string> paths) {
  return [paths](Prompt& p) {
    static_cast<FileOpenPrompt&>(p).paths = paths;
    return true;
  };
}

std::string Setting(const std::string& section, const std::string& key) {
  std::string v;
  CRegistry::Read(section, key, "", v);
  return v;
}

std::vector<std::string> Names(const CListTarget& list) {
  std::vector<std::string> out;
  for (int i = 0; i < list.GetCount(); ++i) out.push_back(list.GetNameAt(i));
  return out;
}

}  // namespace

class PickersTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    config_ = std::make_unique<ScopedConfigHome>();
    dir_ = std::make_unique<TempDir>();
    for (const char* n : {"a.fts", "b.fts", "c.fts", "d.fts", "e.fts", "f.fts"})
      WriteFileOrDie(dir_->File(n), "x");
    windows_ = std::make_unique<Windows>();
    windows_->docs.push_back(std::make_unique<WindowDoc>("m31.fts", "/data/z/m31.fts"));
    windows_->docs.push_back(std::make_unique<WindowDoc>("m42.fts", "/data/a/m42.fts"));
    CVumDoc::SetDocTemplate(windows_.get());
    prompts_ = std::make_unique<ScriptedPrompts>();
    scoped_ = std::make_unique<ScopedUserPrompts>(prompts_.get());
  }
  void cleanup() {
    scoped_.reset();
    CVumDoc::SetDocTemplate(nullptr);
    windows_.reset();
    dir_.reset();
    config_.reset();
  }

  void comboImageShowsWindowsThenExistingFiles() {
    CRegistry::Write("Test", "Dark0", dir_->File("a.fts"));
    CRegistry::Write("Test", "Dark1", dir_->File("gone.fts"));
    CRegistry::Write("Test", "Dark2", dir_->File("b.fts"));
    CRegistry::Write("Test", "Dark", "m42.fts");
    CComboImage combo;
    combo.ReadHistory("Test", "Dark");
    QCOMPARE(combo.count(), 4);
    QCOMPARE(combo.itemText(0), QString("m31.fts"));
    QCOMPARE(combo.itemText(2).toStdString(), dir_->File("a.fts"));
    QCOMPARE(combo.itemText(3).toStdString(), dir_->File("b.fts"));
    // The window selected last is selected again; its image is the window's own.
    QCOMPARE(combo.currentIndex(), 1);
    QCOMPARE(combo.GetImage(0), windows_->docs[1]->view.wnd.GetImagePtr());
    // Without a stored title the first file is selected.
    CRegistry::Write("Test", "Dark", "");
    combo.ReadHistory("Test", "Dark");
    QCOMPARE(combo.currentIndex(), 2);
  }

  // Calibration pickers: a window is selected only by its file's path, a file only when
  // it was the choice and still exists; anything else selects nothing. Writing keeps the
  // path of a window, nothing of a window without a file.
  void comboImageRecallsByPath() {
    windows_->docs.push_back(std::make_unique<WindowDoc>("scratch.fts", ""));
    CRegistry::Write("Test", "Bias0", dir_->File("a.fts"));
    CRegistry::Write("Test", "Bias1", dir_->File("b.fts"));
    const struct {
      const char* stored;
      std::string first;  // the head of the history
      int selected;
    } cases[] = {{"/data/a/m42.fts", dir_->File("a.fts"), 1},
                 {"m42.fts", dir_->File("a.fts"), -1},
                 {"/data/b/m42.fts", dir_->File("a.fts"), -1},
                 {"", dir_->File("a.fts"), 3},
                 {"", dir_->File("gone.fts"), -1},
                 {CComboImage::kNothingChosen, dir_->File("a.fts"), -1}};
    for (const auto& c : cases) {
      CRegistry::Write("Test", "Bias", c.stored);
      CRegistry::Write("Test", "Bias0", c.first);
      CComboImage combo;
      combo.SetRecallByPath(true);
      combo.ReadHistory("Test", "Bias");
      QCOMPARE(combo.count(), c.first == dir_->File("gone.fts") ? 4 : 5);
      QVERIFY2(combo.currentIndex() == c.selected, c.stored);
    }
    CComboImage combo;
    combo.SetRecallByPath(true);
    combo.show();
    combo.ReadHistory("Test", "Bias");
    combo.setFocus();
    QTest::keyClick(&combo, Qt::Key_Home);
    QTest::keyClick(&combo, Qt::Key_Down);
    QCOMPARE(combo.currentText(), QString("m42.fts"));
    combo.WriteHistory("Test", "Bias");
    QCOMPARE(Setting("Test", "Bias"), std::string("/data/a/m42.fts"));
    QTest::keyClick(&combo, Qt::Key_Down);
    QCOMPARE(combo.currentText(), QString("scratch.fts"));
    combo.WriteHistory("Test", "Bias");
    QCOMPARE(Setting("Test", "Bias"), std::string(CComboImage::kNothingChosen));
    QTest::keyClick(&combo, Qt::Key_End);
    combo.WriteHistory("Test", "Bias");
    QCOMPARE(Setting("Test", "Bias"), std::string());
    QCOMPARE(Setting("Test", "Bias0"), dir_->File("b.fts"));
  }

  void comboImageSelectFileAndWrite() {
    for (int i = 0; i < 5; ++i)
      CRegistry::Write("Test", "Flat" + std::to_string(i),
                       dir_->File(std::string(1, char('a' + i)) + ".fts"));
    CComboImage combo;
    combo.show();
    combo.ReadHistory("Test", "Flat");
    // A file already listed moves to the top instead of doubling; a new one pushes the
    // oldest out of the five.
    prompts_->Expect("FileOpen", Choose({dir_->File("c.fts")}));
    prompts_->Expect("FileOpen", Choose({dir_->File("f.fts")}));
    QCOMPARE(combo.SelectFile(), 1);
    QCOMPARE(combo.GetFileName(), dir_->File("c.fts"));
    QCOMPARE(combo.SelectFile(), 1);
    const std::vector<std::string> expect = {dir_->File("f.fts"), dir_->File("c.fts"),
                                             dir_->File("a.fts"), dir_->File("b.fts"),
                                             dir_->File("d.fts")};
    QCOMPARE(combo.GetFiles(), expect);
    // A cancelled dialog changes nothing.
    QCOMPARE(combo.SelectFile(), 0);
    QCOMPARE(combo.GetFiles(), expect);
    // Pick the third file with the keyboard; writing puts it first.
    combo.setFocus();
    QTest::keyClick(&combo, Qt::Key_Down);
    QTest::keyClick(&combo, Qt::Key_Down);
    QCOMPARE(combo.GetFileName(), dir_->File("a.fts"));
    combo.WriteHistory("Test", "Flat");
    QCOMPARE(Setting("Test", "Flat0"), dir_->File("a.fts"));
    QCOMPARE(Setting("Test", "Flat1"), dir_->File("f.fts"));
    QCOMPARE(Setting("Test", "Flat4"), dir_->File("d.fts"));
    QCOMPARE(Setting("Test", "Flat"), std::string());
    // Going up to a window stores its title.
    QTest::keyClick(&combo, Qt::Key_Home);
    combo.WriteHistory("Test", "Flat");
    QCOMPARE(Setting("Test", "Flat"), std::string("m31.fts"));
  }

  void comboImageReadsFileAsAstropyDoes() {
    // Unsigned 16-bit data (stored with BZERO 32768) and a NaN-free float plane.
    const std::string path = dir_->File("u16.fits");
    const QString script = QStringLiteral(
        "import sys, numpy as np\nfrom astropy.io import fits\n"
        "d = ((np.arange(35).reshape(5, 7) * 2011) % 65536).astype(np.uint16)\n"
        "fits.PrimaryHDU(d).writeto(sys.argv[1])\n"
        "print(' '.join(str(float(v)) for v in fits.getdata(sys.argv[1]).ravel()))\n");
    QProcess py;
    py.start("/usr/bin/python3", {"-c", script, QString::fromStdString(path)});
    QVERIFY(py.waitForFinished(60000));
    QCOMPARE(py.exitCode(), 0);
    std::istringstream values(py.readAllStandardOutput().toStdString());
    CComboImage combo;
    combo.AddFile(path);
    CRalImage* image = combo.GetImage(0);
    QVERIFY(image);
    QCOMPARE(image->GetWidth(), 7);
    QCOMPARE(image->GetHeight(), 5);
    // astropy's rows are FITS rows from the first; find the image's row order from the
    // header-free fact that row 0 of the file holds the smallest values.
    std::vector<double> oracle;
    for (double v; values >> v;) oracle.push_back(v);
    QCOMPARE(oracle.size(), std::size_t(35));
    const bool flipped = image->GetPixel(0, 0) != oracle[0];
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 7; ++x)
        QCOMPARE(image->GetPixel(x, flipped ? 4 - y : y), oracle[std::size_t(y * 7 + x)]);
    // The automatic levels were applied: the range is not the raw full range.
    QVERIFY(image->GetLevelMax(0) > image->GetLevelMin(0));
    // With openAsWindow the file goes to a new window and its image is that window's.
    CVumDocument* doc = nullptr;
    CRalImage* windowImage = combo.GetImage(1, &doc);
    QCOMPARE(windows_->opened, std::vector<std::string>{path});
    QVERIFY(doc);
    QCOMPARE(windowImage, windows_->docs.back()->view.wnd.GetImagePtr());
    // A file that went away gives nothing, and says so once however often it is asked.
    RecordingMessageBox box;
    ScopedMessageBox scoped(&box);
    combo.AddFile(dir_->File("missing.fts"));
    QVERIFY(!combo.GetImage(0));
    QVERIFY(!combo.GetImage(0));
    QCOMPARE(box.shown.size(), std::size_t(1));
  }

  void listTargetAddAndRemove() {
    CListTarget list;
    list.show();
    list.AddDocument(windows_->docs[0].get());
    list.AddDocument(windows_->docs[0].get());  // listed already
    QCOMPARE(list.GetCount(), 1);
    prompts_->Expect("FileOpen", Choose({dir_->File("a.fts"), dir_->File("b.fts")}));
    prompts_->Expect("FileOpen", Choose({dir_->File("c.fts"), dir_->File("a.fts")}));
    QCOMPARE(list.OnAdd(), 1);
    QCOMPARE(list.OnAdd(), 1);
    // Chosen files at the top in their order, the earlier a.fts moved up, the first chosen
    // selected; the window stays at the end.
    const std::vector<std::string> expect = {dir_->File("c.fts"), dir_->File("a.fts"),
                                             dir_->File("b.fts"), "m31.fts"};
    QCOMPARE(Names(list), expect);
    QCOMPARE(list.currentRow(), 0);
    QCOMPARE(list.GetDocumentAt(3), windows_->docs[0].get());
    QVERIFY(!list.GetDocumentAt(0));
    // Remove the second (selected with the keyboard): the next moves into its place.
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_Down);
    QCOMPARE(list.currentRow(), 1);
    list.OnRemove();
    QCOMPARE(list.GetNameAt(1), dir_->File("b.fts"));
    QCOMPARE(list.currentRow(), 1);
    // Removing the last selects the new last.
    QTest::keyClick(&list, Qt::Key_End);
    list.OnRemove();
    QCOMPARE(list.GetCount(), 2);
    QCOMPARE(list.currentRow(), 1);
    list.OnRemove();
    list.OnRemove();
    QCOMPARE(list.GetCount(), 0);
    list.OnRemove();  // nothing left to remove
    QCOMPARE(list.GetCount(), 0);
  }

  void listTargetSortByFile() {
    CListTarget list;
    list.AddDocument(windows_->docs[0].get());  // /data/z/m31.fts
    list.AddFiles({"/data/b/x.fts"});
    list.AddDocument(windows_->docs[1].get());  // /data/a/m42.fts
    list.setCurrentRow(0);
    list.SortByFile();
    const std::vector<std::string> expect = {"m42.fts", "/data/b/x.fts", "m31.fts"};
    QCOMPARE(Names(list), expect);
    QCOMPARE(list.GetNameAt(list.currentRow()), std::string("/data/b/x.fts"));
    QCOMPARE(list.GetImage(0, 0), windows_->docs[1]->view.wnd.GetImagePtr());
  }

  void comboDirectoryHistory() {
    CRegistry::Write("Test", "Directory0", "/one");
    CRegistry::Write("Test", "Directory1", "/two");
    CComboDirectory combo;
    combo.show();
    combo.ReadHistory("Test", "Directory");
    QCOMPARE(combo.GetDirectory(), std::string("/one"));
    std::string started;
    combo.SetChooser([&](const std::string& start, std::string* chosen) {
      started = start;
      *chosen = "/" + std::to_string(combo.count()) + "x";
      return true;
    });
    for (int i = 0; i < 5; ++i) QCOMPARE(combo.Browse(), 1);
    QCOMPARE(started, std::string("/5x"));  // starts at the folder in the field
    QCOMPARE(combo.count(), 5);
    QCOMPARE(combo.GetDirectories().back(), std::string("/one"));
    // A typed folder goes first on writing, and only five are kept.
    combo.lineEdit()->selectAll();
    QTest::keyClicks(combo.lineEdit(), "/typed");
    combo.WriteHistory("Test", "Directory");
    QCOMPARE(Setting("Test", "Directory0"), std::string("/typed"));
    QCOMPARE(Setting("Test", "Directory1"), std::string("/5x"));
    QCOMPARE(Setting("Test", "Directory4"), std::string("/2x"));
    // The chooser cancelled changes nothing.
    combo.SetChooser([](const std::string&, std::string*) { return false; });
    QCOMPARE(combo.Browse(), 0);
    QCOMPARE(combo.count(), 5);
  }

  void tableBoxEditing() {
    CTableBox table;
    table.SetColumns({"画像", "ﾀﾞｰｸ"});
    table.resize(400, 300);
    table.show();
    QVERIFY(QTest::qWaitForWindowExposed(&table));
    QCOMPARE(table.rowCount(), 1);  // the empty row to type into
    auto clickCell = [&](int row, int column) {
      const QRect r = table.visualRect(table.model()->index(row, column));
      QTest::mouseClick(table.viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
    };
    // Typing into the current cell starts its editor; Return ends it.
    auto type = [&](const char* text) {
      QTest::keyClick(&table, text[0]);
      QWidget* editor = QApplication::focusWidget();
      QVERIFY(editor && editor != &table);
      QTest::keyClicks(editor, text + 1);
      // The editor commits on a queued call.
      QTest::keyClick(editor, Qt::Key_Return);
      QTRY_VERIFY(QApplication::focusWidget() == &table);
    };
    clickCell(0, 0);
    type("a.fts");
    QCOMPARE(table.GetCell(0, 0), std::string("a.fts"));
    QCOMPARE(table.rowCount(), 2);  // a new empty row at the end
    clickCell(1, 1);
    type("d.fts");
    QCOMPARE(table.GetRowCountUsed(), 2);
    QCOMPARE(table.rowCount(), 3);
    // Delete clears the cell; the first row, now empty, goes away.
    clickCell(0, 0);
    QTest::keyClick(&table, Qt::Key_Delete);
    QCOMPARE(table.rowCount(), 2);
    QCOMPARE(table.GetCell(0, 1), std::string("d.fts"));
    QCOMPARE(table.GetCell(0, 0), std::string());
  }

 private:
  std::unique_ptr<ScopedConfigHome> config_;
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<Windows> windows_;
  std::unique_ptr<ScriptedPrompts> prompts_;
  std::unique_ptr<ScopedUserPrompts> scoped_;
};

QTEST_MAIN(PickersTest)
#include "pickers_test.moc"

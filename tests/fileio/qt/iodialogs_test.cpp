// The rules of the file dispatcher's Qt dialogs, driven offscreen: the plane dialog's
// labels, first choices and enabling; the FITS and JPEG option dialogs' rules; the
// save-as dialog's refusals.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QRadioButton>
#include <QSlider>
#include <QtTest>

#include "fileio/filedialogs.h"
#include "fileio/fileiotexts.h"
#include "fileio/prompts.h"
#include "fileio/qt/iodialogs.h"
#include "fileio/readparam.h"
#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"

namespace ft = fileio_text;

class IoDialogsTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedConfigHome* home_ = nullptr;
  ScopedMessageBox* scoped_ = nullptr;

  QString Last() const {
    return box_.shown.empty() ? QString() : QString::fromStdString(box_.shown.back().text);
  }

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    scoped_ = new ScopedMessageBox(&box_);
    box_.shown.clear();
  }
  void cleanup() {
    delete scoped_;
    delete home_;
  }

  void planeDialogLabelsAndDefaults() {
    LoadFits3DPrompt p;
    p.planeCount = 4;
    const Fits3DChoice d = Fits3DDefaults(4, 0);
    p.color = d.color;
    p.red = d.red;
    p.green = d.green;
    p.blue = d.blue;
    CDlgLFits3D dlg(p);
    auto* gray = dlg.findChild<QComboBox*>("grayPlane");
    auto* blue = dlg.findChild<QComboBox*>("bluePlane");
    QVERIFY(gray && blue);
    QCOMPARE(gray->count(), 4);
    QCOMPARE(gray->itemText(0), QString("第 1"));
    QCOMPARE(gray->itemText(3), QString("第 4"));
    QCOMPARE(blue->currentIndex(), 2);
    QVERIFY(dlg.findChild<QRadioButton*>("gray")->isChecked());
    QVERIFY(gray->isEnabled());
    QVERIFY(!blue->isEnabled());
    dlg.findChild<QRadioButton*>("color")->setChecked(true);
    QVERIFY(!gray->isEnabled());
    QVERIFY(blue->isEnabled());
    dlg.findChild<QComboBox*>("redPlane")->setCurrentIndex(3);
    LoadFits3DPrompt out;
    dlg.Apply(out);
    QVERIFY(out.color);
    QCOMPARE(out.red, 3);
    QCOMPARE(out.blue, 2);
  }

  // Every field of the raw layout dialog has its label, and each label's key (Alt and its
  // letter) moves to the field it names: typing there changes that value and no other.
  void rawDialogLabelsLeadToTheirFields() {
    LoadRawPrompt p;
    p.path = "/tmp/frame.raw";
    p.fileSize = 614400;
    CDlgLoadRaw dlg(p);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    auto* form = dlg.findChild<QFormLayout*>("rawForm");
    QVERIFY(form);
    const struct {
      Qt::Key key;
      const char* field;  // the field the key leads to
      const char* word;   // in its label
    } rows[] = {{Qt::Key_W, "width", "幅"},         {Qt::Key_H, "height", "高さ"},
                {Qt::Key_E, "header", "ﾍｯﾀﾞｰｻｲｽﾞ"}, {Qt::Key_P, "gray", "ﾌﾟﾚｰﾝ"},
                {Qt::Key_T, "integer", "ﾃﾞｰﾀ型"},   {Qt::Key_B, "bits8", "ﾋﾞｯﾄ数"},
                {Qt::Key_O, "ibm", "ﾊﾞｲﾄｵｰﾀﾞｰ"},    {Qt::Key_S, "signed", "符号"}};
    QStringList labels;
    for (int r = 0; r < form->rowCount(); ++r)
      if (auto* item = form->itemAt(r, QFormLayout::LabelRole))
        if (auto* label = qobject_cast<QLabel*>(item->widget())) labels << label->text();
    QCOMPARE(labels.size(), 2 + 8);  // the file's name and size, then the eight fields
    for (const auto& row : rows) {
      QTest::keyClick(&dlg, row.key, Qt::AltModifier);
      QWidget* focus = QApplication::focusWidget();
      QVERIFY(focus);
      QCOMPARE(focus->objectName(), QString::fromLatin1(row.field));
      // The label before the field's row names it.
      QLabel* label = nullptr;
      for (auto* l : dlg.findChildren<QLabel*>())
        if (l->buddy() == focus) label = l;
      QVERIFY2(label && label->text().contains(QString::fromUtf8(row.word)), row.field);
    }
    // Typed through the labels' keys: the values land in their own fields.
    QTest::keyClick(&dlg, Qt::Key_W, Qt::AltModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("320"));
    QTest::keyClick(&dlg, Qt::Key_E, Qt::AltModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("2880"));
    LoadRawPrompt out;
    dlg.Apply(out);
    QCOMPARE(out.width, std::string("320"));
    QCOMPARE(out.height, p.height);
    QCOMPARE(out.header, std::string("2880"));
    QCOMPARE(dlg.findChild<QLabel*>("fileSize")->text(), QStringLiteral("614400"));
  }

  void planeDialogRgbFile() {
    LoadFits3DPrompt p;
    p.planeCount = 3;
    p.siTypeRGB = 1;
    p.color = true;
    CDlgLFits3D dlg(p);
    auto* red = dlg.findChild<QComboBox*>("redPlane");
    QCOMPARE(red->itemText(0), QString("R"));
    QCOMPARE(red->itemText(2), QString("B"));
    QVERIFY(dlg.findChild<QRadioButton*>("color")->isChecked());
  }

  void fitsRealMovesEightBitsToThirtyTwo() {
    SaveFitsPrompt p;
    p.bits = 8;
    CDlgSaveFits dlg(p);
    QVERIFY(dlg.findChild<QRadioButton*>("bits8")->isChecked());
    QVERIFY(!dlg.findChild<QRadioButton*>("bits64")->isEnabled());
    dlg.findChild<QRadioButton*>("real")->setChecked(true);
    QVERIFY(dlg.findChild<QRadioButton*>("bits32")->isChecked());
    QVERIFY(!dlg.findChild<QRadioButton*>("bits8")->isEnabled());
    QVERIFY(dlg.findChild<QRadioButton*>("bits64")->isEnabled());
    dlg.accept();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    SaveFitsPrompt out;
    dlg.Apply(out);
    QCOMPARE(out.bits, -32);
  }

  void fitsOkRefusesIntegerSixtyFour() {
    SaveFitsPrompt p;
    p.bits = 16;
    CDlgSaveFits dlg(p);
    dlg.findChild<QRadioButton*>("bits64")->setChecked(true);  // disabled, set by force
    dlg.accept();
    QCOMPARE(Last(), QString::fromUtf8(ft::kSaveFitsBad.data(), ft::kSaveFitsBad.size()));
    QVERIFY(dlg.result() != QDialog::Accepted);
  }

  void jpegQualityBox_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("message");
    QTest::newRow("ten") << "10" << true << QString();
    QTest::newRow("zero") << "0" << false << QString::fromUtf8(ft::kJpegQualityRange.data());
    QTest::newRow("eleven") << "11" << false << QString::fromUtf8(ft::kJpegQualityRange.data());
    QTest::newRow("letter") << "5a" << false << QString::fromUtf8(ft::kJpegQualityNotNumber.data());
    QTest::newRow("empty") << "" << false << QString::fromUtf8(ft::kJpegQualityNotNumber.data());
  }
  void jpegQualityBox() {
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(QString, message);
    SaveJpegPrompt p;
    CDlgSaveJpeg dlg(p);
    dlg.findChild<QLineEdit*>("qualityEdit")->setText(text);
    dlg.accept();
    QCOMPARE(dlg.result() == QDialog::Accepted, accepted);
    QCOMPARE(Last(), message);
    if (accepted) {
      SaveJpegPrompt out;
      dlg.Apply(out);
      QCOMPARE(out.quality, text.toInt());
    }
  }

  void jpegSliderAndBoxInStep() {
    SaveJpegPrompt p;
    p.quality = 7;
    CDlgSaveJpeg dlg(p);
    auto* slider = dlg.findChild<QSlider*>("qualitySlider");
    auto* edit = dlg.findChild<QLineEdit*>("qualityEdit");
    QCOMPARE(edit->text(), QString("7"));
    slider->setValue(3);
    QCOMPARE(edit->text(), QString("3"));
    edit->setText("9");
    QCOMPARE(slider->value(), 9);
    QCOMPARE(edit->maxLength(), 2);
  }

  void saveAsRefusals_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("overwriteAllowed");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown") << "m31.xyz" << 1 << QString::fromUtf8(ft::kSaveUnknownType.data());
    QTest::newRow("raw") << "m31.raw" << 1 << QString::fromUtf8(ft::kSaveNotSaveable.data());
    QTest::newRow("original") << "orig.fts" << 0 << QString::fromUtf8(ft::kSaveNoOverwrite.data());
  }
  void saveAsRefusals() {
    QFETCH(QString, name);
    QFETCH(int, overwriteAllowed);
    QFETCH(QString, message);
    TempDir dir;
    FileSavePrompt p;
    p.filter = SaveFilter(1, 0);
    p.initialDir = dir.path();
    p.filterIndex = 2;
    p.overwriteAllowed = overwriteAllowed;
    p.originalFileName = dir.File("orig.fts");
    WriteFileOrDie(p.originalFileName, "the file the image came from");
    CDlgFileSave dlg(p);
    dlg.selectFile(QString::fromStdString(dir.File(name.toStdString())));
    dlg.accept();
    QCOMPARE(Last(), message);
    QVERIFY(dlg.result() != QDialog::Accepted);
  }

  // Packed and tile-compressed FITS files are listed under the FITS entry of every open
  // dialog, each can be opened from it, and a save under that entry keeps its name.
  void compressedFitsShowUnderTheFitsEntry_data() {
    QTest::addColumn<int>("list");
    QTest::newRow("images") << 0;
    QTest::newRow("unsigned fits") << 1;
    QTest::newRow("fits data") << 2;
  }
  void compressedFitsShowUnderTheFitsEntry() {
    QFETCH(int, list);
    TempDir dir;
    const QStringList packed = {"a.fits.gz", "b.fits.fz", "c.fts.gz", "d.fit.gz", "e.FITS.FZ"};
    for (const QString& name : packed + QStringList{"plain.fits", "notes.txt", "f.gzip"})
      WriteFileOrDie(dir.File(name.toStdString()), "x");
    const OpenDialogSetup setup = list == 0   ? OpenImageSetup(FILETYPE_FITS)
                                  : list == 1 ? OpenImageSetup(FILETYPE_USFITS)
                                              : OpenDataSetup(FILETYPE_FITS);
    FileOpenPrompt p;
    p.filter = setup.filter;
    p.title = setup.title;
    p.initialDir = dir.path();
    p.filterIndex = 1;  // the FITS entry comes first in each list
    CDlgFileOpen dlg(p);
    auto* view = dlg.findChild<QListView*>("listView");
    QVERIFY(view && view->model());
    // What the dialog lists, once its model has read the folder.
    auto listed = [&] {
      QStringList names;
      const QModelIndex root = view->rootIndex();
      for (int r = 0; r < view->model()->rowCount(root); ++r)
        names << view->model()->index(r, 0, root).data().toString();
      names.sort();
      return names;
    };
    QStringList expected = packed + QStringList{"plain.fits"};
    expected.sort();
    QTRY_COMPARE(listed(), expected);
    // Typed into the name box and taken with Enter, as a user would.
    dlg.show();
    auto* nameBox = dlg.findChild<QLineEdit*>("fileNameEdit");
    QVERIFY(nameBox);
    nameBox->setFocus();
    QTest::keyClicks(nameBox, "b.fits.fz");
    QTest::keyClick(nameBox, Qt::Key_Return);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    FileOpenPrompt out;
    dlg.Apply(out);
    QCOMPARE(out.paths.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(out.paths[0]), QString::fromStdString(dir.File("b.fits.fz")));
  }

  void saveAsKeepsACompressedFitsName_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("gzip") << "m31.fits.gz";
    QTest::newRow("rice") << "m31.fits.fz";
    QTest::newRow("fts gzip") << "m31.fts.gz";
  }
  void saveAsKeepsACompressedFitsName() {
    QFETCH(QString, name);
    TempDir dir;
    FileSavePrompt p;
    p.filter = SaveFilter(1, 0);
    p.initialDir = dir.path();
    p.filterIndex = 1;  // BMP
    CDlgFileSave dlg(p);
    dlg.selectFile(QString::fromStdString(dir.File(name.toStdString())));
    // The user picks the FITS entry: the name is one of its own and stays as it is.
    auto* types = dlg.findChild<QComboBox*>("fileTypeCombo");
    QVERIFY(types);
    dlg.show();
    types->setFocus();
    QTest::keyClick(types, Qt::Key_Down);
    QCOMPARE(types->currentIndex(), 1);
    QCOMPARE(dlg.findChild<QLineEdit*>("fileNameEdit")->text(), name);
    dlg.accept();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QVERIFY(box_.shown.empty());
    FileSavePrompt out;
    dlg.Apply(out);
    QCOMPARE(QString::fromStdString(out.path),
             QString::fromStdString(dir.File(name.toStdString())));
    QCOMPARE(out.filterIndex, 2);
    // And a name proposed with such an extension preselects the FITS entry.
    QCOMPARE(GetFilterIndex(p.filter, ExtensionOf(name.toStdString())), 1);
  }

  void saveAsCompletesAMissingExtension() {
    TempDir dir;
    FileSavePrompt p;
    p.filter = SaveFilter(1, 0);
    p.initialDir = dir.path();
    p.filterIndex = 2;  // FITS
    CDlgFileSave dlg(p);
    dlg.selectFile(QString::fromStdString(dir.File("m31")));
    dlg.accept();
    QVERIFY(dlg.result() != QDialog::Accepted);
    QVERIFY(box_.shown.empty());
    dlg.accept();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    FileSavePrompt out;
    dlg.Apply(out);
    QCOMPARE(QString::fromStdString(out.path), QString::fromStdString(dir.File("m31.fts")));
    QCOMPARE(out.filterIndex, 2);
  }
};

QTEST_MAIN(IoDialogsTest)
#include "iodialogs_test.moc"

// The header editor offscreen, driven by mouse clicks and key presses: a typed card is
// stored as 80 columns before the selected card, blocks at the ends of the list do not
// move, the dispersion axis set to Y / WAVE / log(m) lands in the image and its composed
// header, a singular matrix is refused with the dialog left open, and 40 cards print to
// a PDF whose every page (read back by pdftotext) has the heading and the rulers; the
// data import of spectral numbers sets the axis through the same dialog.
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPageLayout>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "dialogs/dlgeditheader.h"
#include "engine/ralimage.h"
#include "fileio/qt/dataimportdialogs.h"
#include "fits/fits.h"
#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"
#include "tests/support/when_modal.h"

namespace {

// Runs the dialog modally with body acting inside its event loop; a body that leaves the
// dialog open cancels it.
int RunModal(CVumDialog& dialog, const std::function<void()>& body) {
  bool ran = false;
  QTimer::singleShot(0, &dialog, [&] {
    if (QTest::qWaitForWindowExposed(&dialog)) {
      ran = true;
      body();
    }
    if (dialog.isVisible()) dialog.reject();
  });
  const int result = dialog.DoModal();
  if (!ran) QTest::qFail("the dialog never came up", __FILE__, __LINE__);
  return result;
}

template <typename T>
T* Find(QWidget* parent, const QString& name) {
  T* w = parent->findChild<T*>(name);
  if (!w) qWarning("no control %s", qPrintable(name));
  return w;
}

void Click(QWidget* w, Qt::KeyboardModifiers mods = {}) {
  QTest::mouseClick(w, Qt::LeftButton, mods, w->rect().center());
}

void ClickRow(QListWidget* list, int row, Qt::KeyboardModifiers mods = {}) {
  list->scrollToItem(list->item(row));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, mods,
                    list->visualItemRect(list->item(row)).center());
}

// Replaces an edit's text as a user does: select all, type.
void Retype(QLineEdit* edit, const QString& text) {
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(edit, text);
}

std::string Letters(const CFitsHeader& header) {
  std::string out;
  for (const std::string& card : header.Cards()) out += card.empty() ? '?' : card[0];
  return out;
}

}  // namespace

class EditHeaderTest : public QObject {
  Q_OBJECT

 private:
  RecordingMessageBox box_;
  ScopedMessageBox* scoped_ = nullptr;
  ScopedConfigHome* home_ = nullptr;

 private slots:
  void init() {
    home_ = new ScopedConfigHome;
    box_.shown.clear();
    scoped_ = new ScopedMessageBox(&box_);
  }
  void cleanup() {
    delete scoped_;
    delete home_;
  }

  // 20 typed characters are stored with 60 blanks before the selected card; the editor
  // takes no more than 80 characters; with nothing selected the card goes last.
  void newCardIsPaddedAndInsertedBeforeTheSelection() {
    CDlgEditHeader dialog;
    for (const char* c : {"A", "B", "C", "D"}) dialog.m_Header.Add(c);
    const QString twenty = QStringLiteral("OBSERVER= 'Someone'");  // 19 + one blank
    QString caption;
    RunModal(dialog, [&] {
      QListWidget* list = dialog.List();
      QCOMPARE(list->count(), 4);
      ClickRow(list, 2);
      WhenModal([&](QWidget* editor) {
        caption = editor->windowTitle();
        auto* edit = Find<QLineEdit>(editor, QString::number(CDlgEditHeaderEdit::IDC_CARD));
        QTest::keyClicks(edit, twenty + " ");
        QTest::keyClick(edit, Qt::Key_Return);
      });
      Click(Find<QPushButton>(&dialog, "new"));
      QCOMPARE(dialog.m_Header.GetCount(), 5);
      QCOMPARE(dialog.m_Header.GetAt(2), (twenty + " ").toStdString() + std::string(60, ' '));
      QCOMPARE(dialog.SelectedRows(), std::vector<int>{2});
      QCOMPARE(list->count(), 5);

      // 90 characters typed: the edit stops at 80.
      ClickRow(list, 2, Qt::ControlModifier);  // nothing selected any more
      QVERIFY(dialog.SelectedRows().empty());
      int typed = 0;
      WhenModal([&](QWidget* editor) {
        auto* edit = Find<QLineEdit>(editor, QString::number(CDlgEditHeaderEdit::IDC_CARD));
        QTest::keyClicks(edit, QString(90, QLatin1Char('X')));
        typed = edit->text().size();
        QTest::keyClick(edit, Qt::Key_Return);
      });
      Click(Find<QPushButton>(&dialog, "new"));
      QCOMPARE(typed, 80);
      QCOMPARE(dialog.m_Header.GetAt(5), std::string(80, 'X'));
      QCOMPARE(dialog.SelectedRows(), std::vector<int>{5});

      // Escape in the editor changes nothing.
      WhenModal([](QWidget* editor) { QTest::keyClick(editor, Qt::Key_Escape); });
      Click(Find<QPushButton>(&dialog, "new"));
      QCOMPARE(dialog.m_Header.GetCount(), 6);
      Click(Find<QPushButton>(&dialog, "IDOK"));
    });
    QCOMPARE(caption, QString::fromUtf8(header_text::kAddCaption));
    QCOMPARE(Letters(dialog.m_Header), std::string("ABOCDX"));
    QCOMPARE(dialog.GetHeaderEdited(), 0);
  }

  // With nothing selected a new card goes last but before END, also when blank cards
  // follow END; a header without END takes it last.
  void newCardGoesBeforeEnd() {
    const struct {
      std::vector<std::string> cards;
      std::string want;  // first letters after adding "N..."
    } cases[] = {{{"SIMPLE", "BITPIX", "END"}, "SBNE"},
                 {{"SIMPLE", "END", "", ""}, "SNE  "},
                 {{"SIMPLE", "ENDING = 1"}, "SEN"}};
    for (const auto& c : cases) {
      CDlgEditHeader dialog;
      for (const std::string& card : c.cards) dialog.m_Header.Add(card);
      RunModal(dialog, [&] {
        WhenModal([&](QWidget* editor) {
          auto* edit = Find<QLineEdit>(editor, QString::number(CDlgEditHeaderEdit::IDC_CARD));
          QTest::keyClicks(edit, QStringLiteral("NEWCARD = 1"));
          QTest::keyClick(edit, Qt::Key_Return);
        });
        QVERIFY(dialog.SelectedRows().empty());
        Click(Find<QPushButton>(&dialog, "new"));
        const int at = static_cast<int>(c.want.find('N'));
        QCOMPARE(dialog.SelectedRows(), std::vector<int>{at});
        QCOMPARE(dialog.List()->count(), dialog.m_Header.GetCount());
        Click(Find<QPushButton>(&dialog, "IDOK"));
      });
      QCOMPARE(Letters(dialog.m_Header), c.want);
    }
  }

  // Up at the top and down at the bottom do nothing; elsewhere the block moves with its
  // selection. A double click edits a card; Delete removes every selected card.
  void blocksMoveButNotPastTheEnds() {
    CDlgEditHeader dialog;
    for (const char* c : {"A", "B", "C", "D", "E", "F"}) dialog.m_Header.Add(c);
    RunModal(dialog, [&] {
      QListWidget* list = dialog.List();
      QPushButton* up = Find<QPushButton>(&dialog, "up");
      QPushButton* down = Find<QPushButton>(&dialog, "down");
      ClickRow(list, 0);
      ClickRow(list, 1, Qt::ShiftModifier);
      Click(up);
      QCOMPARE(Letters(dialog.m_Header), std::string("ABCDEF"));
      QCOMPARE(dialog.SelectedRows(), (std::vector<int>{0, 1}));
      Click(down);
      QCOMPARE(Letters(dialog.m_Header), std::string("CABDEF"));
      QCOMPARE(dialog.SelectedRows(), (std::vector<int>{1, 2}));
      ClickRow(list, 4);
      ClickRow(list, 5, Qt::ShiftModifier);
      Click(down);
      QCOMPARE(Letters(dialog.m_Header), std::string("CABDEF"));
      Click(up);
      QCOMPARE(Letters(dialog.m_Header), std::string("CABEFD"));
      QCOMPARE(dialog.SelectedRows(), (std::vector<int>{3, 4}));

      // A double click opens the card in the editor with its text.
      QString shown;
      WhenModal([&](QWidget* editor) {
        auto* edit = Find<QLineEdit>(editor, QString::number(CDlgEditHeaderEdit::IDC_CARD));
        shown = edit->text();
        Retype(edit, "Q");
        QTest::keyClick(edit, Qt::Key_Return);
      });
      list->scrollToItem(list->item(1));
      const QPoint at = list->visualItemRect(list->item(1)).center();
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
      QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
      QCOMPARE(shown, QStringLiteral("A"));
      QCOMPARE(Letters(dialog.m_Header), std::string("CQBEFD"));

      ClickRow(list, 0);
      ClickRow(list, 3, Qt::ControlModifier);
      ClickRow(list, 5, Qt::ControlModifier);
      Click(Find<QPushButton>(&dialog, "delete"));
      QCOMPARE(Letters(dialog.m_Header), std::string("QBF"));
      QCOMPARE(list->count(), 3);
      Click(Find<QPushButton>(&dialog, "IDOK"));
    });
  }

  // Y axis, WAVE, log(m): the image gets WAVE-LOG and log(m) in quotes for axis 2 and the
  // display axis 2, and the list shows the header composed again. A singular matrix is
  // refused with the dialog open; a good one is kept as a PC matrix.
  void dispersionAxisOnYInLogMetres() {
    CRalImage image(20, 10, -32, 1, 1.0, 0.0, 1);
    image.m_FitsHeader.Add("OBJECT  = 'Arc lamp'");
    CDlgEditHeader dialog;
    dialog.m_Header = image.m_FitsHeader;
    dialog.Set(nullptr, &image, nullptr);
    bool stayedOpen = false;
    RunModal(dialog, [&] {
      WhenModal([&](QWidget* physic) {
        Click(Find<QRadioButton>(physic, "1593_2"));
        auto* type = Find<QComboBox>(physic, "1586");
        auto* unit = Find<QComboBox>(physic, "1592");
        QVERIFY(type->isEnabled());
        type->setFocus();
        QTest::keyClick(type, Qt::Key_Down);  // 未定義 → 波長(真空中)
        QCOMPARE(type->currentData().toString(), QStringLiteral("WAVE"));
        unit->setFocus();
        QTest::keyClick(unit, Qt::Key_End);
        QCOMPARE(unit->currentText(), QStringLiteral("log(m)"));
        Retype(Find<QLineEdit>(physic, "1598"), "5.5");
        Retype(Find<QLineEdit>(physic, "1596"), "-6.2");
        Retype(Find<QLineEdit>(physic, "1597"), "0.001");
        auto* matrix = Find<QCheckBox>(physic, "1594");
        QTest::mouseClick(matrix, Qt::LeftButton, {}, QPoint(6, matrix->height() / 2));
        QVERIFY(Find<QCheckBox>(physic, "1594")->isChecked());
        QVERIFY(Find<QLineEdit>(physic, "1590")->isEnabled());
        Retype(Find<QLineEdit>(physic, "1587"), "1");
        Retype(Find<QLineEdit>(physic, "1588"), "2");
        Retype(Find<QLineEdit>(physic, "1589"), "2");
        Retype(Find<QLineEdit>(physic, "1590"), "4");
        Click(Find<QPushButton>(physic, "IDOK"));
        stayedOpen = physic->isVisible();
        QCOMPARE(box_.shown.size(), std::size_t{1});
        QCOMPARE(box_.shown[0].text, std::string(headeredit::kSingularMatrix));
        QCOMPARE(Find<QLineEdit>(physic, "1590")->text(), QStringLiteral("4"));
        Retype(Find<QLineEdit>(physic, "1590"), "5");
        Click(Find<QPushButton>(physic, "IDOK"));
      });
      Click(Find<QPushButton>(&dialog, "1582"));
      Click(Find<QPushButton>(&dialog, "IDOK"));
    });
    QVERIFY(stayedOpen);
    QCOMPARE(dialog.GetHeaderEdited(), 1);
    std::string text;
    QVERIFY(image.GetCType(1, &text));
    QCOMPARE(text, std::string("'WAVE-LOG'"));
    QVERIFY(image.GetCUnit(1, &text));
    QCOMPARE(text, std::string("'log(m)'"));
    QVERIFY(!image.GetCType(0, &text));
    int axis = 0;
    QVERIFY(image.GetDispAxis(&axis));
    QCOMPARE(axis, 2);
    tagMATRIX2_2 m;
    QCOMPARE(image.GetLTMtx(&m), 2);
    QCOMPARE(m.m22, 5.0);
    const CFitsHeader& h = dialog.m_Header;
    QVERIFY(h.Find("CTYPE2") >= 0);
    QCOMPARE(h.GetAt(h.Find("CTYPE2")).substr(0, 20), std::string("CTYPE2  = 'WAVE-LOG'"));
    QCOMPARE(h.GetAt(h.Find("CUNIT2")).substr(0, 18), std::string("CUNIT2  = 'log(m)'"));
    QCOMPARE(h.GetAt(h.Find("DISPAXIS")).substr(0, 30),
             std::string("DISPAXIS=                    2"));
    QVERIFY(h.Find("OBJECT") >= 0);  // the cards that were there stay
    QCOMPARE(dialog.List()->count(), h.GetCount());
  }

  // 40 cards on a page that holds fewer: every page read back from the PDF starts with
  // the heading and the two rulers, and the cards follow in order. A point size of 0 is
  // refused first; a page too narrow is asked about.
  void fortyCardsPrintWithHeadingAndRulersOnEveryPage() {
    if (QProcess::execute("sh", {"-c", "command -v pdftotext >/dev/null"}) != 0)
      QSKIP("pdftotext (poppler-utils) is missing");
    TempDir dir;
    CDlgEditHeader dialog;
    for (int i = 0; i < 40; ++i)
      dialog.m_Header.Add(QStringLiteral("KEY%1   = %2 / card %1")
                              .arg(i, 2, 10, QLatin1Char('0'))
                              .arg(i * 7, 20)
                              .toStdString());
    const QString pdf = QString::fromStdString(dir.File("header.pdf"));
    bool narrow = false;
    dialog.onChoosePrinter = [&](QPrinter& printer) {
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(pdf);
      // 100 mm wide holds 80 characters at 5 points; 60 mm high holds fewer than 44 lines.
      printer.setPageLayout(
          QPageLayout(QPageSize(QSizeF(narrow ? 40 : 100, 60), QPageSize::Millimeter),
                      QPageLayout::Portrait, QMarginsF(4, 4, 4, 4)));
      return true;
    };
    auto print = [&](int size, bool refuseFirst) {
      WhenModal([=](QWidget* sizeDialog) {
        auto* edit = Find<QLineEdit>(sizeDialog, "pointSize");
        if (refuseFirst) {
          Retype(edit, "0");
          QTest::keyClick(edit, Qt::Key_Return);
          QVERIFY(sizeDialog->isVisible());
        }
        Retype(edit, QString::number(size));
        QTest::keyClick(edit, Qt::Key_Return);
      });
      Click(Find<QPushButton>(&dialog, "3"));
    };
    RunModal(dialog, [&] {
      print(5, true);
      QCOMPARE(box_.shown.size(), std::size_t{2});
      QCOMPARE(box_.shown[0].text, std::string(header_text::kPointSizeRange));
      QCOMPARE(box_.shown[1].text, std::string(header_text::kPrinted));
      // Too narrow: Cancel prints nothing and says nothing more.
      narrow = true;
      QVERIFY(QFile::remove(pdf));
      box_.Answer(IDCANCEL);
      print(5, false);
      QCOMPARE(box_.shown.size(), std::size_t{3});
      QCOMPARE(box_.shown[2].text, std::string(header_text::kNarrowPage));
      QVERIFY(!QFile::exists(pdf));
      narrow = false;
      print(5, false);
      Click(Find<QPushButton>(&dialog, "IDCANCEL"));
    });
    QProcess text;
    text.start("pdftotext", {"-layout", pdf, "-"});
    QVERIFY(text.waitForFinished(20000));
    QCOMPARE(text.exitCode(), 0);
    const QString all = QString::fromUtf8(text.readAllStandardOutput());
    QStringList pages = all.split(QLatin1Char('\f'));
    if (!pages.isEmpty() && pages.last().trimmed().isEmpty()) pages.removeLast();
    QVERIFY2(pages.size() >= 2, qPrintable(all));
    int next = 0;
    for (int p = 0; p < pages.size(); ++p) {
      QStringList lines = pages[p].split(QLatin1Char('\n'));
      while (!lines.isEmpty() && lines.first().trimmed().isEmpty()) lines.removeFirst();
      QVERIFY2(lines.size() >= 4, qPrintable(pages[p]));
      // pdftotext gives the spacing only roughly.
      QCOMPARE(lines[0].simplified(), QStringLiteral("FITS Header [] Page %1").arg(p + 1));
      int r = 1;
      while (r < lines.size() && lines[r].trimmed().isEmpty()) ++r;
      QVERIFY(r + 1 < lines.size());
      QCOMPARE(lines[r].trimmed(), QString::fromLatin1(headeredit::kRuler1).trimmed());
      QCOMPARE(lines[r + 1].trimmed(), QString::fromLatin1(headeredit::kRuler2));
      for (int k = r + 2; k < lines.size(); ++k) {
        if (lines[k].trimmed().isEmpty()) continue;
        QCOMPARE(lines[k].trimmed().left(5),
                 QStringLiteral("KEY%1").arg(next, 2, 10, QLatin1Char('0')));
        ++next;
      }
    }
    QCOMPARE(next, 40);
  }
  // A spectrum imported from text: after the dispersion axis the axis dialog comes up;
  // its values are written into the new image, and Cancel there ends the import.
  void spectralImportSetsTheAxisInTheAxisDialog() {
    TempDir dir;
    const std::string path = dir.File("spectrum.txt");
    std::string text;
    for (const char* c : {"SIMPLE  =                    T", "NAXIS   =                    1",
                          "NAXIS1  =                    4", "END"})
      text += QString::fromLatin1(c).leftJustified(80).toStdString();
    WriteFileOrDie(path, text + "1 2 3 4\n");
    for (const bool cancel : {false, true}) {
      auto answer = [](QWidget* d) {
        QTest::mouseClick(d->findChild<QDialogButtonBox*>("buttons")->button(QDialogButtonBox::Ok),
                          Qt::LeftButton);
      };
      std::vector<std::function<void(QWidget*)>> steps = {
          answer, answer,  // one axis of 4 values, as offered
          [&](QWidget* d) {
            for (const char* name : {"spectral", "character"}) {
              auto* b = d->findChild<QRadioButton*>(name);
              QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(4, b->height() / 2));
            }
            Retype(d->findChild<QLineEdit*>("separator"), " ");
            answer(d);
          },
          answer,  // dispersion axis 1
          [&](QWidget* physic) {
            QCOMPARE(physic->objectName(), QStringLiteral("dialog2176"));
            QVERIFY(Find<QRadioButton>(physic, "1593_1")->isChecked());
            auto* type = Find<QComboBox>(physic, "1586");
            type->setFocus();
            QTest::keyClick(type, Qt::Key_Down);
            auto* unit = Find<QComboBox>(physic, "1592");
            unit->setFocus();
            QTest::keyClick(unit, Qt::Key_Down);  // Angstrom → nm
            Retype(Find<QLineEdit>(physic, "1596"), "6500");
            Retype(Find<QLineEdit>(physic, "1597"), "0.5");
            Click(Find<QPushButton>(physic, cancel ? "IDCANCEL" : "IDOK"));
          }};
      std::size_t next = 0;
      QTimer timer;
      connect(&timer, &QTimer::timeout, this, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && next < steps.size()) steps[next++](modal);
      });
      timer.start(20);
      CRalImage image;
      const int imported = RunDataImport(path, image, nullptr, [](CRalImage& made) {
        return RunSpectralAxisSettings(made, nullptr);
      });
      timer.stop();
      QCOMPARE(next, steps.size());
      QCOMPARE(imported, cancel ? 0 : 1);
      if (cancel) continue;
      std::string value;
      QVERIFY(image.GetCType(0, &value));
      QCOMPARE(QString::fromStdString(value), QStringLiteral("'WAVE    '"));
      QVERIFY(image.GetCUnit(0, &value));
      QCOMPARE(QString::fromStdString(value), QStringLiteral("'nm'"));
      double v = 0;
      QVERIFY(image.GetCRVal(0, &v));
      QCOMPARE(v, 6500.0);
      QVERIFY(image.GetCDelt(0, &v));
      QCOMPARE(v, 0.5);
      QCOMPARE(image.GetPixel(3, 0), 4.0);
    }
  }
};

QTEST_MAIN(EditHeaderTest)
#include "dlgeditheader_test.moc"

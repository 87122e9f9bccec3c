// The data import dialogs and the question-and-answer run of the File menu's import.
#include "fileio/qt/dataimportdialogs.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>
#include <cstdio>

#include "engine/ralimage.h"
#include "formats/fio/fileiomsg.h"
#include "platform/clocale.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

namespace {

constexpr const char* kTitle = "ﾃﾞｰﾀ ｲﾝﾎﾟｰﾄ";
constexpr std::string_view kSection = "Dialog\\DataImport";
constexpr const char* kAxesPrompt = "軸の数を入力してください。\nFITS ﾍｯﾀﾞ　：　NAXIS";  // 62100
constexpr const char* kAxisPrompt =                                                      // 62101
    "第 %d / %d  軸方向のﾃﾞｰﾀ要素数を入力してください。\nFITSﾍｯﾀﾞ ： NAXIS%d";
constexpr const char* kDispAxisPrompt =
    "分散軸の番号を入力してください。\nFITSﾍｯﾀﾞ ： DISPAXIS";  // 62107

QString Q(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<int>(s.size()));
}
std::string S(const QString& s) {
  return s.toStdString();
}

QButtonGroup* Group(QWidget* parent, QGridLayout* grid, int row, const char* name,
                    std::initializer_list<std::pair<const char*, const char*>> items) {
  auto* g = new QButtonGroup(parent);
  g->setObjectName(name);
  auto* line = new QHBoxLayout;
  int id = 0;
  for (auto [objectName, text] : items) {
    auto* b = new QRadioButton(Q(text), parent);
    b->setObjectName(objectName);
    g->addButton(b, id++);
    line->addWidget(b);
  }
  grid->addLayout(line, row, 0, 1, 2);
  return g;
}

QLineEdit* Edit(QWidget* parent, QGridLayout* grid, int row, const char* name, const char* label,
                const QString& text) {
  auto* e = new QLineEdit(text, parent);
  e->setObjectName(name);
  grid->addWidget(new QLabel(Q(label), parent), row, 0);
  grid->addWidget(e, row, 1);
  return e;
}

void Check(QButtonGroup* g, int id) {
  if (QAbstractButton* b = g->button(id)) b->setChecked(true);
}

void OkCancel(QDialog* dialog, QBoxLayout* layout) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
  buttons->setObjectName("buttons");
  QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
  layout->addWidget(buttons);
}

QString Number(double v) {
  return QString::number(v, 'g', 17);
}

}  // namespace

CDlgDataImportAxis::CDlgDataImportAxis(const std::string& prompt, int value, QWidget* parent)
    : QDialog(parent) {
  setObjectName("CDlgDataImportAxis");
  setWindowTitle(Q(kTitle));
  auto* layout = new QVBoxLayout(this);
  prompt_ = new QLabel(Q(prompt), this);
  prompt_->setObjectName("prompt");
  layout->addWidget(prompt_);
  value_ = new QLineEdit(QString::number(value), this);
  value_->setObjectName("value");
  value_->selectAll();
  layout->addWidget(value_);
  OkCancel(this, layout);
}

bool CDlgDataImportAxis::Value(int* value) const {
  const std::string text = S(value_->text().trimmed());
  std::size_t end = 0;
  return ParseDecimalInt(text, value, &end) && end == text.size();
}

CDlgDataImportType::CDlgDataImportType(double bscale, double bzero, const std::string& author,
                                       QWidget* parent)
    : QDialog(parent), position_(this, std::string(kSection)) {
  setObjectName("CDlgDataImportType");
  setWindowTitle(Q(kTitle));
  auto* layout = new QVBoxLayout(this);
  auto* grid = new QGridLayout;
  layout->addLayout(grid);
  kind_ = Group(this, grid, 0, "kind", {{"imaging", "撮像ﾃﾞｰﾀ"}, {"spectral", "分光ﾃﾞｰﾀ"}});
  bscale_ = Edit(this, grid, 1, "bscale", "BSCALE", Number(bscale));
  bzero_ = Edit(this, grid, 2, "bzero", "BZERO", Number(bzero));
  author_ = Edit(this, grid, 3, "author", "AUTHOR", Q(author));
  author_->setMaxLength(50);
  delimit_ = Group(this, grid, 4, "delimit",
                   {{"fixed", "固定長"}, {"character", "文字区切り"}, {"tab", "ﾀﾌﾞ区切り"}});
  field_ = Edit(this, grid, 5, "fieldLength", "ﾊﾞｲﾄ数", QString());
  separator_ = Edit(this, grid, 6, "separator", "区切り文字", QString());
  sequence_ = Group(this, grid, 7, "sequence", {{"rows", "横並び"}, {"columns", "縦並び"}});
  lineEnds_ = Group(this, grid, 8, "lineEnds",
                    {{"delimits", "改行を区切りとして扱う"}, {"ignored", "改行を無視する"}});
  OkCancel(this, layout);

  int delimit = 0, field = 0, lineEnds = 0, sequence = 0, kind = 0;
  std::string separator;
  CRegistry::Read(kSection, "Delimit", 0, delimit, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Fix", 0, field, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Return", 0, lineEnds, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Sequence", 0, sequence, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Type", 0, kind, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Separator", "", separator);
  Check(kind_, kind == 1 ? 1 : 0);
  Check(delimit_, delimit >= 0 && delimit <= 2 ? delimit : 0);
  Check(sequence_, sequence == 1 ? 1 : 0);
  Check(lineEnds_, lineEnds == 1 ? 1 : 0);
  field_->setText(QString::number(field));
  separator_->setText(Q(separator));
  connect(delimit_, &QButtonGroup::idClicked, this, [this] { UpdateEnabled(); });
  UpdateEnabled();
  position_.Restore();
}

void CDlgDataImportType::UpdateEnabled() {
  field_->setEnabled(delimit_->checkedId() == 0);
  separator_->setEnabled(delimit_->checkedId() == 1);
}

void CDlgDataImportType::accept() {
  DataImportLayout l;
  l.kind = kind_->checkedId();
  l.delimit = delimit_->checkedId();
  l.sequence = sequence_->checkedId();
  l.lineEnds = lineEnds_->checkedId();
  l.author = S(author_->text());
  l.separator = S(separator_->text());
  std::size_t end = 0;
  const std::string scale = S(bscale_->text().trimmed()), zero = S(bzero_->text().trimmed());
  const std::string field = S(field_->text().trimmed());
  bool ok = ParseDecimalDouble(scale, &l.bscale, &end) && end == scale.size() &&
            ParseDecimalDouble(zero, &l.bzero, &end) && end == zero.size();
  if (l.delimit == 0)
    ok = ok && ParseDecimalInt(field, &l.fieldLength, &end) && end == field.size() &&
         l.fieldLength > 0;
  else
    ParseDecimalInt(field, &l.fieldLength);
  if (l.delimit == 1) ok = ok && !l.separator.empty();
  if (!ok) {
    AfxMessageBox(DataImportText(DIMP_ERR_INVALID), MB_OK | MB_ICONINFORMATION);
    return;
  }
  layout_ = l;
  CRegistry::Write(kSection, "Delimit", l.delimit, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Fix", l.fieldLength, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Return", l.lineEnds, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Sequence", l.sequence, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Type", l.kind, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Separator", l.separator);
  QDialog::accept();
}

void CDlgDataImportType::done(int result) {
  position_.Store();
  QDialog::done(result);
}

namespace {

// Asks one integer until it is accepted; false when the user cancels.
bool AskInt(const std::string& prompt, int offered, bool (*accepted)(int), int* value,
            QWidget* parent) {
  for (;;) {
    CDlgDataImportAxis dlg(prompt, offered, parent);
    if (dlg.exec() != QDialog::Accepted) return false;
    if (dlg.Value(value) && accepted(*value)) return true;
    AfxMessageBox(DataImportText(DIMP_ERR_INVALID), MB_OK | MB_ICONEXCLAMATION);
  }
}

std::string Printf(const char* format, int a, int b, int c) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, format, a, b, c);
  return buffer;
}

void Report(int code, const std::string& path) {
  if (code < 100)
    FileioMsgBox(nullptr, code, ApplicationTitle(), path, MB_ICONEXCLAMATION);
  else
    AfxMessageBox(DataImportText(code), MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace

int RunDataImport(const std::string& path, CRalImage& image, QWidget* parent,
                  const std::function<bool(CRalImage&)>& spectralAxis) {
  CRalImage header;
  if (int rc = DataImportReadHeader(header, path)) {
    Report(rc, path);
    return 0;
  }
  DataImportAnswers a;
  const int offeredAxes = header.GetPlanes() == 1 ? (header.GetHeight() == 1 ? 1 : 2) : 0;
  if (!AskInt(
          kAxesPrompt, offeredAxes, [](int v) { return v == 1 || v == 2; }, &a.axes, parent))
    return 0;
  for (int n = 1; n <= a.axes; ++n) {
    int* size = n == 1 ? &a.width : &a.height;
    if (!AskInt(
            Printf(kAxisPrompt, n, a.axes, n), n == 1 ? header.GetWidth() : header.GetHeight(),
            [](int v) { return v > 0; }, size, parent))
      return 0;
  }
  std::string author;
  header.GetAuthor(&author);
  CDlgDataImportType type(header.GetBscale(), header.GetBzero(), author, parent);
  if (type.exec() != QDialog::Accepted) return 0;
  a.layout = type.Layout();
  CRegistry::Read("Dialog\\Enviroment", "FitsHeight", 1, a.oneDimensionHeight, CRegistry::TYPE_INT);
  int dispAxis = 1;
  if (a.layout.kind == 1 &&
      !AskInt(
          kDispAxisPrompt, 1, [](int v) { return v == 1 || v == 2; }, &dispAxis, parent))
    return 0;
  for (;;) {
    int columns = 0;
    const int rc = DataImport(image, path, a, &columns);
    if (rc == DIMP_OK) break;
    if (rc != DIMP_ASK_COLUMN && rc != DIMP_ERR_COLUMN) {
      Report(rc, path);
      return 0;
    }
    if (rc == DIMP_ERR_COLUMN) AfxMessageBox(DataImportText(rc), MB_OK | MB_ICONEXCLAMATION);
    CDlgDataImportAxis dlg(DataImportText(DIMP_ASK_COLUMN, columns), 1, parent);
    if (dlg.exec() != QDialog::Accepted) return 0;
    if (!dlg.Value(&a.column)) a.column = -1;
  }
  if (a.layout.kind == 1) {
    image.SetDispAxis(dispAxis);
    if (spectralAxis && !spectralAxis(image)) return 0;
  }
  return 1;
}

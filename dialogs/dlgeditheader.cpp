// The FITS header editor, the card editor, the print size dialog, the printing of a
// header and the dispersion-axis settings.
#include "dialogs/dlgeditheader.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>
#include <new>

#include "dialogs/dlgsupport.h"
#include "engine/ralimage.h"
#include "fileio/qt/iodialogs.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "platform/clocale.h"
#include "platform/messagebox.h"

namespace {

using dlg::Id;
using dlg::Q;
using namespace headeredit;

constexpr const char* kSection = "Dialog\\EditHeader";
constexpr const char* kEditSection = "Dialog\\EditHeaderEdit";
constexpr const char* kPhysicSection = "Dialog\\EditHeaderPhysic";
constexpr int kSplitColumn = 30;

QFont CardFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  return font;
}

QPrinter& SharedPrinter() {
  static QPrinter printer(QPrinter::HighResolution);
  return printer;
}

// Draws a card from the header by its row: the first 30 columns, a light grey rule, the
// rest. The items themselves carry no text.
class CardDelegate : public QStyledItemDelegate {
 public:
  CardDelegate(const CFitsHeader* header, QObject* parent)
      : QStyledItemDelegate(parent), m_pHeader(header) {}

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& pal = option.palette;
    painter->save();
    painter->fillRect(option.rect, selected ? pal.highlight() : pal.base());
    painter->setFont(option.font);
    painter->setPen(selected ? pal.highlightedText().color() : pal.text().color());
    const QString card = QString::fromStdString(m_pHeader->GetAt(index.row()));
    const QFontMetrics fm(option.font);
    const int split =
        option.rect.left() + 2 + fm.horizontalAdvance(QString(kSplitColumn, QLatin1Char('0'))) + 2;
    QRect left = option.rect.adjusted(2, 0, 0, 0);
    left.setRight(split - 1);
    painter->drawText(left, Qt::AlignLeft | Qt::AlignVCenter, card.left(kSplitColumn));
    painter->setPen(QColor(192, 192, 192));
    painter->drawLine(split, option.rect.top(), split, option.rect.bottom());
    painter->setPen(selected ? pal.highlightedText().color() : pal.text().color());
    QRect right = option.rect;
    right.setLeft(split + 3);
    right.setRight(option.rect.right() - 2);
    painter->drawText(right, Qt::AlignLeft | Qt::AlignVCenter, card.mid(kSplitColumn));
    if (option.state & QStyle::State_HasFocus) {
      painter->setPen(QPen(pal.text().color(), 1, Qt::DotLine));
      painter->drawRect(option.rect.adjusted(0, 0, -1, -1));
    }
    painter->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
    const QFontMetrics fm(option.font);
    return QSize(fm.horizontalAdvance(QString(82, QLatin1Char('0'))) + 8, fm.height() + 2);
  }

 private:
  const CFitsHeader* m_pHeader;
};

QPushButton* Button(QWidget* parent, const char* text, const QString& name) {
  auto* b = new QPushButton(Q(text), parent);
  b->setObjectName(name);
  b->setAutoDefault(false);
  return b;
}

QLineEdit* NumberEdit(QWidget* parent, int id) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(Id(id));
  return e;
}

bool ReadNumber(const QLineEdit* edit, double* value) {
  const std::string text = edit->text().trimmed().toStdString();
  std::size_t end = 0;
  return ParseDecimalDouble(text, value, &end) && end == text.size();
}

}  // namespace

// ---- CDlgEditHeaderEdit

CDlgEditHeaderEdit::CDlgEditHeaderEdit(const QString& caption, const std::string& text,
                                       QWidget* parent)
    : QDialog(parent), m_pEdit(new QLineEdit(this)) {
  setObjectName(QStringLiteral("dialog%1").arg(kTemplateId));
  setWindowTitle(caption);
  m_pEdit->setObjectName(Id(IDC_CARD));
  m_pEdit->setFont(CardFont());
  m_pEdit->setMaxLength(kCardColumns);
  // Trailing blanks of a stored card are not shown: the card is padded again on OK.
  QString shown = QString::fromStdString(text);
  while (shown.endsWith(QLatin1Char(' '))) shown.chop(1);
  m_pEdit->setText(shown);
  const QFontMetrics fm(m_pEdit->font());
  m_pEdit->setMinimumWidth(fm.horizontalAdvance(QString(kCardColumns + 2, QLatin1Char('0'))));
  auto* ruler = new QLabel(
      QString::fromLatin1(kRuler1) + QLatin1Char('\n') + QString::fromLatin1(kRuler2), this);
  ruler->setFont(CardFont());
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("IDOK"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("IDCANCEL"));
  buttons->button(QDialogButtonBox::Cancel)->setText(Q("ｷｬﾝｾﾙ"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(ruler);
  layout->addWidget(m_pEdit);
  layout->addWidget(buttons);
  PositionKeeper(this, kEditSection).Restore();
}

std::string CDlgEditHeaderEdit::GetCard() const {
  return PadCard(m_pEdit->text().toStdString());
}

void CDlgEditHeaderEdit::done(int result) {
  PositionKeeper(this, kEditSection).Store();
  QDialog::done(result);
}

// ---- CDlgEditHeaderPrint

CDlgEditHeaderPrint::CDlgEditHeaderPrint(int pointSize, QWidget* parent)
    : QDialog(parent), m_pSize(new QLineEdit(this)), m_nPointSize(pointSize) {
  setObjectName(QStringLiteral("dialog%1").arg(kTemplateId));
  setWindowTitle(Q(header_text::kPrintCaption));
  m_pSize->setObjectName(QStringLiteral("pointSize"));
  m_pSize->setText(QString::number(pointSize));
  auto* row = new QHBoxLayout;
  auto* label = new QLabel(Q("文字のﾎﾟｲﾝﾄｻｲｽﾞ(&S)："), this);
  label->setBuddy(m_pSize);
  row->addWidget(label);
  row->addWidget(m_pSize);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("IDOK"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("IDCANCEL"));
  buttons->button(QDialogButtonBox::Cancel)->setText(Q("ｷｬﾝｾﾙ"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(buttons);
}

void CDlgEditHeaderPrint::accept() {
  int size = 0;
  std::size_t end = 0;
  const std::string text = m_pSize->text().trimmed().toStdString();
  if (!ParseDecimalInt(text, &size, &end) || end != text.size() || size < 1 || size > 99) {
    AfxMessageBox(header_text::kPointSizeRange, MB_OK | MB_ICONEXCLAMATION);
    m_pSize->setFocus();
    return;
  }
  m_nPointSize = size;
  QDialog::accept();
}

int PrintFitsHeader(QPrinter& printer, const CFitsHeader& header, const std::string& title,
                    int pointSize) {
  QFont font = CardFont();
  font.setPointSize(pointSize);
  // Points scale to the printer's resolution through the device the metrics are for.
  const QFontMetrics fm(font, &printer);
  const QRect page = printer.pageLayout().paintRectPixels(printer.resolution());
  if (page.width() < fm.averageCharWidth() * kCardColumns &&
      AfxMessageBox(header_text::kNarrowPage, MB_OKCANCEL | MB_ICONQUESTION) != IDOK)
    return -1;
  QPainter painter;
  if (!painter.begin(&printer)) return 0;
  painter.setFont(font);
  const int lineHeight = std::max(1, fm.lineSpacing());
  const int lines = std::max(1, page.height() / lineHeight);
  const auto pages = PrintPages(header, title, lines);
  for (std::size_t p = 0; p < pages.size(); ++p) {
    if (p > 0 && !printer.newPage()) {
      painter.end();
      return 0;
    }
    int y = fm.ascent();
    for (const std::string& line : pages[p]) {
      painter.drawText(0, y, QString::fromStdString(line));
      y += lineHeight;
    }
  }
  return painter.end() ? 1 : 0;
}

// ---- CDlgEditHeader

CDlgEditHeader::CDlgEditHeader(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(header_text::kCaption));
  SetUndoPreparation(0);
  m_pList = new QListWidget(this);
  m_pList->setObjectName(Id(IDC_LIST));
  m_pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_pList->setFont(CardFont());
  m_pList->setItemDelegate(new CardDelegate(&m_Header, m_pList));
  m_pList->setUniformItemSizes(true);
  const QFontMetrics fm(m_pList->font());
  m_pList->setMinimumSize(fm.horizontalAdvance(QString(86, QLatin1Char('0'))) + 30,
                          fm.height() * 20);
  connect(m_pList, &QListWidget::itemDoubleClicked, this, [this] { OnEdit(); });

  auto* add = Button(this, "追加(&N)...", QStringLiteral("new"));
  auto* edit = Button(this, "編集(&E)...", QStringLiteral("edit"));
  auto* del = Button(this, "削除(&D)", QStringLiteral("delete"));
  auto* up = Button(this, "上へ(&U)", QStringLiteral("up"));
  auto* down = Button(this, "下へ(&W)", QStringLiteral("down"));
  auto* physic = Button(this, "分散軸の設定(&A)...", Id(IDC_PHYSIC));
  auto* print = Button(this, "印刷(&P)...", Id(IDC_PRINT));
  connect(add, &QPushButton::clicked, this, &CDlgEditHeader::OnNew);
  connect(edit, &QPushButton::clicked, this, &CDlgEditHeader::OnEdit);
  connect(del, &QPushButton::clicked, this, &CDlgEditHeader::OnDelete);
  connect(up, &QPushButton::clicked, this, &CDlgEditHeader::OnUp);
  connect(down, &QPushButton::clicked, this, &CDlgEditHeader::OnDown);
  connect(physic, &QPushButton::clicked, this, &CDlgEditHeader::OnPhysic);
  connect(print, &QPushButton::clicked, this, &CDlgEditHeader::OnPrint);

  auto* side = new QVBoxLayout;
  for (QPushButton* b : {add, edit, del, up, down}) side->addWidget(b);
  side->addSpacing(12);
  side->addWidget(physic);
  side->addWidget(print);
  side->addStretch(1);
  auto* top = new QHBoxLayout;
  top->addWidget(m_pList, 1);
  top->addLayout(side);
  auto* note = new QLabel(Q(header_text::kNote), this);
  note->setObjectName(QStringLiteral("note"));
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addWidget(note);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
}

CDlgEditHeader::~CDlgEditHeader() = default;

void CDlgEditHeader::OnInitDialog() {
  CVumDialog::OnInitDialog();
  Refill();
}

void CDlgEditHeader::UpdateRegistry(int write, const char*) {
  CVumDialog::UpdateRegistry(write, kSection);
  UpdateReg(kSection, "PointSize", write, m_nPointSize, CRegistry::TYPE_INT, 10);
}

void CDlgEditHeader::OnOK() {
  // Nothing is processed: the caller takes the header.
  m_bError = 0;
  StoreUndoName();
  EndDialog(QDialog::Accepted);
}

void CDlgEditHeader::Refill() {
  m_pList->clear();
  for (int i = 0; i < m_Header.GetCount(); ++i) m_pList->addItem(QString());
}

std::vector<int> CDlgEditHeader::SelectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& index : m_pList->selectionModel()->selectedIndexes())
    rows.push_back(index.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void CDlgEditHeader::Select(int first, int last) {
  m_pList->clearSelection();
  for (int i = first; i <= last; ++i)
    if (QListWidgetItem* item = m_pList->item(i)) item->setSelected(true);
  if (QListWidgetItem* item = m_pList->item(first)) {
    m_pList->setCurrentItem(item, QItemSelectionModel::NoUpdate);
    m_pList->scrollToItem(item);
  }
}

void CDlgEditHeader::OnNew() {
  CDlgEditHeaderEdit editor(Q(header_text::kAddCaption), std::string(), this);
  if (editor.exec() != QDialog::Accepted) return;
  const std::vector<int> rows = SelectedRows();
  const int at = InsertCard(m_Header, rows.empty() ? -1 : rows.front(), editor.GetCard());
  m_pList->insertItem(at, QString());
  Select(at, at);
}

void CDlgEditHeader::OnEdit() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  const int row = rows.front();
  CDlgEditHeaderEdit editor(Q(header_text::kEditCaption), m_Header.GetAt(row), this);
  if (editor.exec() != QDialog::Accepted) return;
  m_Header.SetAt(row, editor.GetCard());
  Select(row, row);
  m_pList->viewport()->update();
}

void CDlgEditHeader::OnDelete() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  try {
    (void)DeleteCards(m_Header, rows);
  } catch (const std::bad_alloc&) {
    return;
  }
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) delete m_pList->takeItem(*it);
  m_pList->viewport()->update();
}

void CDlgEditHeader::OnUp() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  if (!MoveBlockUp(m_Header, rows.front(), rows.back())) return;
  Select(rows.front() - 1, rows.back() - 1);
  m_pList->viewport()->update();
}

void CDlgEditHeader::OnDown() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty()) return;
  if (!MoveBlockDown(m_Header, rows.front(), rows.back())) return;
  Select(rows.front() + 1, rows.back() + 1);
  m_pList->viewport()->update();
}

void CDlgEditHeader::OnPhysic() {
  if (!m_pTarget) return;
  CDlgEditHeaderPhysic physic(this);
  physic.Set(m_pDocument, m_pTarget, nullptr);
  physic.SetSettings(LoadAxisSettings(*m_pTarget));
  if (physic.DoModal() != QDialog::Accepted || physic.GetErrorFlag() || !physic.IsChanged()) return;
  m_bHeaderEdited = 1;
  // The cards edited so far stay; the axis cards come from the image's new settings.
  m_pTarget->m_FitsHeader = m_Header;
  CFitsHeader composed;
  if (CRalImageIO::FormatSaveHeader(*m_pTarget, &composed) != 1) return;
  m_Header = composed;
  Refill();
}

void CDlgEditHeader::OnPrint() {
  CDlgEditHeaderPrint size(m_nPointSize, this);
  if (size.exec() != QDialog::Accepted) return;
  m_nPointSize = size.GetPointSize();
  UpdateReg(kSection, "PointSize", 1, m_nPointSize, CRegistry::TYPE_INT, 10);
  QPrinter& printer = SharedPrinter();
  if (onChoosePrinter) {
    if (!onChoosePrinter(printer)) return;
  } else {
    QPrintDialog choose(&printer, this);
    if (choose.exec() != QDialog::Accepted) return;
  }
  printer.setDocName(windowTitle());
  const int printed = PrintFitsHeader(printer, m_Header, m_strDocTitle, m_nPointSize);
  if (printed < 0) return;
  const bool ok = printed == 1;
  AfxMessageBox(ok ? header_text::kPrinted : header_text::kPrintFailed,
                MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONEXCLAMATION));
}

// ---- CDlgEditHeaderPhysic

CDlgEditHeaderPhysic::CDlgEditHeaderPhysic(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q(header_text::kPhysicCaption));
  SetUndoPreparation(0);

  auto* axisBox = new QGroupBox(Q("分散軸"), this);
  auto* axisRow = new QHBoxLayout(axisBox);
  m_pAxis = new QButtonGroup(this);
  m_pAxis->setObjectName(Id(IDC_AXIS));
  const char* axes[] = {"なし(&O)", "X軸(&X)", "Y軸(&Y)"};
  for (int i = 0; i < 3; ++i) {
    auto* radio = new QRadioButton(Q(axes[i]), axisBox);
    radio->setObjectName(QStringLiteral("%1_%2").arg(IDC_AXIS).arg(i));
    m_pAxis->addButton(radio, i);
    axisRow->addWidget(radio);
  }
  m_pType = new QComboBox(this);
  m_pType->setObjectName(Id(IDC_TYPE));
  m_pUnit = new QComboBox(this);
  m_pUnit->setObjectName(Id(IDC_UNIT));
  m_pCrpixX = NumberEdit(this, IDC_CRPIX_X);
  m_pCrpixY = NumberEdit(this, IDC_CRPIX_Y);
  m_pCrval = NumberEdit(this, IDC_CRVAL);
  m_pCdelt = NumberEdit(this, IDC_CDELT);
  m_pMatrix = new QCheckBox(Q("線形変換行列(&M)"), this);
  m_pMatrix->setObjectName(Id(IDC_MATRIX));
  const int matrixIds[] = {IDC_M11, IDC_M12, IDC_M21, IDC_M22};
  for (int k = 0; k < 4; ++k) m_pM[k] = NumberEdit(this, matrixIds[k]);

  auto* grid = new QGridLayout;
  int row = 0;
  auto label = [&](const char* text, QWidget* buddy) {
    auto* l = new QLabel(Q(text), this);
    l->setBuddy(buddy);
    grid->addWidget(l, row, 0);
    grid->addWidget(buddy, row++, 1);
  };
  label("種類(&T)：", m_pType);
  label("単位(&U)：", m_pUnit);
  label("基準ﾋﾟｸｾﾙ X(&R)：", m_pCrpixX);
  label("基準ﾋﾟｸｾﾙ Y(&S)：", m_pCrpixY);
  label("基準ﾋﾟｸｾﾙの物理量(&V)：", m_pCrval);
  label("1ﾋﾟｸｾﾙあたりの増分(&D)：", m_pCdelt);
  auto* matrixGrid = new QGridLayout;
  matrixGrid->addWidget(m_pM[0], 0, 0);
  matrixGrid->addWidget(m_pM[1], 0, 1);
  matrixGrid->addWidget(m_pM[2], 1, 0);
  matrixGrid->addWidget(m_pM[3], 1, 1);
  grid->addWidget(m_pMatrix, row++, 0, 1, 2);
  grid->addLayout(matrixGrid, row++, 0, 1, 2);

  connect(m_pAxis, &QButtonGroup::idClicked, this, &CDlgEditHeaderPhysic::OnAxis);
  connect(m_pType, &QComboBox::currentIndexChanged, this, [this] {
    if (!m_bFilling) OnType();
  });
  connect(m_pMatrix, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(axisBox);
  layout->addLayout(grid);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
}

CDlgEditHeaderPhysic::~CDlgEditHeaderPhysic() = default;

void CDlgEditHeaderPhysic::SetSettings(const AxisSettings& s) {
  m_Settings = s;
  m_Opened = s;
}

void CDlgEditHeaderPhysic::UpdateRegistry(int write, const char*) {
  CVumDialog::UpdateRegistry(write, kPhysicSection);
}

void CDlgEditHeaderPhysic::OnInitDialog() {
  CVumDialog::OnInitDialog();
  m_nShown = m_Settings.axis == 2 ? 1 : 0;
  LoadControls();
}

void CDlgEditHeaderPhysic::DoDataExchange(bool save) {
  if (save) (void)StoreControls();
}

void CDlgEditHeaderPhysic::FillType() {
  m_bFilling = true;
  m_pType->clear();
  for (const AxisTypeEntry& t : AxisTypes()) m_pType->addItem(Q(t.display), Q(t.value));
  const std::string& type = m_Settings.type[m_nShown];
  const int index = FindAxisType(type);
  if (index >= 0) {
    m_pType->setCurrentIndex(index);
  } else {
    m_pType->addItem(QString::fromStdString(OtherText(type)), QString::fromStdString(type));
    m_pType->setCurrentIndex(m_pType->count() - 1);
  }
  m_bFilling = false;
}

void CDlgEditHeaderPhysic::FillUnits() {
  m_bFilling = true;
  m_pUnit->clear();
  const int typeIndex = FindAxisType(m_pType->currentData().toString().toStdString());
  for (const AxisTypeEntry& u : AxisUnits(typeIndex)) m_pUnit->addItem(Q(u.display), Q(u.value));
  const std::string& unit = m_Settings.unit[m_nShown];
  if (unit.empty()) {
    m_pUnit->addItem(Q(kUndefinedUnit), QString());
    m_pUnit->setCurrentIndex(m_pUnit->count() - 1);
  } else if (const int index = FindAxisUnit(typeIndex, unit); index >= 0) {
    m_pUnit->setCurrentIndex(index);
  } else {
    m_pUnit->addItem(QString::fromStdString(OtherText(unit)), QString::fromStdString(unit));
    m_pUnit->setCurrentIndex(m_pUnit->count() - 1);
  }
  m_bFilling = false;
}

void CDlgEditHeaderPhysic::OnType() {
  // A new type offers its own units, the first chosen.
  const int typeIndex = FindAxisType(m_pType->currentData().toString().toStdString());
  const auto& units = AxisUnits(typeIndex);
  m_Settings.unit[m_nShown] = units.empty() ? std::string() : units.front().value;
  FillUnits();
}

void CDlgEditHeaderPhysic::LoadControls() {
  if (QAbstractButton* b = m_pAxis->button(m_Settings.axis)) b->setChecked(true);
  FillType();
  FillUnits();
  const int i = m_nShown;
  m_pCrpixX->setText(QString::fromStdString(FormatAxisNumber(m_Settings.crpix[0], true)));
  m_pCrpixY->setText(QString::fromStdString(FormatAxisNumber(m_Settings.crpix[1], true)));
  m_pCrval->setText(QString::fromStdString(FormatAxisNumber(m_Settings.crval[i], false)));
  m_pCdelt->setText(QString::fromStdString(FormatAxisNumber(m_Settings.cdelt[i], false)));
  m_pMatrix->setChecked(m_Settings.matrix);
  const double m[4] = {m_Settings.mtx.m11, m_Settings.mtx.m12, m_Settings.mtx.m21,
                       m_Settings.mtx.m22};
  for (int k = 0; k < 4; ++k)
    m_pM[k]->setText(QString::fromStdString(FormatAxisNumber(m[k], false)));
  UpdateEnabled();
}

bool CDlgEditHeaderPhysic::StoreControls() {
  const int i = m_nShown;
  m_Settings.axis = std::max(0, m_pAxis->checkedId());
  m_Settings.type[i] = m_pType->currentData().toString().toStdString();
  m_Settings.unit[i] = m_pUnit->currentData().toString().toStdString();
  m_Settings.matrix = m_pMatrix->isChecked();
  bool ok = true;
  auto take = [&](QLineEdit* edit, double& field) {
    double v = 0.0;
    if (ReadNumber(edit, &v))
      field = v;
    else
      ok = false;
  };
  take(m_pCrpixX, m_Settings.crpix[0]);
  take(m_pCrpixY, m_Settings.crpix[1]);
  take(m_pCrval, m_Settings.crval[i]);
  take(m_pCdelt, m_Settings.cdelt[i]);
  take(m_pM[0], m_Settings.mtx.m11);
  take(m_pM[1], m_Settings.mtx.m12);
  take(m_pM[2], m_Settings.mtx.m21);
  take(m_pM[3], m_Settings.mtx.m22);
  return ok;
}

void CDlgEditHeaderPhysic::OnAxis(int axis) {
  // The values typed for the axis shown are kept; the chosen axis's values are shown.
  (void)StoreControls();
  m_Settings.axis = axis;
  if (axis == 1 || axis == 2) m_nShown = axis - 1;
  LoadControls();
}

void CDlgEditHeaderPhysic::UpdateEnabled() {
  const bool on = m_pAxis->checkedId() == 1 || m_pAxis->checkedId() == 2;
  for (QWidget* w : std::initializer_list<QWidget*>{m_pType, m_pUnit, m_pCrpixX, m_pCrpixY,
                                                    m_pCrval, m_pCdelt, m_pMatrix})
    w->setEnabled(on);
  for (QLineEdit* e : m_pM) e->setEnabled(on && m_pMatrix->isChecked());
}

int CDlgEditHeaderPhysic::CheckValue() {
  if (!StoreControls()) {
    AfxMessageBox(header_text::kBadNumber, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  const AxisSettings& s = m_Settings;
  if ((s.axis == 1 || s.axis == 2) && s.matrix &&
      s.mtx.m11 * s.mtx.m22 - s.mtx.m12 * s.mtx.m21 == 0.0) {
    AfxMessageBox(kSingularMatrix, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  return 1;
}

int CDlgEditHeaderPhysic::ImageProc(RECT*, int final) {
  if (!final) return 1;
  m_bChanged = !(m_Settings == m_Opened);
  if (!m_bChanged || !m_pTarget) return 1;
  return ApplyAxisSettings(*m_pTarget, m_Settings) == kAxisOk ? 1 : 0;
}

bool RunSpectralAxisSettings(CRalImage& image, QWidget* parent) {
  CDlgEditHeaderPhysic dialog(parent);
  dialog.Set(nullptr, &image, nullptr);
  dialog.SetSettings(LoadAxisSettings(image));
  if (dialog.DoModal() != QDialog::Accepted) return false;
  return ApplyAxisSettings(image, dialog.GetSettings()) == kAxisOk;
}

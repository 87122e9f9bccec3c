// The photometry dialogs. Every setting change reaches the tool at once; the lists are
// rebuilt from the tool after each change, deletion or restore.
#include "measure/qt/dlgaperture.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>

#include "engine/ralimage.h"
#include "measure/aperture.h"
#include "measure/aperturerect.h"
#include "measure/phottable.h"
#include "measure/qt/dlgregions.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

namespace {

QString Q(const char* s) {
  return QString::fromUtf8(s);
}
QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

constexpr const char* kSection = "Dialog\\Aperture";
constexpr const char* kRectSection = "Dialog\\ApertureRect";

QPushButton* Button(QWidget* parent, const char* name, const char* text) {
  auto* b = new QPushButton(Q(text), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAutoDefault(false);
  return b;
}

QSpinBox* Spin(QWidget* parent, const char* name) {
  auto* s = new QSpinBox(parent);
  s->setObjectName(QString::fromLatin1(name));
  s->setRange(0, 1000);
  return s;
}

int ReadInt(const char* section, const char* name, int def) {
  int v = def;
  CRegistry::Read(section, name, def, v, CRegistry::TYPE_INT);
  return v;
}

ScreenArea Screen(const QWidget* w) {
  const QScreen* screen = w->screen() ? w->screen() : QApplication::primaryScreen();
  const QRect r = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  return ScreenArea{RECT{r.left(), r.top(), r.right() + 1, r.bottom() + 1}};
}

void RestorePosition(QWidget* w, const char* section) {
  RECT r{w->x(), w->y(), w->x() + w->width(), w->y() + w->height()};
  if (CRegistry::Read(section, "Window", r, Screen(w))) w->move(r.left, r.top);
}

void SavePosition(const QWidget* w, const char* section) {
  if (w->isMinimized()) return;
  const RECT r{w->x(), w->y(), w->x() + w->width(), w->y() + w->height()};
  CRegistry::Write(section, "Window", r);
}

// The save dialog of the text outputs: "<title>-<suffix>.csv" by default.
QString AskTextPath(QWidget* parent, const CImage* image, const char* suffix) {
  std::string title = image ? image->GetOrgFileName() : std::string();
  title = QFileInfo(Q(title)).fileName().toStdString();
  if (const auto dot = title.find('.'); dot != std::string::npos) title.resize(dot);
  const QString name = Q(PhotFormat("%s-%s", title.c_str(), suffix)) + QStringLiteral(".csv");
  QFileDialog dialog(parent);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix(QStringLiteral("csv"));
  dialog.setNameFilters({Q("CSVﾌｧｲﾙ (*.csv)"), Q("ﾃｷｽﾄﾌｧｲﾙ (*.txt)")});
  dialog.selectFile(name);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().front();
}

QFont ListFont() {
  return QFontDatabase::systemFont(QFontDatabase::FixedFont);
}

}  // namespace

// ---- CDlgApertureMode

CDlgApertureMode::CDlgApertureMode(int mode, QWidget* parent) : QDialog(parent) {
  setWindowTitle(Q(aperture_text::kModeTitle));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Q(aperture_text::kModePrompt), this));
  m_pCircle = new QRadioButton(Q("開口測光(&S)"), this);
  m_pCircle->setObjectName(QStringLiteral("circle"));
  m_pRect = new QRadioButton(Q("矩形測光(&R)"), this);
  m_pRect->setObjectName(QStringLiteral("rect"));
  (mode ? m_pCircle : m_pRect)->setChecked(true);
  layout->addWidget(m_pCircle);
  layout->addWidget(m_pRect);
  auto* row = new QHBoxLayout;
  auto* ok = Button(this, "IDOK", "OK");
  ok->setDefault(true);
  auto* cancel = Button(this, "IDCANCEL", "ｷｬﾝｾﾙ");
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  row->addStretch(1);
  row->addWidget(ok);
  row->addWidget(cancel);
  layout->addLayout(row);
}

int CDlgApertureMode::GetMode() const {
  return m_pCircle->isChecked() ? 1 : 0;
}

int CDlgApertureMode::Ask(QWidget* parent, int* mode) {
  CDlgApertureMode dialog(*mode, parent);
  if (dialog.exec() != QDialog::Accepted) return 0;
  *mode = dialog.GetMode();
  return 1;
}

// ---- CDlgAperture

CDlgAperture::CDlgAperture(CAperture* aperture, ApertureDlgHooks hooks, QWidget* parent)
    : QDialog(parent), m_pAperture(aperture), m_Hooks(std::move(hooks)) {
  setWindowTitle(Q(aperture_text::kApertureTitle));
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  m_pList = new QListWidget(this);
  m_pList->setObjectName(QStringLiteral("list"));
  m_pList->setFont(ListFont());
  m_pList->setMinimumWidth(560);
  layout->addWidget(m_pList, 1);

  m_pSettings = new QWidget(this);
  auto* grid = new QGridLayout(m_pSettings);
  grid->setContentsMargins(0, 0, 0, 0);
  m_pSemi = new QRadioButton(Q("半自動"), m_pSettings);
  m_pSemi->setObjectName(QStringLiteral("semi"));
  m_pAuto = new QRadioButton(Q("自動"), m_pSettings);
  m_pAuto->setObjectName(QStringLiteral("auto"));
  m_pSearchG = new QCheckBox(Q("重心を探す"), m_pSettings);
  m_pSearchG->setObjectName(QStringLiteral("searchG"));
  m_pStarR = Spin(m_pSettings, "starR");
  m_pSkyIR = Spin(m_pSettings, "skyIR");
  m_pSkyDR = Spin(m_pSettings, "skyDR");
  m_pSearchR = Spin(m_pSettings, "searchR");
  grid->addWidget(m_pSemi, 0, 0);
  grid->addWidget(m_pAuto, 0, 1);
  grid->addWidget(m_pSearchG, 0, 2);
  const char* labels[] = {"恒星径", "SKY内径", "SKY幅", "重心検索"};
  QSpinBox* spins[] = {m_pStarR, m_pSkyIR, m_pSkyDR, m_pSearchR};
  for (int i = 0; i < 4; ++i) {
    grid->addWidget(new QLabel(Q(labels[i]), m_pSettings), 1, i);
    grid->addWidget(spins[i], 2, i);
  }
  grid->addWidget(new QLabel(Q("(pixel)"), m_pSettings), 2, 4);
  layout->addWidget(m_pSettings);

  auto* buttons = new QGridLayout;
  m_pDefault = Button(this, "default", "ﾃﾞﾌｫﾙﾄ(&E)");
  m_pHide = Button(this, "hide", "非表示(&I)");
  m_pShowAll = Button(this, "showAll", "全表示(&B)");
  m_pText = Button(this, "text", "ﾃｷｽﾄ出力(&T)....");
  m_pDeleteOne = Button(this, "deleteOne", "1件削除(&D)");
  m_pDeleteAll = Button(this, "deleteAll", "全件削除(&A)");
  m_pStyle = Button(this, "style", "<<");
  auto* close = Button(this, "close", "閉じる(&C)");
  auto* help = Button(this, "help", "ﾍﾙﾌﾟ(&H)");
  QPushButton* all[] = {m_pDefault,   m_pHide,  m_pShowAll, m_pText, m_pDeleteOne,
                        m_pDeleteAll, m_pStyle, close,      help};
  for (int i = 0; i < 9; ++i) buttons->addWidget(all[i], i / 5, i % 5);
  m_pRegSave = Button(this, "regionsSave", regions_text::kSave);
  m_pRegLoad = Button(this, "regionsLoad", regions_text::kLoad);
  buttons->addWidget(m_pRegSave, 2, 0);
  buttons->addWidget(m_pRegLoad, 2, 1);
  connect(m_pRegSave, &QPushButton::clicked, this, [this] { SaveRegions(); });
  connect(m_pRegLoad, &QPushButton::clicked, this, [this] { LoadRegions(); });
  layout->addLayout(buttons);

  // Settings as last left.
  m_bLoading = true;
  const int method = ReadInt(kSection, "Method", 1);
  (method ? m_pAuto : m_pSemi)->setChecked(true);
  m_pSearchG->setChecked(ReadInt(kSection, "SearchG", 0) != 0);
  m_pStarR->setValue(ReadInt(kSection, "StarR", 5));
  m_pSkyIR->setValue(ReadInt(kSection, "SkyIR", 10));
  m_pSkyDR->setValue(ReadInt(kSection, "SkyDR", 2));
  m_pSearchR->setValue(ReadInt(kSection, "SearchG_Rad", 3));
  m_bLoading = false;
  SetFolded(ReadInt(kSection, "Style", 1) == 0);
  RestorePosition(this, kSection);
  ApplyParams();

  for (QSpinBox* s : spins) connect(s, &QSpinBox::valueChanged, this, [this] { ApplyParams(); });
  connect(m_pSemi, &QRadioButton::toggled, this, [this] { ApplyParams(); });
  connect(m_pSearchG, &QCheckBox::toggled, this, [this] { ApplyParams(); });
  connect(m_pDefault, &QPushButton::clicked, this, [this] {
    int s, i, d, r;
    m_pAperture->GetDefaults(&s, &i, &d, &r);
    m_bLoading = true;
    m_pSkyIR->setMaximum(1000);
    m_pStarR->setMaximum(1000);
    m_pSkyIR->setValue(i);
    m_pStarR->setValue(s);
    m_pSkyDR->setValue(d);
    m_pSearchR->setValue(r);
    m_bLoading = false;
    ApplyParams();
  });
  connect(m_pHide, &QPushButton::clicked, this, [this] {
    m_pAperture->HideMarks();
    UpdateEnabling();
    if (m_Hooks.redraw) m_Hooks.redraw();
  });
  connect(m_pShowAll, &QPushButton::clicked, this, [this] {
    m_pAperture->ShowAllMarks();
    UpdateEnabling();
    if (m_Hooks.marksShown) m_Hooks.marksShown();
    if (m_Hooks.redraw) m_Hooks.redraw();
  });
  connect(m_pText, &QPushButton::clicked, this, [this] { WriteText(); });
  connect(m_pDeleteOne, &QPushButton::clicked, this, [this] { Delete(false); });
  connect(m_pDeleteAll, &QPushButton::clicked, this, [this] { Delete(true); });
  connect(m_pStyle, &QPushButton::clicked, this, [this] { SetFolded(!m_bFolded); });
  connect(close, &QPushButton::clicked, this, &QDialog::hide);
  UpdateList();
}

CDlgAperture::~CDlgAperture() {
  CRegistry::Write(kSection, "StarR", m_pStarR->value(), CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "SkyIR", m_pSkyIR->value(), CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "SkyDR", m_pSkyDR->value(), CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "SearchG", m_pSearchG->isChecked() ? 1 : 0, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Method", m_pAuto->isChecked() ? 1 : 0, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "SearchG_Rad", m_pSearchR->value(), CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Style", m_bFolded ? 0 : 1, CRegistry::TYPE_INT);
  SavePosition(this, kSection);
}

void CDlgAperture::ApplyParams() {
  if (m_bLoading) return;
  // The spin limits follow each other: the star inside the sky.
  m_bLoading = true;
  m_pStarR->setRange(1, std::max(1, m_pSkyIR->value() - 1));
  m_pSkyIR->setRange(m_pStarR->value() + 1, 1000);
  m_pSkyDR->setRange(0, 1000);
  m_pSearchR->setRange(1, 1000);
  m_bLoading = false;
  int shape = 0;
  m_pAperture->GetParams(&shape, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  m_pAperture->SetParams(shape, m_pAuto->isChecked() ? 1 : 0, m_pStarR->value(), m_pSkyIR->value(),
                         m_pSkyDR->value(), m_pSearchG->isChecked() ? 1 : 0, m_pSearchR->value());
  UpdateEnabling();
}

void CDlgAperture::UpdateEnabling() {
  const bool rows = m_pList->count() > 0;
  const bool semi = m_pSemi->isChecked();
  m_pDeleteOne->setEnabled(rows);
  m_pDeleteAll->setEnabled(rows);
  m_pText->setEnabled(rows);
  m_pRegSave->setEnabled(rows);
  m_pRegLoad->setEnabled(m_pAperture->GetImage() != nullptr);
  m_pStarR->setEnabled(semi);
  m_pSkyIR->setEnabled(semi);
  m_pSkyDR->setEnabled(semi);
  m_pSearchG->setEnabled(semi);
  m_pSearchR->setEnabled(!semi || m_pSearchG->isChecked());
  int s, i, d, r;
  m_pAperture->GetDefaults(&s, &i, &d, &r);
  m_pDefault->setEnabled(
      semi ? (m_pStarR->value() != s || m_pSkyIR->value() != i || m_pSkyDR->value() != d)
           : m_pSearchR->value() != r);
  const bool shown = m_pAperture->AreMarksVisible() && m_pAperture->GetFirstVisible() == 0;
  m_pHide->setEnabled(m_pAperture->AreMarksVisible());
  m_pShowAll->setEnabled(!shown);
}

void CDlgAperture::SetFolded(bool folded) {
  m_bFolded = folded;
  m_pSettings->setVisible(!folded);
  m_pStyle->setText(folded ? QStringLiteral(">>") : QStringLiteral("<<"));
  adjustSize();
}

void CDlgAperture::UpdateList() {
  m_pAperture->UpdateItems();
  const int current = m_pList->currentRow();
  m_pList->clear();
  for (int row = 0; row < m_pAperture->GetItemCount(); ++row)
    m_pList->addItem(Q(m_pAperture->FormatListLine(row)));
  if (current >= 0 && current < m_pList->count()) m_pList->setCurrentRow(current);
  UpdateEnabling();
}

void CDlgAperture::Delete(bool all) {
  const int row = m_pList->currentRow();
  if (!all && row < 0) return;
  if (AfxMessageBox(kPhotDeleteQuestion, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
  if (all) {
    for (int r = m_pAperture->GetLiveCount() - 1; r >= 0; --r) m_pAperture->DeleteMeasurement(r);
  } else {
    m_pAperture->DeleteMeasurement(row);
  }
  if (m_Hooks.modified) m_Hooks.modified();
  if (m_Hooks.redraw) m_Hooks.redraw();
  UpdateList();
}

void CDlgAperture::SaveRegions() {
  if (!m_pAperture->GetImage()) return;
  std::vector<RegionShape> shapes;
  AddApertureRegions(*m_pAperture, *m_pAperture->GetImage(), &shapes);
  SaveRegionsAsked(this, *m_pAperture->GetImage(), shapes, "Aperture");
}

void CDlgAperture::LoadRegions() {
  CRalImage* image = m_pAperture->GetImage();
  RegionImport regions;
  if (!image || !LoadRegionsAsked(this, *image, &regions)) return;
  // Circles become measurements; points belong to the positioning tool.
  const int added = ImportApertures(regions, m_pAperture, image);
  if (added && m_Hooks.modified) m_Hooks.modified();
  UpdateList();
  if (m_Hooks.redraw) m_Hooks.redraw();
  ReportRegionsSkipped(added, regions.skipped + static_cast<int>(regions.points.size()));
}

void CDlgAperture::WriteText() {
  const QString path = AskTextPath(this, m_pAperture->GetImage(), "Aperture");
  if (!path.isEmpty()) m_pAperture->WriteText(path.toStdString());
}

// ---- CDlgApertureRect

CDlgApertureRect::CDlgApertureRect(CApertureRect* rect, ApertureDlgHooks hooks, QWidget* parent)
    : QDialog(parent), m_pRect(rect), m_Hooks(std::move(hooks)) {
  setWindowTitle(Q(aperture_text::kRectTitle));
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  m_pList = new QListWidget(this);
  m_pList->setObjectName(QStringLiteral("list"));
  m_pList->setFont(ListFont());
  m_pList->setMinimumWidth(560);
  layout->addWidget(m_pList, 1);
  auto* buttons = new QGridLayout;
  m_pHide = Button(this, "hide", "非表示(&I)");
  m_pShowAll = Button(this, "showAll", "全表示(&S)");
  m_pText = Button(this, "text", "ﾃｷｽﾄ出力(&Ｔ)...");
  m_pCopy = Button(this, "copy", "ｺﾋﾟｰ(&O)");
  m_pDeleteOne = Button(this, "deleteOne", "1件削除(&D)");
  m_pDeleteAll = Button(this, "deleteAll", "全件削除(&A)");
  m_pStyle = Button(this, "style", "<<");
  auto* close = Button(this, "close", "閉じる(&C)");
  auto* help = Button(this, "help", "ﾍﾙﾌﾟ(&H)");
  QPushButton* all[] = {m_pHide,      m_pShowAll, m_pText, m_pCopy, m_pDeleteOne,
                        m_pDeleteAll, m_pStyle,   close,   help};
  for (int i = 0; i < 9; ++i) buttons->addWidget(all[i], i / 5, i % 5);
  m_pRegSave = Button(this, "regionsSave", regions_text::kSave);
  buttons->addWidget(m_pRegSave, 1, 4);
  connect(m_pRegSave, &QPushButton::clicked, this, [this] {
    if (!m_pRect->GetImage()) return;
    std::vector<RegionShape> shapes;
    AddRectRegions(*m_pRect, *m_pRect->GetImage(), &shapes);
    SaveRegionsAsked(this, *m_pRect->GetImage(), shapes, "ApertureRect");
  });
  layout->addLayout(buttons);
  m_bFolded = ReadInt(kRectSection, "Style", 1) == 0;
  m_pList->setVisible(!m_bFolded);
  RestorePosition(this, kRectSection);
  connect(m_pHide, &QPushButton::clicked, this, [this] {
    m_pRect->HideMarks();
    UpdateEnabling();
    if (m_Hooks.redraw) m_Hooks.redraw();
  });
  connect(m_pShowAll, &QPushButton::clicked, this, [this] {
    m_pRect->ShowAllMarks();
    UpdateEnabling();
    if (m_Hooks.marksShown) m_Hooks.marksShown();
    if (m_Hooks.redraw) m_Hooks.redraw();
  });
  connect(m_pText, &QPushButton::clicked, this, [this] {
    const QString path = AskTextPath(this, m_pRect->GetImage(), "ApertureRect");
    if (!path.isEmpty()) m_pRect->WriteText(path.toStdString());
  });
  connect(m_pCopy, &QPushButton::clicked, this, &CDlgApertureRect::Copy);
  connect(m_pDeleteOne, &QPushButton::clicked, this, [this] { Delete(false); });
  connect(m_pDeleteAll, &QPushButton::clicked, this, [this] { Delete(true); });
  connect(m_pStyle, &QPushButton::clicked, this, [this] {
    m_bFolded = !m_bFolded;
    m_pList->setVisible(!m_bFolded);
    adjustSize();
  });
  connect(close, &QPushButton::clicked, this, &QDialog::hide);
  UpdateList();
}

CDlgApertureRect::~CDlgApertureRect() {
  CRegistry::Write(kRectSection, "Style", m_bFolded ? 0 : 1, CRegistry::TYPE_INT);
  SavePosition(this, kRectSection);
}

void CDlgApertureRect::UpdateList() {
  const int current = m_pList->currentRow();
  m_pList->clear();
  for (int row = 0; row < m_pRect->GetLiveCount(); ++row)
    m_pList->addItem(Q(m_pRect->FormatListLine(row)));
  if (current >= 0 && current < m_pList->count()) m_pList->setCurrentRow(current);
  UpdateEnabling();
}

void CDlgApertureRect::UpdateEnabling() {
  const bool rows = m_pList->count() > 0;
  m_pText->setEnabled(rows);
  m_pCopy->setEnabled(rows);
  m_pRegSave->setEnabled(rows);
  m_pDeleteOne->setEnabled(rows);
  m_pDeleteAll->setEnabled(rows);
  m_pHide->setEnabled(m_pRect->AreMarksVisible());
  m_pShowAll->setEnabled(!m_pRect->AreMarksVisible());
}

void CDlgApertureRect::Copy() {
  const std::string text = m_pRect->FormatClipboard();
  if (!text.empty()) QApplication::clipboard()->setText(Q(text));
}

void CDlgApertureRect::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    Copy();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CDlgApertureRect::Delete(bool all) {
  const int row = m_pList->currentRow();
  if (!all && row < 0) return;
  if (AfxMessageBox(kPhotDeleteQuestion, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
  if (all) {
    while (m_pRect->GetLiveCount() > 0) m_pRect->DeleteRow(0);
  } else {
    m_pRect->DeleteRow(row);
  }
  if (m_Hooks.modified) m_Hooks.modified();
  if (m_Hooks.redraw) m_Hooks.redraw();
  UpdateList();
}

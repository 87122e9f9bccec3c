// The positioning dialog. Method, area mode and radius reach the tool at once, the
// factor when its edit changes; the list is rebuilt from the tool after each change.
#include "measure/qt/dlgpositioning.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>

#include "engine/ralimage.h"
#include "measure/phottable.h"
#include "measure/positioning.h"
#include "measure/qt/dlgregions.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

namespace {

constexpr const char* kSection = "Dialog\\Positioning";

QString Q(const char* s) {
  return QString::fromUtf8(s);
}

QPushButton* Button(QWidget* parent, const char* name, const char* text) {
  auto* b = new QPushButton(Q(text), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAutoDefault(false);
  return b;
}

QRadioButton* Radio(QWidget* parent, const char* name, const char* text) {
  auto* r = new QRadioButton(Q(text), parent);
  r->setObjectName(QString::fromLatin1(name));
  return r;
}

ScreenArea Screen(const QWidget* w) {
  const QScreen* screen = w->screen() ? w->screen() : QApplication::primaryScreen();
  const QRect r = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  return ScreenArea{RECT{r.left(), r.top(), r.right() + 1, r.bottom() + 1}};
}

}  // namespace

CDlgPositioning::CDlgPositioning(CPositioning* positioning, PositioningDlgHooks hooks,
                                 QWidget* parent)
    : QDialog(parent), m_pPos(positioning), m_Hooks(std::move(hooks)) {
  setWindowTitle(Q(positioning_text::kTitle));
  setModal(false);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(Q("番号   中心座標             方法      範囲"), this));
  m_pList = new QListWidget(this);
  m_pList->setObjectName(QStringLiteral("list"));
  m_pList->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  m_pList->setMinimumWidth(560);
  layout->addWidget(m_pList, 1);

  // The settings part, which the style button folds away.
  m_pSettings = new QWidget(this);
  m_pSettings->setObjectName(QStringLiteral("settings"));
  auto* grid = new QGridLayout(m_pSettings);
  grid->setContentsMargins(0, 0, 0, 0);
  m_pCentroid = Radio(this, "centroid", "重心");
  m_pSearch = Radio(this, "search", "検出");
  auto* methods = new QButtonGroup(this);
  methods->addButton(m_pCentroid);
  methods->addButton(m_pSearch);
  m_pAuto = Radio(this, "auto", "自動");
  m_pSemi = Radio(this, "semi", "半自動");
  auto* areas = new QButtonGroup(this);
  areas->addButton(m_pAuto);
  areas->addButton(m_pSemi);
  m_pRadius = new QSpinBox(this);
  m_pRadius->setObjectName(QStringLiteral("radius"));
  // Five digits may be typed; a radius above 9999 becomes 9999 (in Apply).
  m_pRadius->setRange(1, 99999);
  m_pRadius->setSuffix(Q(" ﾋﾟｸｾﾙ"));
  m_pFactor = new QDoubleSpinBox(this);
  m_pFactor->setObjectName(QStringLiteral("factor"));
  m_pFactor->setRange(CPositioning::kMinFactor, CPositioning::kMaxFactor);
  m_pFactor->setSingleStep(0.1);
  m_pFactor->setDecimals(1);
  m_pFactor->setSuffix(Q(" ｘσ"));
  grid->addWidget(m_pCentroid, 0, 0);
  grid->addWidget(m_pAuto, 0, 1);
  grid->addWidget(m_pSemi, 0, 2);
  grid->addWidget(new QLabel(Q("半径："), this), 0, 3);
  grid->addWidget(m_pRadius, 0, 4);
  grid->addWidget(m_pSearch, 1, 0);
  grid->addWidget(new QLabel(Q("最小値："), this), 1, 3);
  grid->addWidget(m_pFactor, 1, 4);
  layout->addWidget(m_pSettings);

  auto* row = new QHBoxLayout;
  m_pHide = Button(this, "hide", "非表示(&I)");
  m_pShow = Button(this, "show", "表示(&S)");
  m_pDeleteOne = Button(this, "deleteOne", "1件削除(&D)");
  m_pDeleteAll = Button(this, "deleteAll", "全件削除(&A)");
  m_pText = Button(this, "text", "ﾃｷｽﾄ出力(&Ｔ)...");
  m_pStyle = Button(this, "style", "<<");
  m_pClose = Button(this, "close", "閉じる(&C)");
  for (QPushButton* b : {m_pHide, m_pShow, m_pDeleteOne, m_pDeleteAll, m_pText, m_pStyle, m_pClose})
    row->addWidget(b);
  layout->addLayout(row);
  auto* regionRow = new QHBoxLayout;
  m_pRegSave = Button(this, "regionsSave", regions_text::kSave);
  m_pRegLoad = Button(this, "regionsLoad", regions_text::kLoad);
  regionRow->addWidget(m_pRegSave);
  regionRow->addWidget(m_pRegLoad);
  regionRow->addStretch(1);
  layout->addLayout(regionRow);
  connect(m_pRegSave, &QPushButton::clicked, this, [this] {
    if (!m_pPos->GetImage()) return;
    std::vector<RegionShape> shapes;
    AddPositionRegions(*m_pPos, *m_pPos->GetImage(), &shapes);
    SaveRegionsAsked(this, *m_pPos->GetImage(), shapes, "Positioning");
  });
  connect(m_pRegLoad, &QPushButton::clicked, this, [this] { LoadRegions(); });

  // Settings of the last session.
  int method = 0, gravAuto = 0, radius = 30;
  double factor = 0.5;
  CRegistry::Read(kSection, "Method", 0, method, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Factor", 0.5, factor);
  CRegistry::Read(kSection, "GravAuto", 0, gravAuto, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "GravRadius", 30, radius, CRegistry::TYPE_INT);
  CRegistry::Read(kSection, "Style", 1, m_nStyle, CRegistry::TYPE_INT);
  m_bLoading = true;
  (method == CPositioning::SEARCH ? m_pSearch : m_pCentroid)->setChecked(true);
  (gravAuto == CPositioning::SEMI ? m_pSemi : m_pAuto)->setChecked(true);
  m_pRadius->setValue(radius);
  m_pFactor->setValue(factor);
  m_bLoading = false;
  SetFolded(m_nStyle == 0);
  Apply();
  RECT r{x(), y(), x() + width(), y() + height()};
  if (CRegistry::Read(kSection, "Window", r, Screen(this))) move(r.left, r.top);

  for (QRadioButton* b : {m_pCentroid, m_pSearch, m_pAuto, m_pSemi})
    connect(b, &QRadioButton::toggled, this, [this](bool on) {
      if (on) Apply();
    });
  connect(m_pRadius, &QSpinBox::valueChanged, this, [this] { Apply(); });
  connect(m_pFactor, &QDoubleSpinBox::valueChanged, this, [this] { Apply(); });
  connect(m_pList, &QListWidget::currentRowChanged, this, [this](int row) {
    // List rows are the live rows in order.
    int live = -1;
    for (int i = 0; i < m_pPos->GetItemCount(); ++i)
      if (!m_pPos->GetItem(i).m_bDeleted && ++live == row) {
        m_pPos->SelectRow(i);
        break;
      }
    UpdateEnabling();
    if (m_Hooks.redraw) m_Hooks.redraw();
  });
  connect(m_pHide, &QPushButton::clicked, this, [this] {
    m_pPos->HideMarks();
    if (m_Hooks.redraw) m_Hooks.redraw();
  });
  connect(m_pShow, &QPushButton::clicked, this, [this] {
    m_pPos->ShowMarks();
    if (m_Hooks.marksShown) m_Hooks.marksShown();
    if (m_Hooks.redraw) m_Hooks.redraw();
  });
  connect(m_pDeleteOne, &QPushButton::clicked, this, [this] { Delete(false); });
  connect(m_pDeleteAll, &QPushButton::clicked, this, [this] { Delete(true); });
  connect(m_pText, &QPushButton::clicked, this, [this] { WriteText(); });
  connect(m_pStyle, &QPushButton::clicked, this, [this] {
    SetFolded(m_nStyle != 0);
    CRegistry::Write(kSection, "Style", m_nStyle, CRegistry::TYPE_INT);
  });
  connect(m_pClose, &QPushButton::clicked, this, &QDialog::hide);
  UpdateList();
}

CDlgPositioning::~CDlgPositioning() {
  CRegistry::Write(kSection, "Style", m_nStyle, CRegistry::TYPE_INT);
  if (isMinimized()) return;
  const RECT r{x(), y(), x() + width(), y() + height()};
  CRegistry::Write(kSection, "Window", r);
}

void CDlgPositioning::SetFolded(bool folded) {
  m_nStyle = folded ? 0 : 1;
  m_pSettings->setVisible(!folded);
  m_pStyle->setText(folded ? QStringLiteral(">>") : QStringLiteral("<<"));
  adjustSize();
}

void CDlgPositioning::Apply() {
  if (m_bLoading) return;
  const int method = m_pSearch->isChecked() ? CPositioning::SEARCH : CPositioning::CENTROID;
  const int area = m_pSemi->isChecked() ? CPositioning::SEMI : CPositioning::AUTO;
  m_pPos->SetMethod(method);
  m_pPos->SetAreaMode(area);
  if (m_pRadius->value() > 9999) {
    const QSignalBlocker block(m_pRadius);
    m_pRadius->setValue(9999);
  }
  m_pPos->SetRadius(m_pRadius->value());
  m_pPos->SetFactor(m_pFactor->value());
  CRegistry::Write(kSection, "Method", method, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Factor", m_pPos->GetFactor());
  CRegistry::Write(kSection, "GravAuto", area, CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "GravRadius", m_pPos->GetRadius(), CRegistry::TYPE_INT);
  CRegistry::Write(kSection, "Style", m_nStyle, CRegistry::TYPE_INT);
  UpdateEnabling();
}

void CDlgPositioning::UpdateEnabling() {
  const bool search = m_pSearch->isChecked();
  m_pFactor->setEnabled(search);
  m_pAuto->setEnabled(!search);
  m_pSemi->setEnabled(!search);
  m_pRadius->setEnabled(!search && m_pSemi->isChecked());
  const bool rows = m_pPos->GetLiveCount() > 0;
  m_pDeleteOne->setEnabled(rows && m_pList->currentRow() >= 0);
  m_pDeleteAll->setEnabled(rows);
  m_pText->setEnabled(rows);
  m_pRegSave->setEnabled(rows);
  m_pRegLoad->setEnabled(m_pPos->GetImage() != nullptr);
}

void CDlgPositioning::LoadRegions() {
  CRalImage* image = m_pPos->GetImage();
  RegionImport regions;
  if (!image || !LoadRegionsAsked(this, *image, &regions)) return;
  // Points become positions; circles belong to the photometry tool.
  const int added = ImportPositions(regions, m_pPos, image);
  if (added && m_Hooks.modified) m_Hooks.modified();
  UpdateList();
  if (m_Hooks.redraw) m_Hooks.redraw();
  ReportRegionsSkipped(added, regions.skipped + static_cast<int>(regions.circles.size()));
}

void CDlgPositioning::UpdateList() {
  const QSignalBlocker block(m_pList);
  m_pList->clear();
  int number = 0, current = -1;
  for (int i = 0; i < m_pPos->GetItemCount(); ++i) {
    if (m_pPos->GetItem(i).m_bDeleted) continue;
    if (i == m_pPos->GetCurrentRow()) current = number;
    m_pList->addItem(QString::fromStdString(m_pPos->FormatListLine(i, ++number)));
  }
  m_pList->setCurrentRow(current);
  UpdateEnabling();
}

void CDlgPositioning::Delete(bool all) {
  if (AfxMessageBox(kPhotDeleteQuestion, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
  if (all) {
    while (m_pPos->GetItemCount() > 0) m_pPos->DeleteRow(0);
  } else {
    const int row = m_pPos->GetCurrentRow();
    if (row < 0) return;
    m_pPos->DeleteRow(row);
  }
  if (m_Hooks.modified) m_Hooks.modified();
  UpdateList();
  if (m_Hooks.redraw) m_Hooks.redraw();
}

void CDlgPositioning::WriteText() {
  const CImage* image = m_pPos->GetImage();
  std::string title = image ? image->GetOrgFileName() : std::string();
  title = QFileInfo(QString::fromStdString(title)).completeBaseName().toStdString();
  const QString path = QFileDialog::getSaveFileName(
      this, QString(), QString::fromStdString(title + "-Positioning.csv"),
      Q("CSVﾌｧｲﾙ (*.csv);;ﾃｷｽﾄﾌｧｲﾙ (*.txt)"));
  if (path.isEmpty()) return;
  m_pPos->WriteText(path.toStdString());
}

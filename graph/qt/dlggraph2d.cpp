#include "graph/qt/dlggraph2d.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "controls/spinedit.h"
#include "dialogs/dlgsupport.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "fits/fileiocodes.h"
#include "formats/fio/fileiomsg.h"
#include "graph/drawline.h"
#include "graph/qt/ctrlgraph2d.h"
#include "measure/qt/dlgregions.h"
#include "platform/messagebox.h"
#include "settings/registry.h"

using dlg::Q;

namespace {

constexpr double kMagMin = 0.1, kMagMax = 20.0;
const char* const kChannelKey[4] = {"L", "R", "G", "B"};

QString Num(double v) {
  return QString::number(v, 'g', 10);
}

double Parse(const QLineEdit* e, double fallback) {
  bool ok = false;
  const double v = e->text().trimmed().toDouble(&ok);
  return ok ? v : fallback;
}

}  // namespace

// ---------------------------------------------------------------- scale dialog

CDlgGraph2dSet::CDlgGraph2dSet(const CGraphScale& scale, bool colour, QWidget* parent)
    : CVumDialog(kTemplateId, parent), m_Scale(scale), m_bColour(colour) {
  setWindowTitle(Q("ｽｹｰﾙ設定"));
  auto* layout = new QVBoxLayout(this);
  auto* hrz = new QGroupBox(Q("横軸"), this);
  auto* hl = new QGridLayout(hrz);
  m_pHrz[0] = new QRadioButton(Q("自動(&A)"), hrz);
  m_pHrz[1] = new QRadioButton(Q("固定(&F)"), hrz);
  m_pMinX = new QLineEdit(hrz);
  m_pMaxX = new QLineEdit(hrz);
  m_pHrz[0]->setObjectName("G2S_RD_HAUTO");
  m_pHrz[1]->setObjectName("G2S_RD_HFIX");
  m_pMinX->setObjectName("G2S_EDT_MIN_X");
  m_pMaxX->setObjectName("G2S_EDT_MAX_X");
  hl->addWidget(m_pHrz[0], 0, 0);
  hl->addWidget(m_pHrz[1], 0, 1);
  hl->addWidget(new QLabel(Q("距離"), hrz), 1, 0);
  hl->addWidget(m_pMinX, 1, 1);
  hl->addWidget(m_pMaxX, 1, 2);
  layout->addWidget(hrz);

  auto* vrt = new QGroupBox(Q("縦軸"), this);
  auto* vl = new QGridLayout(vrt);
  const char* modes[3] = {"自動(&U)", "ﾚﾍﾞﾙ調整の範囲(&R)", "固定(&I)"};
  for (int i = 0; i < 3; ++i) {
    m_pVrt[i] = new QRadioButton(Q(modes[i]), vrt);
    m_pVrt[i]->setObjectName(QStringLiteral("G2S_RD_V%1").arg(i));
    vl->addWidget(m_pVrt[i], 0, i);
  }
  const char* names[4] = {"輝度", "R", "G", "B"};
  for (int c = 0; c < 4; ++c) {
    m_pMin[c] = new QLineEdit(vrt);
    m_pMax[c] = new QLineEdit(vrt);
    m_pMin[c]->setObjectName(QStringLiteral("G2S_EDT_MIN_%1").arg(kChannelKey[c]));
    m_pMax[c]->setObjectName(QStringLiteral("G2S_EDT_MAX_%1").arg(kChannelKey[c]));
    auto* label = new QLabel(Q(names[c]), vrt);
    vl->addWidget(label, c + 1, 0);
    vl->addWidget(m_pMin[c], c + 1, 1);
    vl->addWidget(m_pMax[c], c + 1, 2);
    const bool shown = c == 0 || colour;
    label->setVisible(shown);
    m_pMin[c]->setVisible(shown);
    m_pMax[c]->setVisible(shown);
  }
  layout->addWidget(vrt);
  m_pLog = new QCheckBox(Q("対数(&L)"), this);
  m_pLog->setObjectName("G2S_CHK_LOG");
  layout->addWidget(m_pLog);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
}

const char* CDlgGraph2dSet::CheckRanges(const CGraphScale& s, bool colour) {
  if (s.hrzScale == 1 && !(s.maxX > s.minX)) return graph_text::kRangeOrder;
  if (s.vrtScale != 2) return nullptr;
  for (int c = 0; c < (colour ? 4 : 1); ++c) {
    if (!(s.max[c] > s.min[c])) return graph_text::kRangeOrder;
    if (s.log && !(s.min[c] > 0.0)) return graph_text::kRangeLogMin;
  }
  return nullptr;
}

void CDlgGraph2dSet::DoDataExchange(bool save) {
  if (save) {
    for (int i = 0; i < 3; ++i)
      if (m_pVrt[i]->isChecked()) m_Scale.vrtScale = i;
    m_Scale.hrzScale = m_pHrz[1]->isChecked() ? 1 : 0;
    for (int c = 0; c < 4; ++c) {
      m_Scale.min[c] = Parse(m_pMin[c], m_Scale.min[c]);
      m_Scale.max[c] = Parse(m_pMax[c], m_Scale.max[c]);
    }
    m_Scale.minX = Parse(m_pMinX, m_Scale.minX);
    m_Scale.maxX = Parse(m_pMaxX, m_Scale.maxX);
    m_Scale.log = m_pLog->isChecked() ? 1 : 0;
  } else {
    m_pVrt[std::clamp(m_Scale.vrtScale, 0, 2)]->setChecked(true);
    m_pHrz[m_Scale.hrzScale ? 1 : 0]->setChecked(true);
    for (int c = 0; c < 4; ++c) {
      m_pMin[c]->setText(Num(m_Scale.min[c]));
      m_pMax[c]->setText(Num(m_Scale.max[c]));
    }
    m_pMinX->setText(Num(m_Scale.minX));
    m_pMaxX->setText(Num(m_Scale.maxX));
    m_pLog->setChecked(m_Scale.log != 0);
  }
}

void CDlgGraph2dSet::OnOK() {
  UpdateData(true);
  if (const char* message = CheckRanges(m_Scale, m_bColour)) {
    // The dialog stays with the values entered, as when it is shown again.
    AfxMessageBox(message, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  EndDialog(QDialog::Accepted);
}

// ---------------------------------------------------------------- print dialog

CDlgGraphPrint::CDlgGraphPrint(QWidget* parent) : CVumDialog(kTemplateId, parent) {
  setWindowTitle(Q("印刷"));
  auto* layout = new QVBoxLayout(this);
  auto* printer = new QGroupBox(Q("ﾌﾟﾘﾝﾀ"), this);
  auto* form = new QFormLayout(printer);
  m_pPrinter = new QComboBox(printer);
  m_pPrinter->setObjectName("GP_CB_PRINTER");
  for (const QString& name : QPrinterInfo::availablePrinterNames()) m_pPrinter->addItem(name);
  const QString def = QPrinterInfo::defaultPrinterName();
  if (!def.isEmpty()) m_pPrinter->setCurrentText(def);
  form->addRow(Q("ﾌﾟﾘﾝﾀ名(&N)："), m_pPrinter);
  m_pToFile = new QCheckBox(Q("ﾌｧｲﾙへ出力(&L)"), printer);
  m_pToFile->setObjectName("GP_CHK_TOFILE");
  m_pFile = new QLineEdit(printer);
  m_pFile->setObjectName("GP_EDT_FILE");
  form->addRow(m_pToFile, m_pFile);
  m_pCopies = new QSpinBox(printer);
  m_pCopies->setObjectName("GP_SPN_COPIES");
  m_pCopies->setRange(1, 999);
  form->addRow(Q("部数(&C)："), m_pCopies);
  layout->addWidget(printer);
  auto* options = new QGroupBox(Q("ｵﾌﾟｼｮﾝ："), this);
  auto* ol = new QHBoxLayout(options);
  m_pMemoCheck = new QCheckBox(Q("ﾒﾓ"), options);
  m_pMemoCheck->setObjectName("GP_CHK_MEMO");
  m_pMemoEdit = new QLineEdit(options);
  m_pMemoEdit->setObjectName("GP_EDT_MEMO");
  ol->addWidget(m_pMemoCheck);
  ol->addWidget(m_pMemoEdit, 1);
  layout->addWidget(options);
  layout->addLayout(dlg::ButtonRow(this, nullptr, HelpButton()));
  // Without a printer only a file can be printed to.
  if (m_pPrinter->count() == 0) {
    m_pToFile->setChecked(true);
    m_pToFile->setEnabled(false);
    m_pPrinter->setEnabled(false);
  }
  connect(m_pMemoCheck, &QCheckBox::toggled, m_pMemoEdit, &QWidget::setEnabled);
}

bool CDlgGraphPrint::IsPrintToFile() const {
  return m_pToFile->isChecked();
}

QString CDlgGraphPrint::GetFileName() const {
  return m_pFile->text().trimmed();
}

void CDlgGraphPrint::SetupPrinter(QPrinter& printer) const {
  if (IsPrintToFile()) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(GetFileName());
  } else {
    printer.setPrinterName(m_pPrinter->currentText());
  }
  printer.setCopyCount(m_pCopies->value());
  printer.setPageOrientation(QPageLayout::Landscape);
}

void CDlgGraphPrint::DoDataExchange(bool save) {
  if (save) {
    m_bMemo = m_pMemoCheck->isChecked() ? 1 : 0;
    m_strMemo = m_pMemoEdit->text();
  } else {
    m_pMemoCheck->setChecked(m_bMemo != 0);
    m_pMemoEdit->setText(m_strMemo);
    m_pMemoEdit->setEnabled(m_bMemo != 0);
  }
}

void CDlgGraphPrint::UpdateRegistry(int write, const char*) {
  std::string memo = m_strMemo.toStdString();
  UpdateReg(graph_text::kPrintSection, "Memo", write, m_bMemo, CRegistry::TYPE_BOOL, 0);
  UpdateReg(graph_text::kPrintSection, "MemoString", write, memo, "");
  if (!write) m_strMemo = QString::fromStdString(memo);
}

void CDlgGraphPrint::OnOK() {
  UpdateData(true);
  if (IsPrintToFile() && GetFileName().isEmpty()) {
    const QString name =
        QFileDialog::getSaveFileName(this, Q("印刷"), {}, QStringLiteral("PDF (*.pdf)"));
    if (name.isEmpty()) return;
    m_pFile->setText(name);
  }
  UpdateRegistry(1, nullptr);
  EndDialog(QDialog::Accepted);
}

// ---------------------------------------------------------------- graph dialog

double CDlgGraph2D::StepMag(double value, int up) {
  if (up > 0)
    value += value < 4.99 ? 0.1 : 1.0;
  else
    value -= value > 5.01 ? 1.0 : 0.1;
  // Steps of 0.1 gather float noise; one decimal is all the field shows.
  value = std::round(value * 100.0) / 100.0;
  return std::clamp(value, kMagMin, kMagMax);
}

double CDlgGraph2D::TypedMag(double value) {
  if (value > kMagMax) return kMagMax;
  if (!(value > 0.0)) return kMagMin;
  return value;
}

CDlgGraph2D::CDlgGraph2D(QWidget* parent) : QDialog(parent) {
  setObjectName("CDlgGraph2D");
  setWindowTitle(Q(graph_text::kCaption));
  setModal(false);
  BuildUi();
  UpdateRegistry(0, graph_text::kSection);
  ApplyScale();
  ChangeStyle();
  // Where the user left it last, when that is still on a screen.
  const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  RECT r{x(), y(), x() + width(), y() + height()};
  if (CRegistry::Read(
          graph_text::kSection, "Window", r,
          ScreenArea{RECT{avail.left(), avail.top(), avail.right() + 1, avail.bottom() + 1}}))
    move(r.left, r.top);
}

CDlgGraph2D::~CDlgGraph2D() {
  UpdateRegistry(1, graph_text::kSection);
  SavePosition();
}

void CDlgGraph2D::SavePosition() const {
  // A minimised dialog has no place worth keeping.
  if (isMinimized()) return;
  const RECT r{x(), y(), x() + width(), y() + height()};
  CRegistry::Write(graph_text::kSection, "Window", r);
}

void CDlgGraph2D::BuildUi() {
  auto* layout = new QVBoxLayout(this);
  auto* guide = new QLabel(Q(graph_text::kGuide), this);
  guide->setWordWrap(true);
  layout->addWidget(guide);

  auto* readouts = new QHBoxLayout;
  auto field = [&](const char* label, const char* name, int width) {
    auto* e = new QLineEdit(this);
    e->setReadOnly(true);
    e->setObjectName(name);
    e->setMaximumWidth(width);
    readouts->addWidget(new QLabel(Q(label), this));
    readouts->addWidget(e);
    return e;
  };
  m_pX = field("X：", "G2D_EDT_X", 70);
  m_pY = field("Y：", "G2D_EDT_Y", 70);
  m_pCount = field("ｶｳﾝﾄ値：", "G2D_EDT_COUNT", 200);
  m_pDistance = field("始点からの距離：", "G2D_EDT_DIST", 110);
  readouts->addStretch(1);
  layout->addLayout(readouts);
  // The world coordinates at the same point, when the image has them.
  m_pPhyVal = new QLineEdit(this);
  m_pPhyVal->setReadOnly(true);
  m_pPhyVal->setObjectName("G2D_EDT_PHYVAL");
  layout->addWidget(m_pPhyVal);

  m_pGraph = new CCtrlGraph2D(this);
  layout->addWidget(m_pGraph, 1);
  m_pScroll = new QScrollBar(Qt::Horizontal, this);
  m_pScroll->setObjectName("G2D_SCROLL");
  layout->addWidget(m_pScroll);

  m_pFold = new QWidget(this);
  auto* grid = new QGridLayout(m_pFold);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->addWidget(new QLabel(Q("ｸﾞﾗﾌ選択範囲："), m_pFold), 0, 0);
  auto* rect = new QHBoxLayout;
  const char* marks[4] = {"[", ",", "]-[", ","};
  for (int i = 0; i < 4; ++i) {
    m_pRect[i] = new QSpinBox(m_pFold);
    m_pRect[i]->setObjectName(QStringLiteral("G2D_EDT_RECT%1").arg(i + 1));
    m_pRect[i]->setRange(1, 1);
    m_pRect[i]->setKeyboardTracking(false);
    rect->addWidget(new QLabel(QString::fromUtf8(marks[i]), m_pFold));
    rect->addWidget(m_pRect[i]);
    connect(m_pRect[i], &QSpinBox::valueChanged, this, [this] { UpdateArea(); });
  }
  rect->addWidget(new QLabel(QStringLiteral("]"), m_pFold));
  rect->addStretch(1);
  grid->addLayout(rect, 0, 1, 1, 3);

  grid->addWidget(new QLabel(Q("水平倍率(&M)："), m_pFold), 1, 0);
  m_pHmag = new CSpinEdit(m_pFold);
  m_pHmag->setObjectName("G2D_EDT_HMAG");
  grid->addWidget(m_pHmag, 1, 1);
  connect(m_pHmag, &CSpinEdit::stepRequested, this, [this](int steps) { OnHmagStep(steps); });
  connect(m_pHmag, &QAbstractSpinBox::editingFinished, this, [this] { OnHmagEdited(); });

  auto* vv = new QHBoxLayout;
  vv->addWidget(new QLabel(Q("縦軸(&V)："), m_pFold));
  m_pVValue = new QComboBox(m_pFold);
  m_pVValue->setObjectName("G2D_CB_VVALUE");
  vv->addWidget(m_pVValue);
  m_pLog = new QCheckBox(Q("対数(&L)"), m_pFold);
  m_pLog->setObjectName("G2D_CHK_LOG");
  vv->addWidget(m_pLog);
  grid->addLayout(vv, 1, 2);
  connect(m_pVValue, &QComboBox::activated, this, [this] { UpdateGraph(); });
  connect(m_pLog, &QCheckBox::toggled, this, [this](bool on) {
    m_Scale.log = on ? 1 : 0;
    ApplyScale();
    m_pGraph->update();
  });

  auto button = [&](const char* text, const char* name, auto slot) {
    auto* b = new QPushButton(Q(text), m_pFold);
    b->setObjectName(name);
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, slot);
    return b;
  };
  auto* commands = new QHBoxLayout;
  commands->addWidget(button("ｽｹｰﾙ設定(&S)...", "G2D_BTN_SET", [this] { OnSet(); }));
  commands->addWidget(button("印刷(&P)", "G2D_BTN_PRINT", [this] { OnPrint(); }));
  commands->addWidget(button("ﾃｷｽﾄ出力(&T)...", "G2D_BTN_TEXT", [this] { OnText(); }));
  commands->addWidget(button("画像化(&C)", "G2D_BTN_IMAGE", [this] { OnImage(); }));
  commands->addWidget(button("分散軸変更(&A)", "G2D_BTN_SWAPAXIS", [this] { OnSwapAxis(); }));
  commands->addWidget(button(regions_text::kSave, "G2D_BTN_REGIONS", [this] { OnRegions(); }));
  grid->addLayout(commands, 2, 0, 1, 4);

  auto* marksRow = new QHBoxLayout;
  marksRow->addWidget(new QLabel(Q("ﾏｰｸ："), m_pFold));
  marksRow->addWidget(button("非表示(&I)", "G2D_BTN_MARKHIDE", [this] {
    if (m_pLines) m_pLines->SetMarkVisible(false);
    if (onLinesChanged) onLinesChanged();
  }));
  marksRow->addWidget(button("全表示(&B)", "G2D_BTN_MARKSHOW", [this] {
    if (m_pLines) m_pLines->SetMarkVisible(true);
    if (onLinesChanged) onLinesChanged();
  }));
  marksRow->addWidget(button("消去(&E)", "G2D_BTN_ALLDEL", [this] { OnAllDel(); }));
  m_pGraphAll = new QCheckBox(Q("すべて表示(&G)"), m_pFold);
  m_pGraphAll->setObjectName("G2D_CHK_GRAPHALL");
  m_pGraphAllDoc = new QCheckBox(Q("別画像のｸﾞﾗﾌ表示(&D)"), m_pFold);
  m_pGraphAllDoc->setObjectName("G2D_CHK_GRAPHALLDOC");
  marksRow->addWidget(m_pGraphAll);
  marksRow->addWidget(m_pGraphAllDoc);
  marksRow->addStretch(1);
  grid->addLayout(marksRow, 3, 0, 1, 4);
  connect(m_pGraphAll, &QCheckBox::toggled, this, [this](bool on) {
    m_bGraphAll = on;
    UpdateGraph();
  });
  connect(m_pGraphAllDoc, &QCheckBox::toggled, this, [this](bool on) {
    m_bGraphAllDoc = on;
    UpdateGraph();
  });
  layout->addWidget(m_pFold);

  auto* bottom = new QHBoxLayout;
  m_pStyle = new QPushButton(this);
  m_pStyle->setObjectName("G2D_BTN_STYLE");
  m_pStyle->setAutoDefault(false);
  connect(m_pStyle, &QPushButton::clicked, this, [this] {
    m_nStyle = m_nStyle ? 0 : 1;
    ChangeStyle();
  });
  bottom->addWidget(m_pStyle);
  bottom->addStretch(1);
  auto* close = new QPushButton(Q("閉じる"), this);
  close->setObjectName("IDCANCEL");
  close->setAutoDefault(false);
  connect(close, &QPushButton::clicked, this, [this] { CloseByUser(); });
  bottom->addWidget(close);
  layout->addLayout(bottom);

  connect(m_pGraph, &CCtrlGraph2D::samplePointChanged, this, [this] {
    UpdateReadouts(m_pGraph->GetSampleDistance(m_pGraph->GetCurrent()), true);
    if (onLinesChanged) onLinesChanged();
  });
  connect(m_pGraph, &CCtrlGraph2D::cursorMoved, this,
          [this](double d) { UpdateReadouts(d, true); });
  connect(m_pScroll, &QScrollBar::valueChanged, this, [this](int v) { OnScroll(v); });
  resize(640, 560);
}

void CDlgGraph2D::ChangeStyle() {
  m_pFold->setVisible(m_nStyle != 0);
  m_pStyle->setText(m_nStyle ? Q("<<") : Q(">>"));
}

void CDlgGraph2D::UpdateRegistry(int write, const char* section) {
  const char* s = section ? section : graph_text::kSection;
  CVumDialog::UpdateReg(s, "LOG", write, m_Scale.log, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(s, "HRZMAG", write, m_dHrzMag, 1.0);
  // Until the user chooses otherwise the vertical range follows the samples, so that a
  // profile is shown whole whatever its values and the display levels.
  CVumDialog::UpdateReg(s, "VRTSCALE", write, m_Scale.vrtScale, CRegistry::TYPE_INT, 0);
  for (int c = 0; c < 4; ++c) {
    CVumDialog::UpdateReg(s, std::string("MIN_") + kChannelKey[c], write, m_Scale.min[c], 0.0);
    CVumDialog::UpdateReg(s, std::string("MAX_") + kChannelKey[c], write, m_Scale.max[c], 1000.0);
  }
  CVumDialog::UpdateReg(s, "VRTSCALE_X", write, m_Scale.hrzScale, CRegistry::TYPE_INT, 1);
  CVumDialog::UpdateReg(s, "MIN_L_X", write, m_Scale.minX, 0.0);
  CVumDialog::UpdateReg(s, "MAX_L_X", write, m_Scale.maxX, 1000.0);
  CVumDialog::UpdateReg(s, "GraphAll", write, m_bGraphAll, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(s, "GraphAllDoc", write, m_bGraphAllDoc, CRegistry::TYPE_INT, 0);
  CVumDialog::UpdateReg(s, "Style", write, m_nStyle, CRegistry::TYPE_INT, 1);
  if (!write) {
    // A magnification the user never set gives way, on the first profile, to one that
    // shows the whole line.
    double stored = 0.0;
    m_bFitHrzMag = CRegistry::Read(s, "HRZMAG", 1.0, stored) == 0;
    m_dHrzMag = TypedMag(m_dHrzMag);
    ShowHrzMag();
    const QSignalBlocker b1(m_pLog), b2(m_pGraphAll), b3(m_pGraphAllDoc);
    m_pLog->setChecked(m_Scale.log != 0);
    m_pGraphAll->setChecked(m_bGraphAll != 0);
    m_pGraphAllDoc->setChecked(m_bGraphAllDoc != 0);
  }
}

void CDlgGraph2D::ApplyScale() {
  // The dialog's codes: 0 automatic, 1 level range, 2 fixed; the control's: 1, 0, 2.
  static const int kControlMode[3] = {1, 0, 2};
  m_pGraph->VrtScale(kControlMode[std::clamp(m_Scale.vrtScale, 0, 2)]);
  for (int c = 0; c < 4; ++c) m_pGraph->VrtScaleRange(m_Scale.min[c], m_Scale.max[c], c);
  m_pGraph->VrtScaleX(m_Scale.hrzScale ? 2 : 1);
  m_pGraph->VrtScaleRangeX(m_Scale.minX, m_Scale.maxX);
  m_pGraph->SetLog(m_Scale.log);
  m_pGraph->HrzMag(m_dHrzMag);
  m_pGraph->SetGraphAll(m_bGraphAll);
  m_pGraph->SetGraphAllDoc(m_bGraphAllDoc);
}

void CDlgGraph2D::Show(CGraph2D* graph, const CRalImage* image, const QString& title) {
  m_pLines = graph;
  m_pImage = image;
  // Rows are shown from the bottom for FITS images when the settings say so, as
  // everywhere else the program shows positions.
  m_pGraph->SetBottomUp(image && FitsRowsBottomUp(*image));
  m_strTitle = title;
  m_pGraph->SetTitle(title);
  setWindowTitle(Q(graph_text::kCaption) + QStringLiteral(" [ ") + title + QStringLiteral(" ]"));
  UpdateCbVValue();
  UpdateGraph();
  Show();
  FitHrzMag();
}

void CDlgGraph2D::FitHrzMag() {
  if (!m_bFitHrzMag || !m_pGraph->HasGraph() || !(m_dLength > 0.0)) return;
  // The plotting area is known once the dialog is laid out.
  if (layout()) layout()->activate();
  const int width = m_pGraph->PlotArea().width();
  if (width <= 0) return;
  m_bFitHrzMag = false;
  const double fit = std::floor((width - 1) / m_dLength * 10.0) / 10.0;
  if (m_dHrzMag <= fit) return;
  m_dHrzMag = std::max(fit, kMagMin);
  ShowHrzMag();
  UpdateGraph();
}

void CDlgGraph2D::Show() {
  show();
  raise();
}

void CDlgGraph2D::Hide(int) {
  if (isVisible()) SavePosition();
  hide();
}

void CDlgGraph2D::closeEvent(QCloseEvent* event) {
  event->ignore();
  CloseByUser();
}

void CDlgGraph2D::CloseByUser() {
  Hide(0);
  if (onClosedByUser) onClosedByUser();
}

void CDlgGraph2D::Reset(int flag) {
  m_pGraph->EmptyGraph();
  if (flag && m_pLines) m_pLines->RemoveAll();
  UpdateReadouts(0.0, false);
  UpdateGraph();
}

void CDlgGraph2D::UpdateCbVValue() {
  const QSignalBlocker block(m_pVValue);
  m_pVValue->clear();
  const bool colour = m_pImage && m_pImage->IsColor() && m_pImage->GetPlanes() >= 3;
  if (colour) {
    for (const char* t : {"R, G, B", "輝度", "R", "G", "B"}) m_pVValue->addItem(Q(t));
    m_pVValue->setCurrentIndex(1);
  } else {
    m_pVValue->addItem(Q("輝度"));
  }
  m_pVValue->setEnabled(colour);
}

void CDlgGraph2D::EnableGraphCtrl() {
  const bool have = m_pGraph->HasGraph();
  for (const char* name :
       {"G2D_BTN_PRINT", "G2D_BTN_TEXT", "G2D_BTN_IMAGE", "G2D_BTN_SWAPAXIS", "G2D_BTN_REGIONS"})
    if (auto* b = findChild<QPushButton*>(name)) b->setEnabled(have);
  for (QSpinBox* s : m_pRect) s->setEnabled(have);
}

void CDlgGraph2D::UpdateGraph() {
  ApplyScale();
  const bool colour = m_pVValue->count() > 1;
  m_pGraph->SetVValue(colour ? m_pVValue->currentIndex() : 1);
  // The other documents' graphs first: the ranges and the length take them in.
  m_pGraph->RemoveAllAllDocCtrlGraph2DData();
  if (m_bGraphAllDoc && onGatherOtherGraphs)
    for (const CCtrlGraph2DData2& d : onGatherOtherGraphs()) m_pGraph->AddAllDocCtrlGraph2DData(d);
  m_dLength = m_pLines ? m_pGraph->Calc(m_pImage, *m_pLines) : 0.0;
  // The range edits follow the current line, 1-based.
  m_bUpdating = true;
  if (m_pImage && m_pLines && m_pLines->GetCurrent() >= 0 &&
      m_pLines->GetCurrent() < m_pLines->GetSize()) {
    const CDrawLineGraph2D& l = m_pLines->GetLine(m_pLines->GetCurrent());
    const int w = m_pImage->GetWidth(), h = m_pImage->GetHeight();
    const int values[4] = {l.m_nX1 + 1, static_cast<int>(m_pGraph->ShownY(l.m_nY1)), l.m_nX2 + 1,
                           static_cast<int>(m_pGraph->ShownY(l.m_nY2))};
    for (int i = 0; i < 4; ++i) {
      m_pRect[i]->setRange(1, i % 2 == 0 ? w : h);
      m_pRect[i]->setValue(values[i]);
    }
  }
  m_bUpdating = false;
  EnableGraphCtrl();
  UpdateScrollRange();
  m_pGraph->update();
}

void CDlgGraph2D::UpdateArea() {
  if (m_bUpdating || !m_pLines) return;
  // Shown rows back to image rows (the same turn both ways).
  auto row = [this](int shown) {
    return m_pGraph->IsBottomUp() && m_pImage ? m_pImage->GetHeight() - shown : shown - 1;
  };
  m_pLines->SetCurrentLine(m_pRect[0]->value() - 1, row(m_pRect[1]->value()),
                           m_pRect[2]->value() - 1, row(m_pRect[3]->value()));
  UpdateGraph();
  if (onLinesChanged) onLinesChanged();
}

void CDlgGraph2D::UpdateReadouts(double d, bool have) {
  const int line = m_pGraph->GetCurrent();
  if (!have || !m_pGraph->GetGraphData(line)) {
    for (QLineEdit* e : {m_pX, m_pY, m_pCount, m_pDistance, m_pPhyVal}) e->clear();
    return;
  }
  m_pPhyVal->setText(QString::fromStdString(m_pGraph->GetPhyValText(d, line)));
  m_pX->setText(QString::number(m_pGraph->GetX(d, line) + 1, 'f', 1));
  m_pY->setText(QString::number(m_pGraph->ShownY(m_pGraph->GetY(d, line)), 'f', 1));
  const CCtrlGraph2DData* data = m_pGraph->GetGraphData(line);
  if (!data->m_Value[1].empty())
    m_pCount->setText(QStringLiteral("%1 (%2, %3, %4)")
                          .arg(m_pGraph->GetCount(d, line, 0), 0, 'f', 1)
                          .arg(m_pGraph->GetCount(d, line, 1), 0, 'f', 1)
                          .arg(m_pGraph->GetCount(d, line, 2), 0, 'f', 1)
                          .arg(m_pGraph->GetCount(d, line, 3), 0, 'f', 1));
  else
    m_pCount->setText(QString::number(m_pGraph->GetCount(d, line), 'f', 1));
  m_pDistance->setText(QStringLiteral("%1 [pix]").arg(d, 0, 'f', 1));
}

void CDlgGraph2D::OnHmagEdited() {
  bool ok = false;
  const double v = m_pHmag->Text().trimmed().toDouble(&ok);
  m_dHrzMag = TypedMag(ok ? v : m_dHrzMag);
  ShowHrzMag();
  UpdateGraph();
}

void CDlgGraph2D::ShowHrzMag() {
  // The value as it is kept, not rounded: a step starts from what the field shows.
  QString text = QString::number(m_dHrzMag, 'g', 12);
  if (!text.contains(QLatin1Char('.')) && !text.contains(QLatin1Char('e')))
    text += QStringLiteral(".0");
  m_strHmagShown = text;
  m_pHmag->SetText(text);
}

void CDlgGraph2D::OnHmagStep(int steps) {
  // A value typed and not yet confirmed is where the step starts; otherwise the value kept.
  double v = m_dHrzMag;
  if (m_pHmag->Text() != m_strHmagShown) {
    bool ok = false;
    const double typed = m_pHmag->Text().trimmed().toDouble(&ok);
    v = TypedMag(ok ? typed : m_dHrzMag);
  }
  for (int i = 0; i < std::abs(steps); ++i) v = StepMag(v, steps > 0 ? 1 : 0);
  m_dHrzMag = v;
  ShowHrzMag();
  UpdateGraph();
}

void CDlgGraph2D::UpdateScrollRange() {
  const int visible =
      m_pGraph->GraphArea().isValid() ? m_pGraph->GraphArea().width() : m_pGraph->width() - 86;
  const int total = static_cast<int>(std::ceil(m_dLength * m_dHrzMag));
  const QSignalBlocker block(m_pScroll);
  m_pScroll->setRange(0, std::max(0, total - visible));
  m_pScroll->setPageStep(std::max(visible, 1));
  if (m_pScroll->maximum() == 0) m_pGraph->ShiftH(0.0);
}

void CDlgGraph2D::OnScroll(int value) {
  m_pGraph->ShiftH(-value / m_dHrzMag);
  m_pGraph->update();
}

void CDlgGraph2D::OnSet() {
  const bool colour = m_pVValue->count() > 1;
  CDlgGraph2dSet set(m_Scale, colour, this);
  if (set.DoModal() != QDialog::Accepted) return;
  m_Scale = set.GetScale();
  const QSignalBlocker block(m_pLog);
  m_pLog->setChecked(m_Scale.log != 0);
  UpdateGraph();
}

void CDlgGraph2D::OnPrint() {
  QPrinter printer(QPrinter::HighResolution);
  QString memo;
  if (onChoosePrinter) {
    if (!onChoosePrinter(printer)) return;
  } else {
    CDlgGraphPrint dialog(this);
    if (dialog.DoModal() != QDialog::Accepted) return;
    dialog.SetupPrinter(printer);
    if (dialog.IsMemo()) memo = dialog.GetMemo();
  }
  {
    std::string saved;
    int memoOn = 0;
    CVumDialog::UpdateReg(graph_text::kPrintSection, "Memo", 0, memoOn, CRegistry::TYPE_BOOL, 0);
    CVumDialog::UpdateReg(graph_text::kPrintSection, "MemoString", 0, saved, "");
    if (memoOn && memo.isEmpty()) memo = QString::fromStdString(saved);
  }
  QPainter painter;
  bool ok = painter.begin(&printer);
  if (ok) {
    const QRect page = printer.pageLayout().paintRectPixels(printer.resolution());
    const double scale = printer.resolution() / 96.0;
    painter.scale(scale, scale);
    const QRect logical(0, 0, static_cast<int>(page.width() / scale),
                        static_cast<int>(page.height() / scale * 0.6));
    m_pGraph->Print(painter, logical, m_strTitle, memo);
    ok = painter.end();
  }
  AfxMessageBox(ok ? graph_text::kPrinted : graph_text::kPrintFailed,
                MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONEXCLAMATION));
}

QString CDlgGraph2D::WithFilterSuffix(const QString& path, const QString& filter) {
  if (path.isEmpty() || !QFileInfo(path).suffix().isEmpty()) return path;
  // "Name (*.ext)": the first pattern's extension.
  static const QRegularExpression pattern(QStringLiteral("\\*\\.([A-Za-z0-9]+)"));
  const QRegularExpressionMatch m = pattern.match(filter);
  return m.hasMatch() ? path + QLatin1Char('.') + m.captured(1) : path;
}

void CDlgGraph2D::OnText() {
  if (!m_pGraph->HasGraph()) return;
  QString base = m_strTitle.section(QLatin1Char('.'), 0, 0);
  const QString suggested = QStringLiteral("%1-%2").arg(base, QStringLiteral("2DGraph"));
  QFileDialog dialog(this, Q("ﾃｷｽﾄ出力"));
  dialog.setObjectName(QStringLiteral("G2D_DLG_TEXT"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters({Q("CSVﾌｧｲﾙ (*.csv)"), Q("ﾃｷｽﾄﾌｧｲﾙ (*.txt)")});
  // The dialog adds the chosen type's extension itself, so that it also asks before
  // replacing that file.
  dialog.setDefaultSuffix(QStringLiteral("csv"));
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
    dialog.setDefaultSuffix(QFileInfo(WithFilterSuffix(QStringLiteral("x"), filter)).suffix());
  });
  dialog.selectFile(suggested);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  // A name typed without an extension takes that of the chosen file type, which also
  // decides between CSV and column text.
  const QString path =
      WithFilterSuffix(dialog.selectedFiles().front(), dialog.selectedNameFilter());
  if (path.isEmpty()) return;
  if (!m_pGraph->OutputText(path.toStdString()))
    FileioMsgBox(this, FIO_ERR_CREATE, {}, path.toStdString(), MB_OK | MB_ICONEXCLAMATION);
}

void CDlgGraph2D::OnRegions() {
  if (!m_pLines || !m_pImage) return;
  std::vector<RegionShape> shapes;
  AddLineRegions(*m_pLines, *m_pImage, &shapes);
  SaveRegionsAsked(this, *m_pImage, shapes, "2DGraph");
}

void CDlgGraph2D::OnImage() {
  if (!m_pGraph->HasGraph() || !onMakeImage) return;
  const QImage image = m_pGraph->Render(m_pGraph->size(), m_strTitle);
  const QString base = m_strTitle.section(QLatin1Char('.'), 0, 0);
  onMakeImage(image, (base + QStringLiteral("-2DGraph")).toStdString());
}

void CDlgGraph2D::OnAllDel() {
  if (AfxMessageBox(graph_text::kEraseAsk, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) return;
  Reset(1);
  if (onLinesChanged) onLinesChanged();
}

void CDlgGraph2D::OnSwapAxis() {
  if (!m_pLines) return;
  m_pLines->SwapAxis();
  UpdateGraph();
  if (onLinesChanged) onLinesChanged();
}

bool CDlgGraph2D::HaveSamplePt() const {
  return m_pGraph->HaveSamplePtActive();
}
double CDlgGraph2D::GetSampleX() const {
  return m_pGraph->GetSampleX(m_pGraph->GetCurrent());
}
double CDlgGraph2D::GetSampleY() const {
  return m_pGraph->GetSampleY(m_pGraph->GetCurrent());
}
double CDlgGraph2D::GetSampleCount() const {
  return m_pGraph->GetSampleCount(m_pGraph->GetCurrent());
}

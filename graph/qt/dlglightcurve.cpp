#include "graph/qt/dlglightcurve.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "dialogs/pickersupport.h"
#include "dialogs/vumdialog.h"
#include "engine/ralimage.h"
#include "graph/qt/ctrlgraph2d.h"
#include "graph/qt/dlggraph2d.h"
#include "platform/messagebox.h"

namespace {

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

constexpr double kZoomStep = 2.0;
constexpr double kZoomMaxFactor = 1000.0;  // of the whole curve across the graph

}  // namespace

CDlgLightCurve::CDlgLightCurve(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("LC_DIALOG"));
  setWindowTitle(Q(lightcurve_text::kTitle));
  BuildUi();
  UpdateEnabling();
}

CDlgLightCurve::~CDlgLightCurve() = default;

void CDlgLightCurve::BuildUi() {
  auto* top = new QHBoxLayout(this);
  auto* left = new QVBoxLayout;
  top->addLayout(left, 0);
  auto button = [this](const char* text, const char* name) {
    auto* b = new QPushButton(Q(text), this);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
  };

  auto* stars = new QGroupBox(Q("目的星・比較星"), this);
  auto* starsLayout = new QVBoxLayout(stars);
  m_pStars = new QListWidget(stars);
  m_pStars->setObjectName(QStringLiteral("LC_STARS"));
  m_pStars->setMaximumHeight(90);
  starsLayout->addWidget(m_pStars);
  m_pMarks = button("測光ﾏｰｸを取り込む(&M)", "LC_BTN_MARKS");
  starsLayout->addWidget(m_pMarks);
  left->addWidget(stars);

  auto* frames = new QGroupBox(Q("ﾌﾚｰﾑ"), this);
  auto* framesLayout = new QVBoxLayout(frames);
  auto* folderRow = new QHBoxLayout;
  m_pFolder = new QLineEdit(frames);
  m_pFolder->setObjectName(QStringLiteral("LC_ED_FOLDER"));
  m_pFolder->setPlaceholderText(Q("FITSﾌｧｲﾙのﾌｫﾙﾀﾞ"));
  folderRow->addWidget(m_pFolder);
  m_pBrowse = button("参照(&B)...", "LC_BTN_BROWSE");
  folderRow->addWidget(m_pBrowse);
  framesLayout->addLayout(folderRow);
  m_pWindows = button("開いている画像(&W)", "LC_BTN_WINDOWS");
  framesLayout->addWidget(m_pWindows);
  m_pFiles = new QListWidget(frames);
  m_pFiles->setObjectName(QStringLiteral("LC_FILES"));
  framesLayout->addWidget(m_pFiles);
  left->addWidget(frames);

  auto* params = new QGroupBox(Q("開口"), this);
  auto* form = new QFormLayout(params);
  auto spin = [this, params](const char* name, int low, int high, int value) {
    auto* s = new QSpinBox(params);
    s->setObjectName(QString::fromLatin1(name));
    s->setRange(low, high);
    s->setValue(value);
    connect(s, &QSpinBox::valueChanged, this, [this] { UpdateEnabling(); });
    return s;
  };
  // The photometry tool's defaults for the disc and the ring; the centroid square is the
  // light curve's own, wide enough for the drift of a night between two frames.
  const LightCurveParams defaults;
  m_pStarR = spin("LC_STARR", 1, 999, static_cast<int>(defaults.starRadius));
  m_pSkyIR = spin("LC_SKYIR", 2, 1000, static_cast<int>(defaults.skyInner));
  m_pSkyDR = spin("LC_SKYDR", 1, 1000, static_cast<int>(defaults.skyWidth));
  m_pSearch = spin("LC_SEARCH", 1, 1000, defaults.searchRadius);
  form->addRow(Q("恒星径"), m_pStarR);
  form->addRow(Q("SKY内径"), m_pSkyIR);
  form->addRow(Q("SKY幅"), m_pSkyDR);
  form->addRow(Q("重心検索"), m_pSearch);
  m_pTime = new QComboBox(params);
  m_pTime->setObjectName(QStringLiteral("LC_CB_TIME"));
  m_pTime->addItems({QStringLiteral("MJD"), QStringLiteral("JD")});
  form->addRow(Q("時刻"), m_pTime);
  left->addWidget(params);

  auto* runRow = new QHBoxLayout;
  m_pRun = button("実行(&R)", "LC_BTN_RUN");
  m_pStop = button("中断", "LC_BTN_STOP");
  runRow->addWidget(m_pRun);
  runRow->addWidget(m_pStop);
  left->addLayout(runRow);
  m_pProgress = new QProgressBar(this);
  m_pProgress->setObjectName(QStringLiteral("LC_PROGRESS"));
  m_pProgress->setRange(0, 1);
  m_pProgress->setValue(0);
  left->addWidget(m_pProgress);

  auto* right = new QVBoxLayout;
  top->addLayout(right, 1);
  m_pGraph = new CCtrlGraph2D(this);
  m_pGraph->setObjectName(QStringLiteral("LC_GRAPH"));
  m_pGraph->setMinimumSize(480, 300);
  right->addWidget(m_pGraph, 1);
  m_pScroll = new QScrollBar(Qt::Horizontal, this);
  m_pScroll->setObjectName(QStringLiteral("LC_SCROLL"));
  right->addWidget(m_pScroll);
  auto* commands = new QHBoxLayout;
  m_pZoomIn = button("拡大(&+)", "LC_BTN_ZOOMIN");
  m_pZoomOut = button("縮小(&-)", "LC_BTN_ZOOMOUT");
  m_pZoomFit = button("全体(&A)", "LC_BTN_ZOOMFIT");
  m_pPrint = button("印刷(&P)", "LC_BTN_PRINT");
  m_pText = button("ﾃｷｽﾄ出力(&T)...", "LC_BTN_TEXT");
  m_pClose = button("閉じる(&C)", "LC_BTN_CLOSE");
  for (QPushButton* b : {m_pZoomIn, m_pZoomOut, m_pZoomFit, m_pPrint, m_pText}) commands->addWidget(b);
  commands->addStretch(1);
  commands->addWidget(m_pClose);
  right->addLayout(commands);
  m_pStatus = new QLabel(this);
  m_pStatus->setObjectName(QStringLiteral("LC_STATUS"));
  m_pStatus->setWordWrap(true);
  right->addWidget(m_pStatus);
  right->addWidget(new QLabel(Q("除外したﾌﾚｰﾑ"), this));
  m_pLeftOut = new QListWidget(this);
  m_pLeftOut->setObjectName(QStringLiteral("LC_LEFTOUT"));
  m_pLeftOut->setMaximumHeight(110);
  right->addWidget(m_pLeftOut);

  connect(m_pMarks, &QPushButton::clicked, this, [this] { TakeMarks(); });
  connect(m_pFolder, &QLineEdit::returnPressed, this, [this] { SetFolder(m_pFolder->text()); });
  connect(m_pBrowse, &QPushButton::clicked, this, [this] {
    const QString dir = QFileDialog::getExistingDirectory(this, Q("ﾌｫﾙﾀﾞの選択"), m_pFolder->text());
    if (!dir.isEmpty()) SetFolder(dir);
  });
  connect(m_pWindows, &QPushButton::clicked, this, [this] { UseOpenWindows(); });
  connect(m_pRun, &QPushButton::clicked, this, [this] { Run(); });
  connect(m_pStop, &QPushButton::clicked, this, [this] { m_bStop = true; });
  connect(m_pZoomIn, &QPushButton::clicked, this, [this] { ZoomIn(); });
  connect(m_pZoomOut, &QPushButton::clicked, this, [this] { ZoomOut(); });
  connect(m_pZoomFit, &QPushButton::clicked, this, [this] { ZoomFit(); });
  connect(m_pScroll, &QScrollBar::valueChanged, this, [this](int v) {
    m_pGraph->ShiftH(-v / m_pGraph->GetHrzMag());
    m_pGraph->update();
  });
  connect(m_pTime, &QComboBox::currentIndexChanged, this, [this] {
    if (!m_Result.frames.empty()) PlotPoints();
  });
  connect(m_pPrint, &QPushButton::clicked, this, [this] { OnPrint(); });
  connect(m_pText, &QPushButton::clicked, this, [this] { OnText(); });
  connect(m_pClose, &QPushButton::clicked, this, [this] { close(); });
}

void CDlgLightCurve::UpdateEnabling() {
  const bool idle = !m_bRunning;
  const bool curve = m_pGraph->HasPoints();
  for (QWidget* w : std::initializer_list<QWidget*>{m_pMarks, m_pFolder, m_pBrowse, m_pWindows,
                                                     m_pStarR, m_pSkyIR, m_pSkyDR, m_pSearch,
                                                     m_pTime})
    w->setEnabled(idle);
  m_pRun->setEnabled(idle && m_Stars.size() >= 2 && !m_Names.isEmpty() &&
                     m_pStarR->value() < m_pSkyIR->value());
  m_pStop->setEnabled(m_bRunning);
  for (QPushButton* b : {m_pZoomIn, m_pZoomOut, m_pZoomFit, m_pPrint, m_pText})
    b->setEnabled(idle && curve);
  m_pClose->setEnabled(idle);
}

void CDlgLightCurve::TakeMarks() {
  m_Stars = onTakeMarks ? onTakeMarks() : std::vector<LightCurveMark>{};
  m_pStars->clear();
  for (std::size_t i = 0; i < m_Stars.size(); ++i) {
    const QString role = i == 0 ? Q("目的星") : Q("比較星%1").arg(i);
    m_pStars->addItem(QStringLiteral("%1  (%2, %3)")
                          .arg(role)
                          .arg(m_Stars[i].shownX, 0, 'f', 1)
                          .arg(m_Stars[i].shownY, 0, 'f', 1));
  }
  m_pStatus->setText(m_Stars.size() >= 2 ? QString() : Q(lightcurve_text::kNoStars));
  UpdateEnabling();
}

void CDlgLightCurve::SetFolder(const QString& folder) {
  m_pFolder->setText(folder);
  QDir dir(folder);
  const QStringList names = dir.entryList(
      {QStringLiteral("*.fits"), QStringLiteral("*.fit"), QStringLiteral("*.fts")},
      QDir::Files | QDir::Readable, QDir::Name | QDir::IgnoreCase);
  m_bWindows = false;
  m_Names.clear();
  m_pFiles->clear();
  for (const QString& n : names) {
    m_Names << dir.filePath(n);
    m_pFiles->addItem(n);
  }
  if (m_Names.isEmpty()) m_pStatus->setText(Q(lightcurve_text::kNoFrames));
  UpdateEnabling();
}

void CDlgLightCurve::UseOpenWindows() {
  m_bWindows = true;
  m_Names.clear();
  m_pFiles->clear();
  for (CVumDocument* doc : picker::OpenDocuments()) {
    if (!picker::ImageOfDocument(doc)) continue;
    const QString title = QString::fromStdString(doc->GetVumTitle());
    m_Names << title;
    m_pFiles->addItem(title);
  }
  if (m_Names.isEmpty()) m_pStatus->setText(Q(lightcurve_text::kNoFrames));
  UpdateEnabling();
}

LightCurveParams CDlgLightCurve::Params() const {
  LightCurveParams p;
  p.starRadius = m_pStarR->value();
  p.skyInner = m_pSkyIR->value();
  p.skyWidth = m_pSkyDR->value();
  p.searchRadius = m_pSearch->value();
  return p;
}

void CDlgLightCurve::Run() {
  if (m_bRunning || m_Stars.size() < 2 || m_Names.isEmpty()) return;
  m_bRunning = true;
  m_bStop = false;
  m_pProgress->setRange(0, static_cast<int>(m_Names.size()));
  m_pProgress->setValue(0);
  m_pStatus->clear();
  UpdateEnabling();

  std::vector<std::string> files;
  for (const QString& n : m_Names) files.push_back(n.toStdString());
  // Open windows are looked up by title when their turn comes: one closed in the
  // meantime is left out rather than read after it is gone.
  const bool windows = m_bWindows;
  LightCurveReader reader = [windows](const std::string& name, CRalImage& image,
                                      std::string* why) {
    if (!windows) {
      if (picker::ReadImageForProcessing(image, name)) return true;
      *why = "cannot be read";
      return false;
    }
    for (CVumDocument* doc : picker::OpenDocuments())
      if (doc->GetVumTitle() == name)
        if (const CRalImage* open = picker::ImageOfDocument(doc)) {
          image = *open;
          return true;
        }
    *why = "the window was closed";
    return false;
  };
  LightCurveProgress progress = [this](int done, int total, const LightCurveFrame&) {
    m_pProgress->setValue(done);
    if (onFrameDone) onFrameDone(done, total);
    // The dialog stays alive between frames: 中断 and repaints are handled here.
    QCoreApplication::processEvents();
    return !m_bStop;
  };
  std::vector<std::pair<double, double>> at;
  for (const LightCurveMark& m : m_Stars) at.emplace_back(m.x, m.y);
  CLightCurve curve(at, Params());
  m_Result = curve.Run(files, reader, progress);
  m_bRunning = false;
  ShowResult();
  UpdateEnabling();
}

void CDlgLightCurve::ShowResult() {
  m_pLeftOut->clear();
  for (const LightCurveFrame& f : m_Result.frames) {
    if (f.kept) continue;
    const QString name = m_bWindows ? QString::fromStdString(f.file)
                                    : QFileInfo(QString::fromStdString(f.file)).fileName();
    m_pLeftOut->addItem(QStringLiteral("%1: %2").arg(name, QString::fromStdString(f.why)));
  }
  QStringList notes;
  if (m_Result.stopped) notes << Q(lightcurve_text::kStopped);
  if (m_Result.keptCount() == 0) notes << Q(lightcurve_text::kNoneKept);
  for (const std::string& n : m_Result.notes) notes << QString::fromStdString(n);
  if (m_Result.keptCount() > 0) {
    QStringList ens;
    for (int c : m_Result.ensemble) ens << QString::number(c);
    notes << Q("%1 / %2 ﾌﾚｰﾑ、比較星 %3 の合計に対する等級")
                 .arg(m_Result.keptCount())
                 .arg(m_Result.frames.size())
                 .arg(ens.join(QStringLiteral(", ")));
  }
  m_pStatus->setText(notes.join(QLatin1Char('\n')));
  PlotPoints();
}

void CDlgLightCurve::PlotPoints() {
  const bool jd = m_pTime->currentIndex() == 1;
  std::vector<GraphPoint> points;
  for (const LightCurveFrame& f : m_Result.frames)
    if (f.kept) points.push_back({jd ? f.time.jd : f.time.mjd, f.mag, f.magError});
  if (points.empty())
    m_pGraph->ClearPoints();
  else
    m_pGraph->SetPoints(std::move(points),
                        jd ? lightcurve_text::kJdTitle : lightcurve_text::kMjdTitle,
                        lightcurve_text::kYTitle, true);
  ZoomFit();
}

void CDlgLightCurve::ZoomFit() {
  const double length = m_pGraph->GetLength();
  const int width = m_pGraph->PlotArea().width();
  if (length > 0.0 && width > 0) m_pGraph->HrzMag(width / length);
  m_pGraph->ShiftH(0.0);
  UpdateScroll();
}

void CDlgLightCurve::ZoomIn() {
  const double length = m_pGraph->GetLength();
  const int width = m_pGraph->PlotArea().width();
  if (!(length > 0.0) || width <= 0) return;
  const double fit = width / length;
  const double mag = m_pGraph->GetHrzMag();
  const double next = std::min(mag * kZoomStep, fit * kZoomMaxFactor);
  // The time at the middle of what is shown stays in the middle.
  const double middle = m_pGraph->GetValH(width / 2.0);
  m_pGraph->HrzMag(next);
  m_pGraph->ShiftH(width / 2.0 / next - middle);
  UpdateScroll();
}

void CDlgLightCurve::ZoomOut() {
  const double length = m_pGraph->GetLength();
  const int width = m_pGraph->PlotArea().width();
  if (!(length > 0.0) || width <= 0) return;
  const double fit = width / length;
  const double next = m_pGraph->GetHrzMag() / kZoomStep;
  if (next <= fit * 1.000001) {
    ZoomFit();
    return;
  }
  const double middle = m_pGraph->GetValH(width / 2.0);
  m_pGraph->HrzMag(next);
  m_pGraph->ShiftH(width / 2.0 / next - middle);
  UpdateScroll();
}

void CDlgLightCurve::UpdateScroll() {
  // The scroll bar counts screen pixels of the magnified curve past the left edge.
  const double mag = m_pGraph->GetHrzMag();
  const int width = m_pGraph->PlotArea().width();
  const int total = static_cast<int>(std::lround(m_pGraph->GetLength() * mag));
  const int range = std::max(0, total - width);
  double shift = m_pGraph->GetShiftH();
  shift = std::clamp(shift, -range / mag, 0.0);
  m_pGraph->ShiftH(shift);
  {
    const QSignalBlocker block(m_pScroll);
    m_pScroll->setRange(0, range);
    m_pScroll->setPageStep(std::max(1, width));
    m_pScroll->setSingleStep(std::max(1, width / 10));
    m_pScroll->setValue(static_cast<int>(std::lround(-shift * mag)));
  }
  m_pScroll->setEnabled(range > 0);
  m_pGraph->update();
}

void CDlgLightCurve::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (m_pGraph->HasPoints()) ZoomFit();
}

bool CDlgLightCurve::WriteText(const QString& path) const {
  return m_pGraph->HasPoints() && m_pGraph->OutputText(path.toStdString());
}

void CDlgLightCurve::OnText() {
  if (!m_pGraph->HasPoints()) return;
  QFileDialog dialog(this, Q("ﾃｷｽﾄ出力"));
  dialog.setObjectName(QStringLiteral("LC_DLG_TEXT"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters({Q("CSVﾌｧｲﾙ (*.csv)"), Q("ﾃｷｽﾄﾌｧｲﾙ (*.txt)")});
  dialog.setDefaultSuffix(QStringLiteral("csv"));
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
    dialog.setDefaultSuffix(
        QFileInfo(CDlgGraph2D::WithFilterSuffix(QStringLiteral("x"), filter)).suffix());
  });
  dialog.selectFile(QStringLiteral("lightcurve"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString path =
      CDlgGraph2D::WithFilterSuffix(dialog.selectedFiles().front(), dialog.selectedNameFilter());
  if (!path.isEmpty() && !WriteText(path))
    AfxMessageBox(Q("%1 に書き込めませんでした。").arg(path).toStdString(),
                  MB_OK | MB_ICONEXCLAMATION);
}

void CDlgLightCurve::OnPrint() {
  if (!m_pGraph->HasPoints()) return;
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
  QPainter painter;
  bool ok = painter.begin(&printer);
  if (ok) {
    const QRect page = printer.pageLayout().paintRectPixels(printer.resolution());
    const double scale = printer.resolution() / 96.0;
    painter.scale(scale, scale);
    const QRect logical(0, 0, static_cast<int>(page.width() / scale),
                        static_cast<int>(page.height() / scale * 0.6));
    m_pGraph->Print(painter, logical, Q(lightcurve_text::kTitle), memo);
    ok = painter.end();
  }
  AfxMessageBox(ok ? graph_text::kPrinted : graph_text::kPrintFailed,
                MB_OK | (ok ? MB_ICONINFORMATION : MB_ICONEXCLAMATION));
}

void CDlgLightCurve::closeEvent(QCloseEvent* event) {
  // A run under way is stopped after its frame; the dialog closes once it has returned.
  if (m_bRunning) {
    m_bStop = true;
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

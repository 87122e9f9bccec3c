#include "solve/qt/dlgplatesolve.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "platform/messagebox.h"
#include "platform/progress.h"
#include "settings/registry.h"
#include "wcs/wcstext.h"

namespace {

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

// What the dialog remembers besides the index folder, in the solver's settings section.
constexpr const char* kUseScaleKey = "UseScale";
constexpr const char* kScaleLowKey = "ScaleLow";
constexpr const char* kScaleHighKey = "ScaleHigh";
constexpr const char* kRadiusKey = "Radius";
constexpr const char* kTimeoutKey = "Timeout";

// The stars handed to the solver: the positioning tool's detection at one standard
// deviation above the mean, as the command line uses it.
constexpr double kDetectFactor = 1.0;

QString HoursText(double degrees) {
  const WcsSexagesimal s = WcsSplitSexagesimal(degrees / 15.0, 2, 24);
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02d:%02d.%02lld", s.units, s.minutes, s.seconds,
                s.fraction);
  return QString::fromLatin1(text);
}

QString DegreesText(double degrees) {
  const WcsSexagesimal s = WcsSplitSexagesimal(degrees, 1);
  char text[32];
  std::snprintf(text, sizeof text, "%c%02lld:%02d:%02d.%01lld", s.negative ? '-' : '+', s.units,
                s.minutes, s.seconds, s.fraction);
  return QString::fromLatin1(text);
}

// The solver's share of the time allowed, shown in the bar.
class BarProgress : public ProgressSink {
 public:
  BarProgress(QProgressBar* bar, const std::function<void(int)>& told) : bar_(bar), told_(told) {}
  void Begin(const std::string&) override { bar_->setValue(0); }
  void Percent(int percent) override {
    bar_->setValue(percent);
    if (told_) told_(percent);
  }
  void End() override {}

 private:
  QProgressBar* bar_;
  const std::function<void(int)>& told_;
};

}  // namespace

CDlgPlateSolve::CDlgPlateSolve(CRalImage* image, QWidget* parent)
    : QDialog(parent), m_pImage(image) {
  setObjectName(QStringLiteral("PS_DIALOG"));
  setWindowTitle(Q(platesolve_text::kTitle));
  BuildUi();
  UpdateEnabling();
}

CDlgPlateSolve::~CDlgPlateSolve() = default;

void CDlgPlateSolve::BuildUi() {
  auto* top = new QVBoxLayout(this);
  auto spin = [this](const char* name, double low, double high, int decimals) {
    auto* s = new QDoubleSpinBox(this);
    s->setObjectName(QString::fromLatin1(name));
    s->setRange(low, high);
    s->setDecimals(decimals);
    return s;
  };

  // Where the frame points, when known: its own coordinates, else the telescope's cards.
  m_pHint = new QGroupBox(Q("位置のﾋﾝﾄ(&H)"), this);
  m_pHint->setObjectName(QStringLiteral("PS_GB_HINT"));
  m_pHint->setCheckable(true);
  auto* hint = new QFormLayout(m_pHint);
  m_pRa = new QLineEdit(m_pHint);
  m_pRa->setObjectName(QStringLiteral("PS_ED_RA"));
  m_pRa->setToolTip(Q("度、または 時:分:秒"));
  m_pDec = new QLineEdit(m_pHint);
  m_pDec->setObjectName(QStringLiteral("PS_ED_DEC"));
  m_pDec->setToolTip(Q("度、または 度:分:秒"));
  m_pRadius = spin("PS_ED_RADIUS", 0.1, 180.0, 1);
  hint->addRow(Q("赤経(&A):"), m_pRa);
  hint->addRow(Q("赤緯(&D):"), m_pDec);
  hint->addRow(Q("探索半径 [度](&U):"), m_pRadius);
  top->addWidget(m_pHint);

  m_pScale = new QGroupBox(Q("ｽｹｰﾙの範囲 [秒角/ﾋﾟｸｾﾙ](&C)"), this);
  m_pScale->setObjectName(QStringLiteral("PS_GB_SCALE"));
  m_pScale->setCheckable(true);
  auto* scale = new QHBoxLayout(m_pScale);
  m_pScaleLow = spin("PS_ED_SCALELOW", 0.01, 3600.0, 3);
  m_pScaleHigh = spin("PS_ED_SCALEHIGH", 0.01, 3600.0, 3);
  scale->addWidget(new QLabel(Q("下限:"), m_pScale));
  scale->addWidget(m_pScaleLow);
  scale->addWidget(new QLabel(Q("上限:"), m_pScale));
  scale->addWidget(m_pScaleHigh);
  top->addWidget(m_pScale);

  auto* form = new QFormLayout;
  m_pTimeout = new QSpinBox(this);
  m_pTimeout->setObjectName(QStringLiteral("PS_SP_TIMEOUT"));
  m_pTimeout->setRange(1, 3600);
  m_pTimeout->setSuffix(Q(" 秒"));
  form->addRow(Q("制限時間(&T):"), m_pTimeout);
  auto* folder = new QHBoxLayout;
  m_pIndex = new QLineEdit(this);
  m_pIndex->setObjectName(QStringLiteral("PS_ED_INDEX"));
  m_pBrowse = new QPushButton(Q("参照(&B)..."), this);
  m_pBrowse->setObjectName(QStringLiteral("PS_BTN_BROWSE"));
  m_pBrowse->setAutoDefault(false);
  folder->addWidget(m_pIndex, 1);
  folder->addWidget(m_pBrowse);
  form->addRow(Q("ｲﾝﾃﾞｯｸｽﾌｧｲﾙ(&I):"), folder);
  top->addLayout(form);

  m_pProgress = new QProgressBar(this);
  m_pProgress->setObjectName(QStringLiteral("PS_PROGRESS"));
  m_pProgress->setRange(0, 100);
  m_pProgress->setValue(0);
  top->addWidget(m_pProgress);
  m_pStatus = new QLabel(this);
  m_pStatus->setObjectName(QStringLiteral("PS_STATUS"));
  m_pStatus->setWordWrap(true);
  m_pStatus->setMinimumWidth(420);
  top->addWidget(m_pStatus);

  auto* buttons = new QHBoxLayout;
  m_pRun = new QPushButton(Q("実行(&R)"), this);
  m_pRun->setObjectName(QStringLiteral("PS_BTN_RUN"));
  m_pRun->setDefault(true);
  m_pStop = new QPushButton(Q("中断(&S)"), this);
  m_pStop->setObjectName(QStringLiteral("PS_BTN_STOP"));
  m_pStop->setAutoDefault(false);
  m_pClose = new QPushButton(Q("閉じる"), this);
  m_pClose->setObjectName(QStringLiteral("PS_BTN_CLOSE"));
  m_pClose->setAutoDefault(false);
  buttons->addStretch(1);
  buttons->addWidget(m_pRun);
  buttons->addWidget(m_pStop);
  buttons->addWidget(m_pClose);
  top->addLayout(buttons);

  // The values: the frame's own hint; the scale, radius, time and folder as last used.
  double ra = 0.0, dec = 0.0;
  const bool hinted = m_pImage && PlateSolveHint(*m_pImage, &ra, &dec);
  m_pHint->setChecked(hinted);
  if (hinted) {
    m_pRa->setText(HoursText(ra));
    m_pDec->setText(DegreesText(dec));
  }
  double radius = 2.0, low = 0.5, high = 5.0;
  int timeout = 60, useScale = 0;
  CRegistry::Read(kPlateSolveSection, kRadiusKey, radius, radius);
  CRegistry::Read(kPlateSolveSection, kScaleLowKey, low, low);
  CRegistry::Read(kPlateSolveSection, kScaleHighKey, high, high);
  CRegistry::Read(kPlateSolveSection, kUseScaleKey, 0, useScale, CRegistry::TYPE_BOOL);
  CRegistry::Read(kPlateSolveSection, kTimeoutKey, timeout, timeout, CRegistry::TYPE_INT);
  m_pRadius->setValue(radius);
  m_pScaleLow->setValue(low);
  m_pScaleHigh->setValue(high);
  m_pScale->setChecked(useScale != 0);
  m_pTimeout->setValue(timeout);
  m_pIndex->setText(QString::fromStdString(PlateSolveIndexDir("")));

  connect(m_pBrowse, &QPushButton::clicked, this, [this] {
    const QString dir =
        QFileDialog::getExistingDirectory(this, Q("ｲﾝﾃﾞｯｸｽﾌｧｲﾙのﾌｫﾙﾀﾞ"), m_pIndex->text());
    if (!dir.isEmpty()) m_pIndex->setText(dir);
  });
  connect(m_pRun, &QPushButton::clicked, this, [this] { Run(); });
  connect(m_pStop, &QPushButton::clicked, this, [this] { m_bStop = true; });
  connect(m_pClose, &QPushButton::clicked, this, [this] { reject(); });
}

void CDlgPlateSolve::UpdateEnabling() {
  const bool idle = !m_bRunning;
  for (QWidget* w :
       std::initializer_list<QWidget*>{m_pHint, m_pScale, m_pTimeout, m_pIndex, m_pBrowse, m_pRun})
    w->setEnabled(idle);
  m_pStop->setEnabled(m_bRunning);
}

bool CDlgPlateSolve::ReadOptions(PlateSolveOptions* o) {
  if (m_pHint->isChecked()) {
    double ra = 0.0, dec = 0.0;
    if (!PlateSolveParseRa(m_pRa->text().trimmed().toStdString(), &ra)) {
      m_pStatus->setText(Q(platesolve_text::kBadRa));
      m_pRa->setFocus();
      return false;
    }
    if (!PlateSolveParseDec(m_pDec->text().trimmed().toStdString(), &dec)) {
      m_pStatus->setText(Q(platesolve_text::kBadDec));
      m_pDec->setFocus();
      return false;
    }
    o->ra = ra;
    o->dec = dec;
    o->radius = m_pRadius->value();
  }
  if (m_pScale->isChecked()) {
    o->scaleLow = m_pScaleLow->value();
    o->scaleHigh = m_pScaleHigh->value();
  }
  o->timeout = m_pTimeout->value();
  o->indexDir = m_pIndex->text().trimmed().toStdString();
  if (const std::string why = PlateSolveCheckOptions(*o); !why.empty()) {
    m_pStatus->setText(QString::fromStdString(why));
    return false;
  }
  return true;
}

void CDlgPlateSolve::SaveSettings() const {
  CRegistry::Write(kPlateSolveSection, kRadiusKey, m_pRadius->value());
  CRegistry::Write(kPlateSolveSection, kScaleLowKey, m_pScaleLow->value());
  CRegistry::Write(kPlateSolveSection, kScaleHighKey, m_pScaleHigh->value());
  CRegistry::Write(kPlateSolveSection, kUseScaleKey, m_pScale->isChecked() ? 1 : 0,
                   CRegistry::TYPE_BOOL);
  CRegistry::Write(kPlateSolveSection, kTimeoutKey, m_pTimeout->value(), CRegistry::TYPE_INT);
  const std::string dir = m_pIndex->text().trimmed().toStdString();
  // The folder is stored only when it is not where it would be looked for anyway.
  if (dir != PlateSolveIndexDir(""))
    CRegistry::Write(kPlateSolveSection, kPlateSolveIndexDirKey, dir);
}

void CDlgPlateSolve::Run() {
  if (m_bRunning || !m_pImage) return;
  PlateSolveOptions options;
  if (!ReadOptions(&options)) return;
  m_bRunning = true;
  m_bStop = false;
  m_bCloseAfterRun = false;
  UpdateEnabling();
  m_pProgress->setValue(0);
  m_pStatus->setText(Q(platesolve_text::kDetecting));
  QCoreApplication::processEvents();
  const std::vector<PlateSolveStar> stars = PlateSolveDetect(*m_pImage, kDetectFactor);
  m_pStatus->setText(Q(platesolve_text::kSolving).arg(stars.size()));
  PlateSolution solution;
  std::string message;
  BarProgress progress(m_pProgress, onProgress);
  // The dialog stays alive while the solver runs: 中断, closing and repaints are handled
  // each time the solver is polled.
  m_nResult = PlateSolveStars(
      stars, m_pImage->GetWidth(), m_pImage->GetHeight(), options, &solution, &message, nullptr,
      [this] {
        QCoreApplication::processEvents();
        return m_bStop;
      },
      &progress);
  m_bRunning = false;
  UpdateEnabling();
  switch (m_nResult) {
    case PSOLVE_OK:
      m_Solution = std::move(solution);
      m_pProgress->setValue(100);
      m_pStatus->clear();
      SaveSettings();
      accept();
      return;
    case PSOLVE_CANCELLED:
      m_pStatus->setText(Q(platesolve_text::kStopped));
      break;
    case PSOLVE_NO_PROGRAM:
    case PSOLVE_NO_INDEX:
      // What to install: said where it cannot be missed.
      m_pStatus->setText(QString::fromStdString(message));
      AfxMessageBox(message, MB_OK | MB_ICONEXCLAMATION);
      break;
    default:
      m_pStatus->setText(Q(platesolve_text::kNotSolved).arg(QString::fromStdString(message)));
      break;
  }
  m_pProgress->setValue(0);
  if (m_bCloseAfterRun) QDialog::reject();
}

void CDlgPlateSolve::reject() {
  // During a run: stop it; the dialog closes once the solver has been stopped.
  if (m_bRunning) {
    m_bStop = true;
    m_bCloseAfterRun = true;
    return;
  }
  QDialog::reject();
}

void CDlgPlateSolve::closeEvent(QCloseEvent* event) {
  if (m_bRunning) {
    reject();
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

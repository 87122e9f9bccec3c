// CDlgLevel: levels per channel kept in a table of 24 doubles (current minimum and
// maximum, histogram range, and the levels at opening, for the combined channel and the
// three planes), one histogram bin and one slider step per pixel of the histogram's
// width, and the combined channel of a colour image spread over the planes by moving
// each plane's levels in proportion to its own range.
#include "dialogs/dlglevel.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "controls/dualslider.h"
#include "controls/histogramview.h"
#include "controls/spinedit.h"
#include "dialogs/dlgsupport.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"

namespace {

constexpr const char* kSection = "Dialog\\Level";
// The histogram's content: one bin and one slider step per pixel of its width.
constexpr int kHistogramWidth = 300;
constexpr int kHistogramHeight = 120;
constexpr int kLabelLength = 32;

using dlg::Format;
using dlg::Id;
using dlg::Q;

bool Parse(const QString& text, double* value) {
  bool ok = false;
  const double v = text.trimmed().toDouble(&ok);
  if (!ok || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

double Luminance(double r, double g, double b) {
  return 0.299 * r + 0.587 * g + 0.114 * b;
}

// The half-width given to a histogram range that has none, at the value's own scale (a
// fixed unit would dwarf fluxes of 1e-18 and vanish beside sums of 1e+20).
double SpanAround(double value) {
  const double size = std::fabs(value) * 0.2;
  return size > 0 && std::isfinite(size) ? size : 1.0;
}

using dlg::WaitCursor;

}  // namespace

CDlgLevel::CDlgLevel(QWidget* parent) : CVumPreviewDialog(kTemplateId, parent) {
  setWindowTitle(Q(level_text::kCaption));

  // Channel.
  auto* channelBox = new QGroupBox(Q("ﾁｬﾝﾈﾙ"), this);
  auto* channelLayout = new QHBoxLayout(channelBox);
  m_pChannel = new QButtonGroup(this);
  m_pChannel->setObjectName(Id(IDC_CHANNEL));
  const char* channels[] = {"RGB", "R", "G", "B"};
  for (int i = 0; i < 4; ++i) {
    auto* radio = new QRadioButton(Q(channels[i]), channelBox);
    radio->setObjectName(QStringLiteral("%1_%2").arg(IDC_CHANNEL).arg(i));
    m_pChannel->addButton(radio, i);
    channelLayout->addWidget(radio);
  }
  channelLayout->addStretch(1);

  // Histogram, its end labels and the slider under it, the slider's thumb centres
  // standing over the histogram's columns.
  m_pHistogram = new CHistogramView(this);
  m_pHistogram->setObjectName(Id(IDC_HISTOGRAM));
  const int frame = m_pHistogram->frameWidth();
  m_pHistogram->setFixedSize(kHistogramWidth + 2 * frame, kHistogramHeight + 2 * frame);

  m_pSlider = new CDualSlider(this);
  m_pSlider->setObjectName(Id(IDC_SLIDER));
  m_pSlider->SetRange(0, kHistogramWidth);
  const int handle = m_pSlider->style()->pixelMetric(QStyle::PM_SliderLength, nullptr, m_pSlider);
  int sliderWidth = kHistogramWidth + handle;
  m_pSlider->resize(sliderWidth, m_pSlider->sizeHint().height());
  // A style may inset the groove; widen the slider until its track is as long as the
  // histogram.
  sliderWidth += kHistogramWidth -
                 (m_pSlider->PositionToPixel(kHistogramWidth) - m_pSlider->PositionToPixel(0));
  m_pSlider->setFixedWidth(sliderWidth);
  const int inset = std::max(0, m_pSlider->PositionToPixel(0) - frame);

  m_pLowLabel = new QLineEdit(this);
  m_pLowLabel->setObjectName(Id(IDC_LOW_LABEL));
  m_pHighLabel = new QLineEdit(this);
  m_pHighLabel->setObjectName(Id(IDC_HIGH_LABEL));
  m_pHighLabel->setAlignment(Qt::AlignRight);
  for (QLineEdit* label : {m_pLowLabel, m_pHighLabel}) {
    label->setReadOnly(true);
    label->setFrame(false);
    label->setMaxLength(kLabelLength);
    label->setFocusPolicy(Qt::NoFocus);
    label->setFixedWidth(kHistogramWidth / 3);
    // Text on the dialog's own background, like a label.
    QPalette palette = label->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    label->setPalette(palette);
  }

  auto* histogramRow = new QHBoxLayout;
  histogramRow->addSpacing(inset);
  histogramRow->addWidget(m_pHistogram);
  histogramRow->addStretch(1);
  auto* labelRow = new QHBoxLayout;
  labelRow->addSpacing(inset);
  labelRow->addWidget(m_pLowLabel);
  labelRow->addStretch(1);
  labelRow->addWidget(m_pHighLabel);
  labelRow->addSpacing(std::max(0, sliderWidth - inset - m_pHistogram->width()));
  auto* histogramColumn = new QVBoxLayout;
  histogramColumn->setSpacing(2);
  histogramColumn->addLayout(histogramRow);
  histogramColumn->addLayout(labelRow);
  histogramColumn->addWidget(m_pSlider, 0, Qt::AlignLeft);

  // Histogram buttons.
  m_pEnlarge = new QPushButton(Q("拡大(&E)"), this);
  m_pEnlarge->setObjectName(Id(IDC_ENLARGE));
  m_pShrink = new QPushButton(Q("縮小(&S)"), this);
  m_pShrink->setObjectName(Id(IDC_SHRINK));
  m_pAuto = new QPushButton(Q("自動(&A)"), this);
  m_pAuto->setObjectName(Id(IDC_AUTO));
  auto* histogramButtons = new QVBoxLayout;
  for (QPushButton* b : {m_pEnlarge, m_pShrink, m_pAuto}) {
    b->setAutoDefault(false);
    histogramButtons->addWidget(b);
  }
  histogramButtons->addStretch(1);

  // Values.
  m_pMin = new CSpinEdit(this);
  m_pMin->setObjectName(Id(IDC_MIN));
  m_pMax = new CSpinEdit(this);
  m_pMax->setObjectName(Id(IDC_MAX));
  for (CSpinEdit* edit : {m_pMin, m_pMax}) edit->setMinimumWidth(120);
  auto* minLabel = new QLabel(Q("最小値(&N)："), this);
  minLabel->setBuddy(m_pMin);
  m_pMaxLabel = new QLabel(Q(level_text::kMaximumLabel), this);
  m_pMaxLabel->setObjectName(QStringLiteral("%1_label").arg(IDC_MAX));
  m_pMaxLabel->setBuddy(m_pMax);
  m_pUseRange = new QCheckBox(Q("ﾚﾝｼﾞ固定(&G)"), this);
  m_pUseRange->setObjectName(Id(IDC_USE_RANGE));
  auto* values = new QGridLayout;
  values->addWidget(minLabel, 0, 0);
  values->addWidget(m_pMin, 0, 1);
  values->addWidget(m_pMaxLabel, 1, 0);
  values->addWidget(m_pMax, 1, 1);
  values->addWidget(m_pUseRange, 1, 2);
  values->setColumnStretch(3, 1);

  QHBoxLayout* buttons = dlg::ButtonRow(this, PreviewCheckBox(), HelpButton());

  auto* middle = new QHBoxLayout;
  middle->addLayout(histogramColumn);
  middle->addLayout(histogramButtons);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(channelBox);
  layout->addLayout(middle);
  layout->addLayout(values);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(m_pChannel, &QButtonGroup::idClicked, this, &CDlgLevel::OnChannel);
  connect(m_pUseRange, &QCheckBox::clicked, this, &CDlgLevel::OnUseRange);
  connect(m_pSlider, &CDualSlider::firstMoved, this, &CDlgLevel::OnFirstMoved);
  connect(m_pSlider, &CDualSlider::secondMoved, this, &CDlgLevel::OnSecondMoved);
  connect(m_pMin, &CSpinEdit::editingFinished, this, &CDlgLevel::OnMinEdited);
  connect(m_pMax, &CSpinEdit::editingFinished, this, &CDlgLevel::OnMaxEdited);
  connect(m_pMin, &CSpinEdit::stepRequested, this, &CDlgLevel::OnMinSpin);
  connect(m_pMax, &CSpinEdit::stepRequested, this, &CDlgLevel::OnMaxSpin);
  connect(m_pEnlarge, &QPushButton::clicked, this, &CDlgLevel::OnEnlarge);
  connect(m_pShrink, &QPushButton::clicked, this, &CDlgLevel::OnShrink);
  connect(m_pAuto, &QPushButton::clicked, this, &CDlgLevel::OnAuto);
}

CDlgLevel::~CDlgLevel() = default;

void CDlgLevel::SetSpuitSamples(std::vector<CLevelSample> samples) {
  if (samples.size() > static_cast<std::size_t>(kMaxSamples)) samples.resize(kMaxSamples);
  m_Samples = std::move(samples);
}

// ---- opening

void CDlgLevel::OnInitDialog() {
  // Levels change no pixel.
  SetUndoPreparation(0);
  CVumPreviewDialog::OnInitDialog();

  m_nSliderWidth = std::max(1, m_pHistogram->ContentWidth());
  const CRalImage* image = m_pTarget;
  m_nPlanes = image && image->GetDimension() > 2 && image->GetPlanes() >= 3 ? 3 : 1;
  for (QAbstractButton* b : m_pChannel->buttons()) b->setEnabled(m_nPlanes == 3);
  m_nChannel = 0;

  LoadTableFromImage();
  const int channels = m_nPlanes == 3 ? 4 : 1;
  for (int c = 0; c < channels; ++c) {
    const double min = m_dTable[kCurMin + c];
    const double max = m_dTable[kCurMax + c];
    double margin = (max - min) * 0.2;
    if (!(margin > 0)) margin = SpanAround(max);  // no spread to widen
    m_dTable[kHistLow + c] = min - margin;
    m_dTable[kHistHigh + c] = max + margin;
    m_dTable[kOpenMin + c] = min;
    m_dTable[kOpenMax + c] = max;
  }

  m_pSlider->SetRange(0, m_nSliderWidth);
  m_pSlider->SetPositions(0, m_nSliderWidth);
  LoadChannel();
}

void CDlgLevel::LoadTableFromImage() {
  const CRalImage* image = m_pTarget;
  if (!image) {
    m_dTable[kCurMin] = 0.0;
    m_dTable[kCurMax] = 1.0;
    return;
  }
  if (m_nPlanes == 3) {
    for (int p = 0; p < 3; ++p) {
      m_dTable[kCurMin + 1 + p] = image->GetLevelMin(p);
      m_dTable[kCurMax + 1 + p] = image->GetLevelMax(p);
    }
    m_dTable[kCurMin] = Luminance(m_dTable[1], m_dTable[2], m_dTable[3]);
    m_dTable[kCurMax] = Luminance(m_dTable[5], m_dTable[6], m_dTable[7]);
  } else {
    m_dTable[kCurMin] = image->GetLevelMin(0);
    m_dTable[kCurMax] = image->GetLevelMax(0);
  }
}

// ---- the table and the channel

void CDlgLevel::StoreChannel() {
  m_dTable[kCurMin + m_nChannel] = m_dMin;
  m_dTable[kCurMax + m_nChannel] = CurMax();
  m_dTable[kHistLow + m_nChannel] = m_dLow;
  m_dTable[kHistHigh + m_nChannel] = m_dHigh;
}

void CDlgLevel::LoadChannel() {
  const int c = m_nChannel;
  m_dMin = m_dTable[kCurMin + c];
  const double max = m_dTable[kCurMax + c];
  m_dMax = m_bUseRange ? max - m_dMin : max;
  m_dLow = m_dTable[kHistLow + c];
  m_dHigh = m_dTable[kHistHigh + c];
  GrowRange(true);
  UpdateGap();
  ShowSlider();
  UpdateData(false);
  UpdateButtons();
}

void CDlgLevel::SpreadCombined() {
  const double lmin = Luminance(m_dTable[1], m_dTable[2], m_dTable[3]);
  const double lmax = Luminance(m_dTable[5], m_dTable[6], m_dTable[7]);
  if (!(lmax > lmin)) return;
  const double tmin = (m_dTable[kCurMin] - lmin) / (lmax - lmin);
  const double tmax = (m_dTable[kCurMax] - lmax) / (lmax - lmin);
  for (int c = 1; c <= 3; ++c) {
    const double min = m_dTable[kCurMin + c];
    const double max = m_dTable[kCurMax + c];
    m_dTable[kCurMin + c] = min + tmin * (max - min);
    m_dTable[kCurMax + c] = max + tmax * (max - min);
  }
}

void CDlgLevel::OnChannel(int channel) {
  if (channel < 0 || channel > 3 || channel == m_nChannel) return;
  UpdateData(true);
  StoreChannel();
  if (m_nPlanes == 3) {
    if (m_nChannel == 0) SpreadCombined();
    // The combined channel starts from what the planes hold now, so that choosing it
    // alone changes no plane.
    if (channel == 0) {
      m_dTable[kCurMin] = Luminance(m_dTable[1], m_dTable[2], m_dTable[3]);
      m_dTable[kCurMax] = Luminance(m_dTable[5], m_dTable[6], m_dTable[7]);
    }
  }
  m_nChannel = channel;
  LoadChannel();
}

// ---- positions and values

int CDlgLevel::ValueToPos(double value) const {
  if (!(m_dHigh > m_dLow)) return 0;
  const double pos = (value - m_dLow) / (m_dHigh - m_dLow) * m_nSliderWidth;
  if (!std::isfinite(pos)) return 0;
  return static_cast<int>(std::lround(std::clamp(pos, -1.0, m_nSliderWidth + 1.0)));
}

double CDlgLevel::PosToValue(int pos) const {
  const double step = (m_dHigh - m_dLow) / m_nSliderWidth;
  return CFltPtrCtrl::V(m_dLow + (m_dHigh - m_dLow) * pos / m_nSliderWidth, step);
}

double CDlgLevel::SpinStep() const {
  // The gap is ten slider steps: a power of ten at or below it moves a level by one to
  // ten pixels of the histogram.
  if (m_dGap >= 1.0 && m_dGap <= 1e6) return 1.0;
  if (!(m_dGap > 0) || !std::isfinite(m_dGap)) return 1.0;
  return std::pow(10.0, std::floor(std::log10(m_dGap)));
}

void CDlgLevel::UpdateGap() {
  m_dGap = (m_dHigh - m_dLow) / m_nSliderWidth * 10.0;
  if (m_dGap > 1.0) m_dGap = std::floor(m_dGap);
}

void CDlgLevel::ShowSlider() {
  const int first = ValueToPos(m_dMin);
  const int second = ValueToPos(CurMax());
  m_pSlider->SetPositions(first, second);
  m_pHistogram->SetLevelPositions(first, second);
}

void CDlgLevel::UpdateButtons() {
  m_pEnlarge->setEnabled(m_dHigh - m_dLow > CurMax() - m_dMin);
  m_pShrink->setEnabled(m_pSlider->GetSecondPos() - m_pSlider->GetFirstPos() > 10);
}

void CDlgLevel::GrowRange(bool force) {
  const double low = std::min(m_dLow, m_dMin);
  const double high = std::max(m_dHigh, CurMax());
  const bool changed = low != m_dLow || high != m_dHigh;
  m_dLow = low;
  m_dHigh = high;
  if (!(m_dHigh > m_dLow)) m_dHigh = m_dLow + SpanAround(m_dLow);
  m_dTable[kHistLow + m_nChannel] = m_dLow;
  m_dTable[kHistHigh + m_nChannel] = m_dHigh;
  if (changed || force) ComputeHistogram();
}

void CDlgLevel::ComputeHistogram() {
  CFltPtrCtrl text;
  const double step = (m_dHigh - m_dLow) / m_nSliderWidth;
  m_pLowLabel->setText(QString::fromUtf8(text.Str(m_dLow, step)).left(kLabelLength));
  m_pHighLabel->setText(QString::fromUtf8(text.Str(m_dHigh, step)).left(kLabelLength));

  std::vector<std::pair<int, int>> markers;
  for (const CLevelSample& sample : m_Samples) {
    const double v = sample.value[static_cast<std::size_t>(m_nChannel)];
    if (v >= m_dLow && v <= m_dHigh) markers.emplace_back(sample.number, ValueToPos(v));
  }
  m_pHistogram->SetMarkers(std::move(markers));

  if (!m_pTarget || m_pTarget->IsEmpty()) {
    m_pHistogram->SetCounts({});
    return;
  }
  if (m_bHistogramPending) return;  // the queued count will use the range as it is then
  // The first count, and any after a slow one, say that the user has to wait.
  if (!m_bHistogramDone || m_nLastHistogramMs >= 1000) {
    m_pHistogram->SetBusyText(Q(level_text::kHistogramBusy));
    if (!isVisible()) {
      // Not shown yet (the opening): the dialog comes up with the text, and the count
      // follows from the event loop.
      m_bHistogramPending = true;
      QMetaObject::invokeMethod(
          this,
          [this] {
            if (!m_bHistogramPending) return;
            m_bHistogramPending = false;
            if (m_pHistogram->isVisible()) m_pHistogram->repaint();
            CountHistogram();
          },
          Qt::QueuedConnection);
      return;
    }
    m_pHistogram->repaint();
  }
  CountHistogram();
}

void CDlgLevel::CountHistogram() {
  if (!m_pTarget) return;
  QElapsedTimer timer;
  timer.start();
  // The combined channel of a colour image counts the luminance.
  const int mode = m_nPlanes == 3 && m_nChannel == 0 ? 1 : 0;
  const int plane = m_nPlanes == 3 && m_nChannel > 0 ? m_nChannel - 1 : 0;
  std::vector<std::uint32_t> counts;
  if (!m_pTarget->GetHistGram(mode, plane, m_dLow, m_dHigh, m_nSliderWidth, &counts))
    counts.clear();
  m_nLastHistogramMs = timer.elapsed();
  m_bHistogramDone = true;
  m_pHistogram->SetCounts(std::move(counts));
}

// ---- changes

void CDlgLevel::Apply(double min, double max) {
  m_dMin = min;
  m_dMax = m_bUseRange ? max - min : max;
  GrowRange(false);
  StoreChannel();
  UpdateGap();
  ShowSlider();
  UpdateData(false);
  UpdateButtons();
  RestartPreview();
}

void CDlgLevel::OnFirstMoved(int pos) {
  const double max = CurMax();
  const double min = std::min(PosToValue(pos), max - m_dGap);
  Apply(min, m_bUseRange ? min + m_dMax : max);
}

void CDlgLevel::OnSecondMoved(int pos) {
  Apply(m_dMin, std::max(PosToValue(pos), m_dMin + m_dGap));
}

void CDlgLevel::OnMinSpin(int steps) {
  UpdateData(true);
  const double max = CurMax();
  const double min = std::min(m_dMin + steps * SpinStep(), max - m_dGap);
  Apply(min, m_bUseRange ? min + m_dMax : max);
}

void CDlgLevel::OnMaxSpin(int steps) {
  UpdateData(true);
  Apply(m_dMin, std::max(CurMax() + steps * SpinStep(), m_dMin + m_dGap));
}

void CDlgLevel::OnMinEdited() {
  const double min = m_dMin, max = CurMax();
  UpdateData(true);
  if (m_dMin == min && CurMax() == max) return;
  Apply(m_dMin, CurMax());
}

void CDlgLevel::OnMaxEdited() {
  OnMinEdited();
}

void CDlgLevel::OnUseRange(bool on) {
  UpdateData(true);
  const double max = CurMax();
  m_bUseRange = on ? 1 : 0;
  m_dMax = m_bUseRange ? max - m_dMin : max;
  UpdateData(false);
}

void CDlgLevel::OnEnlarge() {
  UpdateData(true);
  const double max = CurMax();
  const double centre = (m_dMin + max) / 2.0;
  const double half = (m_dHigh - m_dLow) / 4.0;
  m_dLow = std::min(centre - half, m_dMin);
  m_dHigh = std::max(centre + half, max);
  GrowRange(true);
  UpdateGap();
  ShowSlider();
  UpdateButtons();
}

void CDlgLevel::OnShrink() {
  UpdateData(true);
  const double d = (m_dHigh - m_dLow) * 0.2;
  m_dLow -= d;
  m_dHigh += d;
  GrowRange(true);
  UpdateGap();
  ShowSlider();
  UpdateButtons();
}

void CDlgLevel::OnAuto() {
  if (!m_pTarget) return;
  {
    WaitCursor wait;
    (void)CPrcAutoLevel::Do(*m_pTarget, nullptr);
  }
  LoadTableFromImage();
  LoadChannel();
  RestartPreview();
}

// ---- framework

void CDlgLevel::DoDataExchange(bool save) {
  CVumPreviewDialog::DoDataExchange(save);
  if (save) {
    // A field is taken only when its text was changed, so that a value with more digits
    // than shown keeps them.
    double v = 0.0;
    if (m_pMin->Text() != Format(m_dMin) && Parse(m_pMin->Text(), &v)) m_dMin = v;
    if (m_pMax->Text() != Format(m_dMax) && Parse(m_pMax->Text(), &v)) m_dMax = v;
    return;
  }
  m_pMin->SetText(Format(m_dMin));
  m_pMax->SetText(Format(m_dMax));
  m_pMaxLabel->setText(Q(m_bUseRange ? level_text::kRangeLabel : level_text::kMaximumLabel));
  {
    const QSignalBlocker block(m_pUseRange);
    m_pUseRange->setChecked(m_bUseRange != 0);
  }
  if (QAbstractButton* b = m_pChannel->button(m_nChannel)) {
    const QSignalBlocker block(m_pChannel);
    b->setChecked(true);
  }
}

void CDlgLevel::UpdateRegistry(int write, const char* /*section*/) {
  CVumPreviewDialog::UpdateRegistry(write, kSection);
  UpdateReg(kSection, "UseRange", write, m_bUseRange, CRegistry::TYPE_INT, 0);
}

int CDlgLevel::ImageProc(RECT* /*rect*/, int /*final*/) {
  // Levels belong to the whole image; a preview band sets them like the final run.
  if (!m_pTarget) return 1;
  StoreChannel();
  auto valid = [this](int c) { return m_dTable[kCurMax + c] > m_dTable[kCurMin + c]; };
  if (m_nPlanes == 1) {
    if (valid(0)) m_pTarget->SetLevel(0, m_dTable[kCurMin], m_dTable[kCurMax]);
    return 1;
  }
  if (m_nChannel == 0) {
    if (!valid(0) || !valid(1) || !valid(2) || !valid(3)) return 1;
    const double lmin = Luminance(m_dTable[1], m_dTable[2], m_dTable[3]);
    const double lmax = Luminance(m_dTable[5], m_dTable[6], m_dTable[7]);
    const double tmin = (m_dTable[kCurMin] - lmin) / (lmax - lmin);
    const double tmax = (m_dTable[kCurMax] - lmax) / (lmax - lmin);
    for (int p = 0; p < 3; ++p) {
      const double min = m_dTable[kCurMin + 1 + p];
      const double max = m_dTable[kCurMax + 1 + p];
      m_pTarget->SetLevel(p, min + tmin * (max - min), max + tmax * (max - min));
    }
    return 1;
  }
  if (!valid(m_nChannel)) return 1;
  // Every plane from its entries: the chosen one, and the others as earlier changes in
  // this dialog left them (their opening levels when untouched).
  for (int p = 0; p < 3; ++p)
    if (valid(1 + p)) m_pTarget->SetLevel(p, m_dTable[kCurMin + 1 + p], m_dTable[kCurMax + 1 + p]);
  return 1;
}

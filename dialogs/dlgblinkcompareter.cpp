// The preview is the average of the source (the undo image) and the other image at the
// shift and rotation. The second frame of the blink is the weighted composite at rate 1,
// which is the other image alone resampled onto the source's grid; where it does not
// reach, the source's values stay, so the frames differ only where the images do.
#include "dialogs/dlgblinkcompareter.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "controls/directionbutton.h"
#include "controls/spinedit.h"
#include "dialogs/comboimage.h"
#include "dialogs/dlgcomposit.h"
#include "dialogs/dlgsupport.h"
#include "engine/imgcomposit.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"

namespace {

using dlg::Buddy;
using dlg::Format;
using dlg::Id;
using dlg::MakeSpin;
using dlg::Q;
using dlg::ReadValue;

constexpr const char* kHistoryKey = "BlinkFile";
constexpr double kShiftLimit = CDlgComposit::kShiftLimit;
constexpr int kBlinkCaptionId = 2343;

}  // namespace

CDlgBlinkCompareter::CDlgBlinkCompareter(QWidget* parent) : CVumPreviewDialog(kTemplateId, parent) {
  setWindowTitle(Q(blinkcmp_text::kCaption));

  m_pImage = new CComboImage(this);
  m_pImage->setObjectName(Id(IDC_IMAGE));
  m_pShiftX = MakeSpin(this, IDC_SHIFT_X);
  m_pShiftY = MakeSpin(this, IDC_SHIFT_Y);
  m_pRotation = MakeSpin(this, IDC_ROTATION);
  m_pDirection = new CDirectionButton(this);
  m_pDirection->setObjectName(Id(IDC_DIRECTION));
  m_pStart = new QPushButton(Q(blinkcmp_text::kStart), this);
  m_pStart->setObjectName(Id(IDC_START));
  m_pStart->setAutoDefault(false);

  auto* top = new QHBoxLayout;
  top->addWidget(Buddy(this, blinkcmp_text::kImageLabel, m_pImage));
  top->addWidget(m_pImage, 1);

  auto* place = new QGridLayout;
  place->addWidget(Buddy(this, composit_text::kShiftXLabel, m_pShiftX), 0, 0);
  place->addWidget(m_pShiftX, 0, 1);
  place->addWidget(new QLabel(Q(composit_text::kPixelUnit), this), 0, 2);
  place->addWidget(Buddy(this, composit_text::kShiftYLabel, m_pShiftY), 1, 0);
  place->addWidget(m_pShiftY, 1, 1);
  place->addWidget(new QLabel(Q(composit_text::kPixelUnit), this), 1, 2);
  place->addWidget(Buddy(this, composit_text::kRotationLabel, m_pRotation), 2, 0);
  place->addWidget(m_pRotation, 2, 1);
  place->addWidget(new QLabel(Q(composit_text::kDegreeUnit), this), 2, 2);
  place->addWidget(m_pDirection, 0, 3, 3, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(place);
  layout->addWidget(PreviewCheckBox());
  layout->addLayout(dlg::ButtonRow(this, m_pStart, HelpButton()));
  layout->setSizeConstraint(QLayout::SetFixedSize);

  m_Timer.setSingleShot(false);
  connect(&m_Timer, &QTimer::timeout, this, &CDlgBlinkCompareter::OnTick);
  connect(m_pStart, &QPushButton::clicked, this, &CDlgBlinkCompareter::OnStart);
  connect(m_pImage, &QComboBox::currentIndexChanged, this, [this] { Changed(); });
  connect(m_pDirection, &CDirectionButton::DirectionPressed, this,
          &CDlgBlinkCompareter::OnDirection);
  connect(m_pShiftX, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pShiftX, &m_dShiftX, steps, -kShiftLimit, kShiftLimit); });
  connect(m_pShiftY, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pShiftY, &m_dShiftY, steps, -kShiftLimit, kShiftLimit); });
  connect(m_pRotation, &CSpinEdit::stepRequested, this,
          [this](int steps) { OnSpin(m_pRotation, &m_dRotation, steps, -360.0, 360.0); });
  for (CSpinEdit* edit : {m_pShiftX, m_pShiftY, m_pRotation})
    connect(edit, &CSpinEdit::textEdited, this, [this] { Changed(); });
}

CDlgBlinkCompareter::~CDlgBlinkCompareter() {
  m_Timer.stop();
}

void CDlgBlinkCompareter::OnInitDialog() {
  m_bLoading = true;
  CVumPreviewDialog::OnInitDialog();
  m_bLoading = false;
}

void CDlgBlinkCompareter::UpdateRegistry(int write, const char* /*section*/) {
  CVumPreviewDialog::UpdateRegistry(write, kSection);
  UpdateReg(kSection, "Wait", write, m_nWait, CRegistry::TYPE_INT, 500);
  if (write) {
    m_pImage->WriteHistory(kSection, kHistoryKey);
  } else {
    m_nWait = std::max(1, m_nWait);
    const bool loading = m_bLoading;
    m_bLoading = true;
    m_pImage->ReadHistory(kSection, kHistoryKey);
    // The image's own window is the source, not a choice; another is offered first.
    if (m_pDocument && m_pImage->GetDocument() == m_pDocument)
      for (int i = 0; i < m_pImage->count(); ++i)
        if (i != m_pImage->currentIndex()) {
          m_pImage->setCurrentIndex(i);
          break;
        }
    m_bLoading = loading;
  }
}

void CDlgBlinkCompareter::DoDataExchange(bool save) {
  CVumPreviewDialog::DoDataExchange(save);
  if (save) {
    m_dShiftX = std::clamp(ReadValue(m_pShiftX, m_dShiftX), -kShiftLimit, kShiftLimit);
    m_dShiftY = std::clamp(ReadValue(m_pShiftY, m_dShiftY), -kShiftLimit, kShiftLimit);
    m_dRotation = std::clamp(ReadValue(m_pRotation, m_dRotation), -360.0, 360.0);
  } else {
    const bool loading = m_bLoading;
    m_bLoading = true;
    m_pShiftX->SetText(Format(m_dShiftX));
    m_pShiftY->SetText(Format(m_dShiftY));
    m_pRotation->SetText(Format(m_dRotation));
    m_bLoading = loading;
  }
}

void CDlgBlinkCompareter::OnDirection(int direction, double step) {
  if (CDlgComposit::MoveShift(m_pShiftX, m_pShiftY, &m_dShiftX, &m_dShiftY, direction, step))
    Changed();
}

void CDlgBlinkCompareter::OnSpin(CSpinEdit* edit, double* value, int steps, double low,
                                 double high) {
  CDlgComposit::SpinValue(edit, value, steps, low, high);
  Changed();
}

void CDlgBlinkCompareter::Changed() {
  // While blinking the frames stay as they were made.
  if (m_bLoading || IsClosed() || IsRunning()) return;
  RestartPreview();
}

CRalImage* CDlgBlinkCompareter::Source() const {
  return m_pUndo && !m_pUndo->IsEmpty() ? m_pUndo : m_pTarget;
}

const CRalImage* CDlgBlinkCompareter::Other() const {
  CVumDocument* otherDoc = m_pImage->GetDocument();
  return otherDoc && otherDoc == m_pDocument ? Source() : m_pImage->GetImage(0);
}

int CDlgBlinkCompareter::ImageProc(RECT* rect, int final) {
  if (!m_pTarget) return 1;
  CRalImage* source = Source();
  const CRalImage* other = Other();
  int done = 0;
  if (other && source != m_pTarget)
    done = CImgComposit(*m_pTarget)
               .Do(source, other, m_dShiftX, m_dShiftY, m_dRotation, CImgComposit::kAverage, 0.0, 0,
                   0, 0.0, 0, rect, final, -1);
  if (!done && source != m_pTarget) {
    // Nothing to combine with: the rows keep the source's values.
    const int top = rect ? std::max(0, static_cast<int>(rect->top)) : 0;
    const int bottom = rect ? std::min(m_pTarget->GetHeight(), static_cast<int>(rect->bottom))
                            : m_pTarget->GetHeight();
    std::vector<double> row(static_cast<std::size_t>(std::max(0, m_pTarget->GetWidth())));
    for (int p = 0; p < m_pTarget->GetPlanes(); ++p)
      for (int y = top; y < bottom; ++y)
        if (!source->GetPhysicalRow(y, p, row.data()) ||
            !m_pTarget->SetPhysicalRow(y, p, row.data()))
          return 0;
  }
  return 1;
}

void CDlgBlinkCompareter::OnStart() {
  if (IsRunning())
    Stop();
  else
    Start();
}

void CDlgBlinkCompareter::Start() {
  if (!m_pTarget || m_pTarget->IsEmpty() || IsRunning()) return;
  UpdateData(true);
  // The preview is switched off: the target shows the source itself as the first frame.
  m_bPreviewBefore = m_bPreview;
  m_bPreview = 0;
  {
    const QSignalBlocker block(PreviewCheckBox());
    PreviewCheckBox()->setChecked(false);
  }
  CRalImage* source = Source();
  ProgressSink* progress = CRalImageIO::GetProgressSink();
  if (source != m_pTarget) {
    dlg::WaitCursor wait;
    if (!m_pTarget->CopyImage(*source, progress, blinkcmp_text::kPreparing)) {
      Stop();
      return;
    }
  }
  m_bPreviewApplied = 0;
  if (m_pDocument) m_pDocument->UpdateAllVumViews();
  // The second frame: the other image alone on the source's grid.
  const CRalImage* other = Other();
  auto second = std::make_unique<CRalImage>(*source);
  int done = 0;
  if (other && !second->IsEmpty()) {
    dlg::WaitCursor wait;
    second->SetProgressSink(progress);
    done = CImgComposit(*second).Do(source, other, m_dShiftX, m_dShiftY, m_dRotation,
                                    CImgComposit::kWeighted, 1.0, 0, 0, 0.0, 0, nullptr, 1,
                                    kBlinkCaptionId);
    second->SetProgressSink(nullptr);
  }
  if (!done) {
    Stop();
    return;
  }
  m_pSecond = std::move(second);
  m_nFrame = 0;
  m_pStart->setText(Q(blinkcmp_text::kStop));
  emit startBlink(m_pTarget, m_pSecond.get());
  m_Timer.start(m_nWait);
}

void CDlgBlinkCompareter::OnTick() {
  m_nFrame = 1 - m_nFrame;
  emit showFrame(m_nFrame);
}

void CDlgBlinkCompareter::Stop() {
  const bool wasRunning = IsRunning();
  m_Timer.stop();
  if (wasRunning || m_pSecond) emit endBlink();
  m_pSecond.reset();
  m_nFrame = 0;
  m_pStart->setText(Q(blinkcmp_text::kStart));
  // The flag comes back; the target keeps showing the source until a setting changes.
  m_bPreview = m_bPreviewBefore;
  const QSignalBlocker block(PreviewCheckBox());
  PreviewCheckBox()->setChecked(m_bPreview != 0);
}

void CDlgBlinkCompareter::OnOK() {
  if (IsRunning()) Stop();
  CVumPreviewDialog::OnOK();
}

void CDlgBlinkCompareter::OnCancel() {
  if (IsRunning()) Stop();
  CVumPreviewDialog::OnCancel();
}

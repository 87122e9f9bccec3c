#include "app/barimage.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>

#include "app/kivimagedoc.h"
#include "app/kivimageview.h"
#include "controls/dualslider.h"
#include "display/qt/ralimgwnd.h"
#include "engine/valuestep.h"
#include "platform/clocale.h"

namespace {

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

// A 16 × 16 magnifier with a plus or a minus.
QIcon ZoomIcon(bool in) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::black, 1.5));
  p.drawEllipse(QRectF(1.5, 1.5, 9, 9));
  p.setPen(QPen(Qt::black, 2.5));
  p.drawLine(QPointF(9.5, 9.5), QPointF(14.5, 14.5));
  p.setPen(QPen(Qt::black, 1.5));
  p.drawLine(QPointF(3.5, 6), QPointF(8.5, 6));
  if (in) p.drawLine(QPointF(6, 3.5), QPointF(6, 8.5));
  return QIcon(pixmap);
}

// A button that triggers action and is enabled with it.
template <typename Button>
void TriggerAndFollow(Button* button, QAction* action) {
  button->setEnabled(action->isEnabled());
  QObject::connect(action, &QAction::changed, button,
                   [button, action] { button->setEnabled(action->isEnabled()); });
  QObject::connect(button, &QAbstractButton::clicked, action, [action] { action->trigger(); });
}

}  // namespace

CBarImage::CBarImage(QWidget* parent)
    : QToolBar(parent),
      m_pColor(new QComboBox(this)),
      m_pLog(new QCheckBox(Q(kLogText), this)),
      m_pSlider(new CDualSlider(this)),
      m_pMin(new QLineEdit(this)),
      m_pMax(new QLineEdit(this)),
      m_pAutoLevel(new QPushButton(Q(kAutoLevelText), this)),
      m_pHideMarks(new QPushButton(Q(kHideMarksText), this)) {
  setObjectName(QStringLiteral("barImage"));
  setWindowTitle(QStringLiteral("Image"));
  m_pColor->setObjectName(QString::number(IDC_COLOR_MODE));
  m_pColor->setFixedWidth(160);
  m_pColor->setMaxVisibleItems(12);
  m_pLog->setObjectName(QStringLiteral("4554"));
  m_pLog->setFixedWidth(56);
  for (QLineEdit* edit : {m_pMin, m_pMax}) {
    edit->setMaxLength(kEditChars);
    edit->setFixedWidth(80);
  }
  m_pMin->setObjectName(QString::number(IDC_LEVEL_MIN));
  m_pMax->setObjectName(QString::number(IDC_LEVEL_MAX));
  m_pSlider->setObjectName(QString::number(IDC_SLIDER));
  m_pSlider->setFixedWidth(300);
  m_pSlider->SetRange(0, kSliderMax);
  m_pSlider->SetCrossing(true);
  m_pAutoLevel->setObjectName(QStringLiteral("4526"));
  m_pAutoLevel->setFixedWidth(86);
  m_pHideMarks->setObjectName(QStringLiteral("4509"));
  m_pHideMarks->setFixedWidth(100);
  // The buttons no taller than the edit boxes: the bar keeps one height whether or not
  // they fit beside the slider or wait behind the bar's extension button.
  for (QPushButton* b : {m_pAutoLevel, m_pHideMarks}) {
    b->setFocusPolicy(Qt::NoFocus);
    b->setFixedHeight(m_pMin->sizeHint().height());
  }

  connect(m_pColor, &QComboBox::activated, this, &CBarImage::OnColorChosen);
  connect(m_pSlider, &CDualSlider::firstMoved, this, [this](int pos) { OnThumbMoved(true, pos); });
  connect(m_pSlider, &CDualSlider::secondMoved, this,
          [this](int pos) { OnThumbMoved(false, pos); });
  connect(m_pMin, &QLineEdit::textEdited, this, [this] { OnLevelTyped(true); });
  connect(m_pMax, &QLineEdit::textEdited, this, [this] { OnLevelTyped(false); });
  connect(m_pMin, &QLineEdit::editingFinished, this, [this] { OnLevelFinished(true); });
  connect(m_pMax, &QLineEdit::editingFinished, this, [this] { OnLevelFinished(false); });
  Bind(nullptr);
}

void CBarImage::SetCommands(QAction* zoomIn, QAction* zoomOut, QAction* logScale,
                            QAction* autoLevel, QAction* hideMarks) {
  const auto tool = [this](QAction* action, int id, bool in) {
    auto* button = new QToolButton(this);
    button->setObjectName(QString::number(id));
    button->setIcon(ZoomIcon(in));
    button->setIconSize(QSize(16, 16));
    button->setToolTip(action->text());
    button->setFocusPolicy(Qt::NoFocus);
    TriggerAndFollow(button, action);
    return button;
  };
  clear();
  m_pZoomIn = tool(zoomIn, 4545, true);
  m_pZoomOut = tool(zoomOut, 4546, false);
  addWidget(m_pZoomIn);
  addWidget(m_pZoomOut);
  addSeparator();
  addWidget(m_pColor);
  addWidget(m_pLog);
  addWidget(m_pMin);
  addWidget(m_pSlider);
  addWidget(m_pMax);
  addWidget(m_pAutoLevel);
  addWidget(m_pHideMarks);
  m_pLogAction = logScale;
  // The box shows the window's state; a click asks the menu's command to change it.
  connect(m_pLog, &QCheckBox::clicked, this, [this] {
    if (m_pLogAction) m_pLogAction->trigger();
    Refresh();
  });
  TriggerAndFollow(m_pAutoLevel, autoLevel);
  // The hide button stays pressed while the marks are hidden: it shows the command's
  // check, whatever changed it (the menu, a click that showed the marks again, another
  // window becoming active).
  m_pHideMarks->setEnabled(hideMarks->isEnabled());
  m_pHideMarks->setCheckable(true);
  m_pHideMarks->setChecked(hideMarks->isChecked());
  connect(hideMarks, &QAction::changed, m_pHideMarks, [this, hideMarks] {
    m_pHideMarks->setEnabled(hideMarks->isEnabled());
    m_pHideMarks->setChecked(hideMarks->isChecked());
  });
  connect(m_pHideMarks, &QAbstractButton::clicked, hideMarks, [this, hideMarks] {
    hideMarks->trigger();
    m_pHideMarks->setChecked(hideMarks->isChecked());
  });
}

CRalImgWnd* CBarImage::Window() const {
  if (!m_pView || !m_pView->GetDocument()) return nullptr;
  CRalImgWnd* wnd = &m_pView->GetImgWnd();
  return wnd->GetImagePtr() ? wnd : nullptr;
}

void CBarImage::Follow(CKivImageView* view) {
  const CRalImgWnd* wnd = view && view->GetDocument() ? &view->GetImgWnd() : nullptr;
  const void* image = wnd ? wnd->GetImagePtr() : nullptr;
  if (view != m_pView || image != m_pBoundImage)
    Bind(view);
  else
    Refresh();
}

void CBarImage::Bind(CKivImageView* view) {
  m_pView = view;
  CRalImgWnd* wnd = Window();
  m_pBoundImage = wnd ? wnd->GetImagePtr() : nullptr;
  for (QWidget* w : std::initializer_list<QWidget*>{m_pColor, m_pLog, m_pSlider, m_pMin, m_pMax})
    w->setEnabled(wnd != nullptr);
  FillColorList();
  if (wnd) wnd->UpdateLevelSliderRange();
  Refresh();
}

void CBarImage::FillColorList() {
  const CRalImgWnd* wnd = Window();
  const CRalImage* image = wnd ? wnd->GetImagePtr() : nullptr;
  m_Entries = image ? ColorEntries(image->GetPlanes() >= 3, image->IsSpectrumFalseColorSupported())
                    : std::vector<ColorEntry>{};
  const QSignalBlocker block(m_pColor);
  m_pColor->clear();
  for (const ColorEntry& e : m_Entries) m_pColor->addItem(Q(e.text));
}

void CBarImage::Refresh() {
  CRalImgWnd* wnd = Window();
  {
    const QSignalBlocker block(m_pColor);
    int current = -1;
    if (wnd) {
      const int mode = wnd->GetColorMode(), type = wnd->GetColorType();
      for (std::size_t i = 0; i < m_Entries.size(); ++i) {
        const ColorEntry& e = m_Entries[i];
        // Only the false-colour modes tell their palettes apart.
        const bool typed = e.mode == CImageBuffer::CM_FALSE_COLOR ||
                           e.mode == CImageBuffer::CM_FALSE_COLOR_NEGATIVE;
        if (e.mode == mode && (!typed || e.type == type)) {
          current = static_cast<int>(i);
          break;
        }
      }
    }
    m_pColor->setCurrentIndex(current);
  }
  m_pLog->setChecked(wnd && wnd->IsLogScale());
  ShowLevels(true);
}

void CBarImage::ShowLevels(bool retakeSpan) {
  CRalImgWnd* wnd = Window();
  if (!wnd) {
    m_nLower = kIdleLower;
    m_nUpper = kIdleUpper;
    m_pSlider->SetPositions(m_nLower, m_nUpper);
    m_sLastMin.clear();
    m_sLastMax.clear();
    m_pMin->clear();
    m_pMax->clear();
    return;
  }
  float min = 0, max = 0, low = 0, high = 0;
  wnd->GetLevel(&min, &max);
  wnd->GetLevelSliderRange(&low, &high);
  if (retakeSpan && (min < low || max > high)) {
    // A command took the levels off the slider: the span is taken around them again.
    wnd->UpdateLevelSliderRange();
    wnd->GetLevelSliderRange(&low, &high);
  }
  m_nLower = SliderPos(min, low, high);
  m_nUpper = SliderPos(max, low, high);
  m_pSlider->SetPositions(m_nLower, m_nUpper);
  m_sLastMin = QString::fromStdString(LevelText(min));
  m_sLastMax = QString::fromStdString(LevelText(max));
  if (!m_bInMin) m_pMin->setText(m_sLastMin);
  if (!m_bInMax) m_pMax->setText(m_sLastMax);
}

void CBarImage::OnColorChosen(int index) {
  CRalImgWnd* wnd = Window();
  if (!wnd || index < 0 || index >= static_cast<int>(m_Entries.size())) return;
  const ColorEntry& e = m_Entries[index];
  (void)wnd->SetColorMode(static_cast<CImageBuffer::COLOR_MODE>(e.mode),
                          static_cast<CImageBuffer::COLOR_TYPE>(e.type));
  emit colorModeChanged();
}

// The window is told how far the thumb went in percent of the span between the lower
// thumb and the upper one as they stood; with no span between them the slider's own
// scale gives the level.
void CBarImage::OnThumbMoved(bool lowerThumb, int pos) {
  CRalImgWnd* wnd = Window();
  if (!wnd) return;
  const int moved = lowerThumb ? LowerThumb(pos, m_nUpper) : UpperThumb(pos, m_nLower);
  const int before = lowerThumb ? m_nLower : m_nUpper;
  if (m_nUpper != m_nLower) {
    const double percent = static_cast<double>(moved - m_nLower) / (m_nUpper - m_nLower) * 100.0;
    (void)wnd->OnVumMessage(CRalImgWnd::WM_LEVEL_SLIDER, lowerThumb ? 1 : 0,
                            reinterpret_cast<std::intptr_t>(&percent));
  } else if (moved != before) {
    float min = 0, max = 0, low = 0, high = 0;
    wnd->GetLevel(&min, &max);
    wnd->GetLevelSliderRange(&low, &high);
    const auto level =
        static_cast<float>(low + (static_cast<double>(high) - low) * moved / kSliderMax);
    if (lowerThumb)
      wnd->SetLevel(level, max);
    else
      wnd->SetLevel(min, level);
    wnd->Update(1);
  }
  (lowerThumb ? m_nLower : m_nUpper) = moved;
  m_pSlider->SetPositions(m_nLower, m_nUpper);
  float min = 0, max = 0;
  wnd->GetLevel(&min, &max);
  m_sLastMin = QString::fromStdString(LevelText(min));
  m_sLastMax = QString::fromStdString(LevelText(max));
  m_pMin->setText(m_sLastMin);
  m_pMax->setText(m_sLastMax);
  emit levelsChanged();
}

void CBarImage::OnLevelTyped(bool minimum) {
  bool& guard = minimum ? m_bInMin : m_bInMax;
  if (guard) return;
  CRalImgWnd* wnd = Window();
  QLineEdit* edit = minimum ? m_pMin : m_pMax;
  QString& last = minimum ? m_sLastMin : m_sLastMax;
  const QString text = edit->text();
  if (!wnd || IsPartialLevel(text) || text == last) return;
  const double value = AtofC(text.toUtf8().constData());
  // The display buffer keeps levels as floats: a level beyond their range is refused.
  if (!(std::fabs(value) <= FLT_MAX)) return;
  guard = true;
  float min = 0, max = 0, low = 0, high = 0;
  wnd->GetLevel(&min, &max);
  wnd->GetLevelSliderRange(&low, &high);
  const double span = static_cast<double>(high) - low;
  const bool accepted = minimum ? AcceptMinimum(value, max, span) : AcceptMaximum(value, min, span);
  if (accepted) {
    // The text as the bar writes levels, the caret and selection where they were. A
    // level typed with an exponent stays as typed: rewritten, "1.5e-1" on its way to
    // "1.5e-18" would become "0.15" under the caret.
    const int cursor = edit->cursorPosition();
    const int selStart = edit->selectionStart();
    const int selLength = edit->selectedText().size();
    last =
        text.contains('e', Qt::CaseInsensitive) ? text : QString::fromStdString(LevelText(value));
    if (edit->text() != last) edit->setText(last);
    if (selStart >= 0)
      edit->setSelection(std::min(selStart, static_cast<int>(last.size())), selLength);
    else
      edit->setCursorPosition(std::min(cursor, static_cast<int>(last.size())));
    bool changed = false;
    if (minimum && value < max) {
      wnd->SetLevel(static_cast<float>(value), max);
      changed = true;
    } else if (!minimum && value > min) {
      wnd->SetLevel(min, static_cast<float>(value));
      changed = true;
    }
    if (changed) wnd->Update(1);
    ShowLevels(false);
    if (changed) emit levelsChanged();
  }
  guard = false;
}

// Enter, or leaving the box: the box shows the level in force again, so a refused text
// does not stay behind looking as if it were taken.
void CBarImage::OnLevelFinished(bool minimum) {
  if (!Window()) return;
  (minimum ? m_pMin : m_pMax)->setText(minimum ? m_sLastMin : m_sLastMax);
}

std::string CBarImage::LevelText(double level) {
  std::string text = FormatC("%f", level);
  if (level < 10000000.0) {
    if (text.size() > static_cast<std::size_t>(kEditChars)) text.resize(kEditChars);
    // Zeros are cut from the fraction only: "-1000000.5" keeps "-1000000".
    if (text.find('.') != std::string::npos) {
      while (!text.empty() && text.back() == '0') text.pop_back();
      if (!text.empty() && text.back() == '.') text.pop_back();
    }
  }
  if (level == 0 || !std::isfinite(level)) return text;
  // The box holds eight characters: fixed notation loses a flux of 1e-18 to "0" and
  // shows 1e+20 as its first eight digits. The e-notation text that fits is taken
  // whenever it reads back closer to the level than what the box would show of the
  // fixed one.
  const std::string exponent = CValueStep::Exponent(level, kEditChars);
  const double shown = AtofC(text.substr(0, kEditChars).c_str());
  return std::fabs(AtofC(exponent.c_str()) - level) < std::fabs(shown - level) ? exponent : text;
}

int CBarImage::SliderPos(double level, double low, double high) {
  const double span = high - low;
  if (!(span > 0) || !std::isfinite(level)) return 0;
  const double pos = std::trunc((level - low) * kSliderMax / span);
  if (pos < 1) return 0;
  if (pos > kSliderMax - 1) return kSliderMax;
  return static_cast<int>(pos);
}

int CBarImage::LowerThumb(int wanted, int upper) {
  if (wanted > upper) wanted = upper - kCrossGap;
  return std::clamp(wanted, 0, std::max(0, upper));
}

int CBarImage::UpperThumb(int wanted, int lower) {
  if (wanted < lower) wanted = lower + kCrossGap;
  return std::clamp(wanted, std::min(lower, kSliderMax), kSliderMax);
}

bool CBarImage::AcceptMinimum(double value, double max, double span) {
  return value <= max - 0.1 * span;
}

bool CBarImage::AcceptMaximum(double value, double min, double span) {
  return value >= min + 0.1 * span;
}

bool CBarImage::IsPartialLevel(const QString& text) {
  if (text.isEmpty() || text.endsWith('-') || text.endsWith('.') || text.endsWith('+') ||
      text.endsWith('e', Qt::CaseInsensitive))
    return true;
  // A zero after the point may be followed by more digits; one in an exponent is a digit
  // of its own ("1.5e-10").
  return text.contains('.') && !text.contains('e', Qt::CaseInsensitive) && text.endsWith('0');
}

std::vector<CBarImage::ColorEntry> CBarImage::ColorEntries(bool colour, bool spectrum) {
  using B = CImageBuffer;
  if (colour)
    return {{"ｶﾗｰ", B::CM_POSITIVE, 0},
            {"ｶﾗｰ(反転)", B::CM_NEGATIVE, 0},
            {"ｸﾞﾚｰｽｹｰﾙ", B::CM_GRAY, 0},
            {"ｸﾞﾚｰｽｹｰﾙ(反転)", B::CM_GRAY_NEGATIVE, 0}};
  std::vector<ColorEntry> entries = {
      {"ｸﾞﾚｰｽｹｰﾙ", B::CM_POSITIVE, 0},
      {"ｸﾞﾚｰｽｹｰﾙ(反転)", B::CM_NEGATIVE, 0},
      {"ｼｱﾝ", B::CM_FALSE_COLOR, B::CT_CYAN},
      {"ｼｱﾝ(反転)", B::CM_FALSE_COLOR_NEGATIVE, B::CT_CYAN},
      {"朱赤", B::CM_FALSE_COLOR, B::CT_VERMILION},
      {"朱赤(反転)", B::CM_FALSE_COLOR_NEGATIVE, B::CT_VERMILION},
      {"黒体輻射", B::CM_FALSE_COLOR, B::CT_BLACKBODY},
      {"黒体輻射(反転)", B::CM_FALSE_COLOR_NEGATIVE, B::CT_BLACKBODY}};
  if (spectrum) {
    entries.push_back({"ｽﾍﾟｸﾄﾙ疑似ｶﾗｰ", B::CM_SPECTRUM, 0});
  } else {
    entries.push_back({"ﾚｲﾝﾎﾞｰ", B::CM_FALSE_COLOR, B::CT_RAINBOW});
    entries.push_back({"ﾚｲﾝﾎﾞｰ(反転)", B::CM_FALSE_COLOR_NEGATIVE, B::CT_RAINBOW});
  }
  return entries;
}

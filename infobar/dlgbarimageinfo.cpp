#include "infobar/dlgbarimageinfo.h"

#include <cstdio>

#include <QFontDatabase>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>

#include "display/qt/ralimgwnd.h"
#include "engine/pixelmove.h"
#include "engine/ralimage.h"
#include "wcs/wcstext.h"

namespace {

QString Q(const char* text) {
  return QString::fromUtf8(text);
}

// A caption and the field after it. Fields are in the fixed-pitch font and keep a
// minimum width, so the bar does not shift as the numbers change under the mouse.
QLabel* AddField(QHBoxLayout* layout, const char* caption, const char* name, int chars) {
  if (caption) layout->addWidget(new QLabel(Q(caption)));
  auto* field = new QLabel;
  field->setObjectName(QString::fromLatin1(name));
  field->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  field->setTextFormat(Qt::PlainText);
  field->setMinimumWidth(QFontMetrics(field->font()).horizontalAdvance(QString(chars, '0')));
  layout->addWidget(field);
  layout->addSpacing(12);
  return field;
}

void SetIfChanged(QLabel* label, const std::string& text) {
  const QString q = QString::fromStdString(text);
  if (label->text() != q) label->setText(q);
}

std::string Decimal(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", v);
  return buf;
}

}  // namespace

CDlgBarImageInfo::CDlgBarImageInfo(QWidget* parent) : QToolBar(Q(bar_text::kTitle), parent) {
  setObjectName(QStringLiteral("imageInfoBar"));
  auto* panel = new QWidget(this);
  auto* layout = new QHBoxLayout(panel);
  layout->setContentsMargins(4, 0, 4, 0);
  layout->setSpacing(2);
  m_pX = AddField(layout, bar_text::kX, "x", 5);
  m_pY = AddField(layout, bar_text::kY, "y", 5);
  m_pValue = AddField(layout, bar_text::kValue, "value", 11);
  m_pAverage = AddField(layout, bar_text::kAverage, "average", 11);
  m_pPhysical = AddField(layout, nullptr, "physical", 0);
  layout->addStretch(1);
  // The bar keeps one height whatever it shows (Japanese text may come from a taller
  // fallback font), so the image windows below never move with the mouse; and it never
  // holds the frame wider than the user makes it: what does not fit is cut off.
  for (QLabel* field : {m_pX, m_pY, m_pValue, m_pAverage, m_pPhysical})
    field->setText(Q("赤道座標 赤経:00h00m00s.0 赤緯:+00ﾟ00'00\".0"));
  panel->setFixedHeight(panel->sizeHint().height());
  for (QLabel* field : {m_pX, m_pY, m_pValue, m_pAverage, m_pPhysical}) field->clear();
  panel->setMinimumWidth(0);
  panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  addWidget(panel);
}

int CDlgBarImageInfo::Create(QMainWindow* frame) {
  if (!frame) return 0;
  setMovable(false);
  setFloatable(false);
  setAllowedAreas(Qt::TopToolBarArea);
  frame->addToolBarBreak(Qt::TopToolBarArea);
  frame->addToolBar(Qt::TopToolBarArea, this);
  return 1;
}

void CDlgBarImageInfo::SetData(CRalImgWnd* window, POINT point) {
  const CRalImage* image = window ? window->GetImagePtr() : nullptr;
  POINT p{};
  if (!image || !window->GetViewInfo().PtViewToImage(point, &p) || p.x < 0 || p.y < 0 ||
      p.x >= image->GetWidth() || p.y >= image->GetHeight()) {
    ClearData();
    return;
  }
  const double value =
      image->IsColor() ? image->GetPixelBright(p.x, p.y) : image->GetPixelGrayRaw(p.x, p.y, 0);
  m_strValue = m_Flt.Str(value, value / 1000.0);
  // The luminance-weighted mean; for a grey image the mean of its plane.
  const double average = window->GetAverage(3);
  m_strAverage = m_Flt.Str(average, average / 1000.0);

  // A FITS image read bottom-up has its first file row at the bottom: shown positions and
  // world coordinates count rows as the file does.
  if (FitsRowsBottomUp(*image)) p.y = image->GetHeight() - p.y - 1;
  m_strX = Decimal(p.x + 1);
  m_strY = Decimal(p.y + 1);

  m_strPhysical.clear();
  int axis = 0;
  // World coordinates wherever the description gives them: a CD or PC matrix, the
  // increments alone (the standard's unit matrix) or a plate solution.
  tagAD ad;
  unsigned int kind = 0;
  int first = 0, second = 0;
  const bool world = m_WCS.ToWCS(image, p, &ad, &kind, &first, &second) == 1;
  if (world || image->IsWCS()) {
    if (world) {
      switch (kind) {
        case WCS_KIND_CELESTIAL:
          PhyValWcsCelestial(ad, *image, m_strPhysical);
          break;
        case WCS_KIND_SPECTRAL_LINEAR:
          PhyValWcsSpecLinear(ad, *image, &first, &second, m_strPhysical);
          break;
        case WCS_KIND_SPECTRAL_LOG:
          PhyValWcsSpecLog(ad, *image, &first, &second, m_strPhysical);
          break;
        case WCS_KIND_SPECTRAL_NONLINEAR:
          PhyValWcsSpecNonLinear(ad, *image, &first, &second, m_strPhysical);
          break;
        default:
          PhyValWcsMisc(ad, *image, &first, &second, m_strPhysical);
          break;
      }
    }
  } else if (image->IsSpectrum(&axis)) {
    PhyValSpec(*image, axis, p, m_strPhysical);
  }
  DoDataExchange();
}

void CDlgBarImageInfo::ClearData() {
  m_strAverage.clear();
  m_strValue.clear();
  m_strPhysical.clear();
  m_strX.clear();
  m_strY.clear();
  DoDataExchange();
}

void CDlgBarImageInfo::DoDataExchange() {
  // A label whose text changes schedules its own repaint; the image views are not
  // touched, so moving the mouse repaints only the fields that changed.
  SetIfChanged(m_pAverage, m_strAverage);
  SetIfChanged(m_pValue, m_strValue);
  SetIfChanged(m_pPhysical, m_strPhysical);
  SetIfChanged(m_pX, m_strX);
  SetIfChanged(m_pY, m_strY);
}

void CDlgBarImageInfo::PhyValSpec(const CRalImage& image, int axis, POINT point,
                                  std::string& text) const {
  std::string type, unit;
  if (!image.GetAxisInfo(axis, &type, &unit, nullptr)) return;
  const std::string name = CRalImage::CTypeToStr(type);
  const double value = image.GetAxisValue(axis, point.x, point.y);
  char buf[256];
  if (unit.empty())
    std::snprintf(buf, sizeof buf, "%s： %.2f", name.c_str(), value);
  else
    std::snprintf(buf, sizeof buf, "%s： %.2f [%s]", name.c_str(), value, unit.c_str());
  text = buf;
}

void CDlgBarImageInfo::PhyValWcsCelestial(const tagAD& ad, const CRalImage& image,
                                          std::string& text) const {
  text = WcsCelestialText(image, ad);
}

void CDlgBarImageInfo::PhyValWcsSpecLinear(const tagAD& ad, const CRalImage& image, int* first,
                                           int* second, std::string& text) const {
  text = WcsSpectralText(image, ad, WCS_KIND_SPECTRAL_LINEAR, *first, *second);
}

void CDlgBarImageInfo::PhyValWcsSpecLog(const tagAD& ad, const CRalImage& image, int* first,
                                        int* second, std::string& text) const {
  text = WcsSpectralText(image, ad, WCS_KIND_SPECTRAL_LOG, *first, *second);
}

void CDlgBarImageInfo::PhyValWcsSpecNonLinear(const tagAD& ad, const CRalImage& image, int* first,
                                              int* second, std::string& text) const {
  text = WcsSpectralText(image, ad, WCS_KIND_SPECTRAL_NONLINEAR, *first, *second);
}

void CDlgBarImageInfo::PhyValWcsMisc(const tagAD& ad, const CRalImage& image, int* first,
                                     int* second, std::string& text) const {
  text = WcsSpectralText(image, ad, ~0u, *first, *second);
}

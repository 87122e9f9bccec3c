#include "app/printing.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <cmath>

#include "app/apptexts.h"
#include "app/kivimageview.h"
#include "app/kivimagedoc.h"
#include "display/qt/ralimgwnd.h"
#include "platform/messagebox.h"

namespace {

QPrinter& SharedPrinter() {
  static QPrinter printer(QPrinter::HighResolution);
  return printer;
}

// The displayed image region in image pixels.
RECT Region(CKivImageView* view) {
  return view->GetImgWnd().GetViewInfo().GetVisibleImageRect();
}

constexpr int kScreenDpi = 96;

}  // namespace

CKivImagePageSetupDialog::CKivImagePageSetupDialog(CKivImageView* view, QWidget* parent)
    : QDialog(parent), m_pView(view), m_pMag(new QLineEdit(this)), m_pSize(new QLabel(this)) {
  setWindowTitle(QStringLiteral("印刷設定"));
  m_pMag->setObjectName(QStringLiteral("printMag"));
  m_pSize->setObjectName(QStringLiteral("printSize"));
  m_pMag->setText(QString::number(view->GetPrintMag() / 100.0));
  auto* form = new QFormLayout(this);
  form->addRow(QStringLiteral("印刷倍率 (%)"), m_pMag);
  form->addRow(QStringLiteral("印刷ｻｲｽﾞ (mm)"), m_pSize);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_pMag, &QLineEdit::textChanged, this, &CKivImagePageSetupDialog::UpdateSize);
  UpdateSize();
}

QString CKivImagePageSetupDialog::SizeText() const {
  return m_pSize->text();
}

void CKivImagePageSetupDialog::UpdateSize() {
  const RECT r = Region(m_pView);
  const double mag = m_pMag->text().toDouble() / 100.0;
  const double mm = 25.4 / kScreenDpi * mag;
  m_pSize->setText(QString::asprintf(app_text::kPrintSize, r.Width() * mm, r.Height() * mm));
}

void CKivImagePageSetupDialog::accept() {
  bool ok = false;
  const double percent = m_pMag->text().toDouble(&ok);
  const long long mag = ok ? std::llround(percent * 100.0) : 0;
  if (mag <= 0 || mag > 999999) {
    AfxMessageBox(app_text::kPrintMagRange, MB_OK | MB_ICONEXCLAMATION);
    return;
  }
  m_pView->SetPrintMag(static_cast<int>(mag));
  QDialog::accept();
}

QRect PrintTarget(int regionWidth, int regionHeight, int screenDpi, int printerDpi, int mag,
                  QRect page, bool preview, QRect* sourceCut) {
  const double scale = mag / 10000.0 * printerDpi / screenDpi;
  double w = regionWidth * scale, h = regionHeight * scale;
  QRect source(0, 0, regionWidth, regionHeight);
  if (preview && (w > page.width() || h > page.height())) {
    const int cw = std::min(regionWidth, static_cast<int>(page.width() / scale));
    const int ch = std::min(regionHeight, static_cast<int>(page.height() / scale));
    source = QRect((regionWidth - cw) / 2, (regionHeight - ch) / 2, cw, ch);
    w = cw * scale;
    h = ch * scale;
  }
  if (sourceCut) *sourceCut = source;
  const int iw = static_cast<int>(std::lround(w)), ih = static_cast<int>(std::lround(h));
  return QRect(page.left() + (page.width() - iw) / 2, page.top() + (page.height() - ih) / 2, iw, ih);
}

bool RenderPage(CKivImageView* view, QPrinter& printer, QPainter& painter, bool preview) {
  const int mag = view->GetPrintMag();
  if (mag <= 0) {
    AfxMessageBox(app_text::kPrintMagZero, MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  CRalImgWnd& wnd = view->GetImgWnd();
  const RECT region = Region(view);
  CBaseDIB* dib = wnd.GetImageBuffer().GetDIB();
  if (!wnd.IsBufferCreated() || !dib || region.Width() <= 0 || region.Height() <= 0) return false;
  wnd.GetImageBuffer().BuildAll(&region);
  QRect cut;
  const QRect page = printer.pageLayout().paintRectPixels(printer.resolution());
  const QRect target = PrintTarget(region.Width(), region.Height(), kScreenDpi,
                                   printer.resolution(), mag,
                                   QRect(0, 0, page.width(), page.height()), preview, &cut);
  // The display bitmap at one pixel per image pixel, band by band, then stretched smoothly.
  QImage image(cut.width(), cut.height(), QImage::Format_RGB32);
  {
    QPainter p(&image);
    dib->BitBlt(0, 0, cut.width(), cut.height(), region.left + cut.left(), region.top + cut.top(),
                [&p](const DIBBand& band) {
                  const QImage b(band.bits, band.width, band.height, band.stride,
                                 band.bitsPerPixel == 32 ? QImage::Format_RGB32
                                                         : QImage::Format_BGR888);
                  p.drawImage(QRect(band.destination.left, band.destination.top,
                                    band.destination.right - band.destination.left,
                                    band.destination.bottom - band.destination.top),
                              b);
                });
  }
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, image);
  return true;
}

void PrintView(CKivImageView* view, QWidget* parent, bool preview) {
  QPrinter& printer = SharedPrinter();
  if (preview) {
    QPrintPreviewDialog dlg(&printer, parent);
    QObject::connect(&dlg, &QPrintPreviewDialog::paintRequested, [view](QPrinter* p) {
      QPainter painter(p);
      RenderPage(view, *p, painter, true);
    });
    dlg.exec();
    return;
  }
  QPrintDialog dlg(&printer, parent);
  if (dlg.exec() != QDialog::Accepted) return;
  QPainter painter(&printer);
  RenderPage(view, printer, painter, false);
}

void ChoosePrinter(QWidget* parent) {
  QPrintDialog dlg(&SharedPrinter(), parent);
  dlg.exec();
}

// Printing of an image view: the page set-up dialog with the print magnification, and
// printing or previewing through QPrinter (to a PDF file when no printer is wanted).
#pragma once

#include <QDialog>
#include <QRect>

class CKivImageView;
class QLabel;
class QLineEdit;
class QPainter;
class QPrinter;

class CKivImagePageSetupDialog : public QDialog {
  Q_OBJECT

 public:
  CKivImagePageSetupDialog(CKivImageView* view, QWidget* parent = nullptr);
  // Refuses magnifications not above 0 or above 999999 (1/100 percent) with string 4220
  // and stays open; otherwise keeps the value in the view.
  void accept() override;
  // The printed size at the magnification in the edit, in millimetres.
  QString SizeText() const;

 private:
  void UpdateSize();
  CKivImageView* m_pView;
  QLineEdit* m_pMag;
  QLabel* m_pSize;
};

// The area of the page that the displayed image region takes at magnification mag
// (1/100 percent), centred on a page of the given size in device pixels at the given
// resolution. In preview a region larger than the page is cut to what fits.
QRect PrintTarget(int regionWidth, int regionHeight, int screenDpi, int printerDpi, int mag,
                  QRect page, bool preview, QRect* sourceCut);
// Renders the view's image onto painter for printer. False (with string 4219 shown)
// when the magnification is not above 0.
bool RenderPage(CKivImageView* view, QPrinter& printer, QPainter& painter, bool preview);
// The print dialog (or the preview) for the view, then the page.
void PrintView(CKivImageView* view, QWidget* parent, bool preview);
// The printer choice alone.
void ChoosePrinter(QWidget* parent);

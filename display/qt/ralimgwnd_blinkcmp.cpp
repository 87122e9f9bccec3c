// The blink comparator from the image window: the dialog makes the two frames, the window
// prepares and paints them with its blink painting, in its own colour mode and type.
#include <QObject>

#include "dialogs/dlgblinkcompareter.h"
#include "display/qt/ralimgwnd.h"

int CRalImgWnd::BlinkCompareter() {
  CDlgBlinkCompareter dialog(m_pParent);
  // Lives as long as the dialog: the frames shown point into it.
  CBlinkTarget frames;
  QObject::connect(&dialog, &CDlgBlinkCompareter::startBlink, &dialog,
                   [this, &frames, &dialog](CRalImage* first, CRalImage* second) {
                     StopShowingBlink();
                     frames.Clear();
                     frames.Add(first, GetColorMode(), GetColorType());
                     frames.Add(second, GetColorMode(), GetColorType());
                     if (!StartBlink(&frames, 1)) emit dialog.endBlink();
                   });
  QObject::connect(&dialog, &CDlgBlinkCompareter::showFrame, &dialog, [this, &frames](int frame) {
    if (m_pBlink == &frames) UpdateBlink(frame);
  });
  QObject::connect(&dialog, &CDlgBlinkCompareter::endBlink, &dialog, [this, &frames] {
    if (m_pBlink == &frames) StopShowingBlink();
    frames.Clear();
  });
  // However the dialog ends, nothing of its frames is painted afterwards.
  QObject::connect(&dialog, &QDialog::finished, &dialog, [this, &frames] {
    if (m_pBlink == &frames) StopShowingBlink();
  });
  const int changed = RunDialog(dialog);
  if (m_pBlink == &frames) StopShowingBlink();
  return changed;
}

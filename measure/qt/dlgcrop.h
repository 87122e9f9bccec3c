// CDlgCrop: the crop dialog. It shows the dragged selection and the previous range, lets
// the user correct the four bounds (1-based, inclusive; y counted from the bottom for
// FITS images when the settings say so) and refuses ranges the image cannot give.
#pragma once

#include "dialogs/vumdialog.h"
#include "measure/crop.h"

class QLabel;
class QLineEdit;

namespace crop_text {
inline constexpr const char* kCaption = "切り抜き";
inline constexpr const char* kSection = "Dialog\\Crop";
}  // namespace crop_text

class CDlgCrop : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2140;
  explicit CDlgCrop(QWidget* parent = nullptr);

  // The image's size and file type (the bottom-up flag follows from it and the settings),
  // then the dragged corners (0-based image pixels).
  void SetImageInfo(int width, int height, const std::string& fileFormat);
  void SetSelection(int ax, int ay, int bx, int by);
  bool IsBottomUp() const { return m_bBottomUp; }
  // After OK: the rectangle to cut, 0-based with right and bottom exclusive.
  RECT GetRect() const { return m_Rect; }
  CCropRange GetPrevious() const { return m_Previous; }
  int IsImageChanged() const override { return 1; }

 protected:
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  void OnOK() override;

 private:
  void ShowRanges();

  int m_nWidth = 1, m_nHeight = 1;
  bool m_bBottomUp = false;
  CCropRange m_Current, m_Previous, m_Entered;
  RECT m_Rect{};
  QLineEdit* m_pEdit[4];
  QLabel* m_pCurrent;
  QLabel* m_pPrevious;
};

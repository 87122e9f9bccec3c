// CDlgDarkFlat: calibrates the image of the current window with bias, dark and flat
// frames chosen among the open images, each frame switched on by its own box; the dark
// of the flat is offered only with the flat.
#pragma once

#include <string>

#include "dialogs/darkflatproc.h"
#include "dialogs/vumdialog.h"

class QCheckBox;
class CComboImage;

class CDlgDarkFlat : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2112;
  // Check box and list of each frame: bias, dark, flat, dark of the flat.
  static constexpr int IDC_CHECK[4] = {1300, 1302, 1304, 1306};
  static constexpr int IDC_LIST[4] = {1301, 1303, 1305, 1307};
  enum Frame { kBias = 0, kDark = 1, kFlat = 2, kDarkForFlat = 3 };

  explicit CDlgDarkFlat(QWidget* parent = nullptr);

  const DarkFlatResult& GetResult() const { return m_Result; }

 protected:
  void OnInitDialog() override;
  // A frame switched on needs an image chosen for it.
  int CheckValue() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  int ImageProc(RECT* rect, int final) override;

 private:
  void EnableControls();

  int m_bUse[4] = {};
  std::string m_strChosen[4];
  DarkFlatResult m_Result;
  QCheckBox* m_pCheck[4] = {};
  CComboImage* m_pList[4] = {};
};

// The FITS header editor: CDlgEditHeader lists an image's cards as 80-column lines and
// adds, edits, deletes, moves and prints them; CDlgEditHeaderEdit edits one card;
// CDlgEditHeaderPhysic sets the dispersion axis (type, unit, reference pixel and value,
// increment, linear matrix) in the image and the header is composed again from it. The
// rules themselves live in fits/headeredit; these classes show them.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "dialogs/vumdialog.h"
#include "fits/headeredit.h"
#include "imagemodel/fitsheader.h"

class QButtonGroup;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPrinter;

namespace header_text {
inline constexpr const char* kCaption = "FITSﾍｯﾀﾞｰ";
inline constexpr const char* kAddCaption = "ﾍｯﾀﾞ追加";  // 2422
inline constexpr const char* kEditCaption = "ﾍｯﾀﾞ編集";
inline constexpr const char* kPrinted = "印刷しました。";            // 2424
inline constexpr const char* kPrintFailed = "印刷に失敗しました。";  // 2425
inline constexpr const char* kNarrowPage =
    "用紙の横幅が不足しているため、右側が印字されません。";  // 2456
inline constexpr const char* kPointSizeRange =
    "文字のポイントサイズは1から99の範囲で入力してください。";  // 2457
inline constexpr const char* kNote =
    "FITS以外の形式で保存すると、ﾍｯﾀﾞｰは保存されません。\n"
    "分散軸の設定を変更すると、上書き保存はできなくなります。";
inline constexpr const char* kPhysicCaption = "分散軸の設定";
inline constexpr const char* kPrintCaption = "ﾍｯﾀﾞｰの印刷";
inline constexpr const char* kBadNumber = "数値を入力してください。";
}  // namespace header_text

// One card typed or changed; at most 80 characters can be typed.
class CDlgEditHeaderEdit : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2102;
  static constexpr int IDC_CARD = 2103;
  CDlgEditHeaderEdit(const QString& caption, const std::string& text, QWidget* parent = nullptr);
  // The text typed, padded with blanks and cut to 80 characters.
  std::string GetCard() const;
  void done(int result) override;

 private:
  QLineEdit* m_pEdit;
};

// The font point size of a printed header (1 to 99).
class CDlgEditHeaderPrint : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2184;
  CDlgEditHeaderPrint(int pointSize, QWidget* parent = nullptr);
  int GetPointSize() const { return m_nPointSize; }
  // Refuses a size outside 1 to 99 with string 2457 and stays open.
  void accept() override;

 private:
  QLineEdit* m_pSize;
  int m_nPointSize;
};

// Prints the cards, one per line, each page with its heading and rulers; asks (string
// 2456) whether to go on when the page is narrower than 80 characters. 1 printed, 0
// failed, -1 given up at that question.
int PrintFitsHeader(QPrinter& printer, const CFitsHeader& header, const std::string& title,
                    int pointSize);

class CDlgEditHeader : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2101;
  static constexpr int IDC_LIST = 1023;
  static constexpr int IDC_PRINT = 3;
  static constexpr int IDC_PHYSIC = 1582;

  explicit CDlgEditHeader(QWidget* parent = nullptr);
  ~CDlgEditHeader() override;

  // The header being edited: set by the caller before DoModal, read back after OK.
  CFitsHeader m_Header;
  // 1 when the dispersion-axis settings were changed.
  int GetHeaderEdited() const { return m_bHeaderEdited; }
  // The selected rows in ascending order.
  std::vector<int> SelectedRows() const;
  QListWidget* List() const { return m_pList; }

  // Chooses the printer (a print dialog unless replaced); false cancels the print.
  std::function<bool(QPrinter&)> onChoosePrinter;

 protected:
  void OnInitDialog() override;
  void OnOK() override;
  void UpdateRegistry(int write, const char* section) override;

 private:
  void Refill();
  void Select(int first, int last);
  void OnNew();
  void OnEdit();
  void OnDelete();
  void OnUp();
  void OnDown();
  void OnPhysic();
  void OnPrint();

  int m_bHeaderEdited = 0;
  int m_nPointSize = 10;
  QListWidget* m_pList = nullptr;
};

class CRalImage;
// The axis settings for an image made by the data import: shown with what the image
// holds (its dispersion axis set) and, on OK, written into it whether or not a value
// changed. False when cancelled.
bool RunSpectralAxisSettings(CRalImage& image, QWidget* parent);

class CDlgEditHeaderPhysic : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2176;
  static constexpr int IDC_AXIS = 1593;  // radios "1593_0" none, "1593_1" X, "1593_2" Y
  static constexpr int IDC_TYPE = 1586;
  static constexpr int IDC_UNIT = 1592;
  static constexpr int IDC_MATRIX = 1594;
  static constexpr int IDC_CRPIX_X = 1595;
  static constexpr int IDC_CRPIX_Y = 1598;
  static constexpr int IDC_CRVAL = 1596;
  static constexpr int IDC_CDELT = 1597;
  static constexpr int IDC_M11 = 1587, IDC_M12 = 1588, IDC_M21 = 1589, IDC_M22 = 1590;

  explicit CDlgEditHeaderPhysic(QWidget* parent = nullptr);
  ~CDlgEditHeaderPhysic() override;

  // The settings shown at the opening (from the image, LoadAxisSettings).
  void SetSettings(const headeredit::AxisSettings& s);
  const headeredit::AxisSettings& GetSettings() const { return m_Settings; }
  // Whether OK found the settings changed (and wrote them into the image).
  bool IsChanged() const { return m_bChanged; }

 protected:
  void OnInitDialog() override;
  void DoDataExchange(bool save) override;
  int CheckValue() override;
  int ImageProc(RECT* rect, int final) override;
  void UpdateRegistry(int write, const char* section) override;

 private:
  // The lists of the axis shown now; the type and unit of that axis selected.
  void FillType();
  void FillUnits();
  void OnAxis(int axis);
  void OnType();
  void UpdateEnabled();
  // The controls of the axis shown into the settings; false when a number is not one.
  bool StoreControls();
  void LoadControls();

  headeredit::AxisSettings m_Settings;
  headeredit::AxisSettings m_Opened;
  int m_nShown = 0;  // the axis whose values the controls show
  bool m_bChanged = false;
  bool m_bFilling = false;
  QButtonGroup* m_pAxis = nullptr;
  QComboBox* m_pType = nullptr;
  QComboBox* m_pUnit = nullptr;
  QCheckBox* m_pMatrix = nullptr;
  QLineEdit* m_pCrpixX = nullptr;
  QLineEdit* m_pCrpixY = nullptr;
  QLineEdit* m_pCrval = nullptr;
  QLineEdit* m_pCdelt = nullptr;
  QLineEdit* m_pM[4] = {};
};

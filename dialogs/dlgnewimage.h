// The dialogs that ask how a new image window is to be made: its title, which must not
// be the title of an open document, and its width and height.
#pragma once

#include <string>

#include "dialogs/vumdialog.h"

class QLineEdit;

namespace newimage_text {
inline constexpr const char* kCaption = "新規画像";
inline constexpr const char* kDuplicateTitle = "タイトルが重複しています";       // 2352
inline constexpr const char* kAboveZero = "０より大きい値を指定してください。";  // 2376
}  // namespace newimage_text

// The title of a new image; the caller sets the caption and proposes a name.
class CDlgNewImage : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2163;
  static constexpr int IDC_NAME = 1150;

  explicit CDlgNewImage(QWidget* parent = nullptr);
  void SetCaption(const std::string& caption);
  void SetName(const std::string& name) { m_strName = name; }
  const std::string& GetName() const { return m_strName; }
  // Nothing in the current image changes.
  int IsImageChanged() const override { return 0; }

 protected:
  int CheckValue() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;

 private:
  std::string m_strName;
  QLineEdit* m_pName = nullptr;
};

// The width and height of a new image.
class CDlgNewImageWithSize : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2165;
  static constexpr int IDC_WIDTH = 1151;
  static constexpr int IDC_HEIGHT = 1152;

  explicit CDlgNewImageWithSize(QWidget* parent = nullptr);
  void SetCaption(const std::string& caption);
  void SetSize(int width, int height) {
    m_nWidth = width;
    m_nHeight = height;
  }
  int GetWidth() const { return m_nWidth; }
  int GetHeight() const { return m_nHeight; }
  int IsImageChanged() const override { return 0; }

 protected:
  int CheckValue() override;
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;

 private:
  int m_nWidth = 512;
  int m_nHeight = 512;
  QLineEdit* m_pWidth = nullptr;
  QLineEdit* m_pHeight = nullptr;
};

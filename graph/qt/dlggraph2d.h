// The profile graph's dialogs: CDlgGraph2D (modeless, one per image window) hosts the
// graph control with its read-outs, range edits, scales and commands; CDlgGraph2dSet sets
// the scales; CDlgGraphPrint chooses the printer (or a PDF file) and the memo.
#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dialogs/vumdialog.h"
#include "graph/graph2ddata.h"

class CCtrlGraph2D;
class CGraph2D;
class CRalImage;
class CSpinEdit;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPrinter;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QSpinBox;
class QWidget;

namespace graph_text {
inline constexpr const char* kCaption = "ｸﾞﾗﾌ";
inline constexpr const char* kGuide =
    "指定した範囲のグラフを表示します。\n（Shift+範囲選択で矩形選択、Ctrlキーを押しながら既存の"
    "グラフを選択すると既存のグラフを表示）";
inline constexpr const char* kRangeOrder =
    "範囲設定が異常です。最大値には最小値より大きな値を指定してください。";
inline constexpr const char* kRangeLogMin =
    "範囲設定が異常です。対数モードでは、最小値には正数を指定してください。";
inline constexpr const char* kEraseAsk = "グラフを消去します。";
inline constexpr const char* kPrinted = "印刷しました。";
inline constexpr const char* kPrintFailed = "印刷に失敗しました。";
inline constexpr const char* kSection = "Dialog\\Graph2D";
inline constexpr const char* kPrintSection = "DlgGraphPrint";
}  // namespace graph_text

// The scale settings the scale dialog edits and the graph dialog keeps.
struct CGraphScale {
  int vrtScale = 1;  // 0 automatic, 1 display level range, 2 fixed
  double min[4] = {0, 0, 0, 0}, max[4] = {1000, 1000, 1000, 1000};  // luminance, R, G, B
  int hrzScale = 1;                                                 // 0 automatic, 1 fixed
  double minX = 0.0, maxX = 1000.0;
  int log = 0;
};

class CDlgGraph2dSet : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2160;
  CDlgGraph2dSet(const CGraphScale& scale, bool colour, QWidget* parent = nullptr);
  const CGraphScale& GetScale() const { return m_Scale; }
  // The message for an unacceptable fixed range, or null: a maximum not above its
  // minimum, or in logarithmic mode a minimum not above 0 (the colour rows only for colour
  // images).
  static const char* CheckRanges(const CGraphScale& scale, bool colour);

 protected:
  void DoDataExchange(bool save) override;
  void OnOK() override;

 private:
  CGraphScale m_Scale;
  bool m_bColour;
  QRadioButton* m_pVrt[3];
  QRadioButton* m_pHrz[2];
  QLineEdit* m_pMin[4];
  QLineEdit* m_pMax[4];
  QLineEdit* m_pMinX;
  QLineEdit* m_pMaxX;
  QCheckBox* m_pLog;
};

class CDlgGraphPrint : public CVumDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2161;
  explicit CDlgGraphPrint(QWidget* parent = nullptr);
  // Fills the printer with the choice made: the named printer, or a PDF file when
  // printing to a file, and the copies.
  void SetupPrinter(QPrinter& printer) const;
  bool IsMemo() const { return m_bMemo; }
  QString GetMemo() const { return m_strMemo; }
  bool IsPrintToFile() const;
  QString GetFileName() const;

 protected:
  void DoDataExchange(bool save) override;
  void UpdateRegistry(int write, const char* section) override;
  void OnOK() override;

 private:
  QComboBox* m_pPrinter;
  QCheckBox* m_pToFile;
  QLineEdit* m_pFile;
  QSpinBox* m_pCopies;
  QCheckBox* m_pMemoCheck;
  QLineEdit* m_pMemoEdit;
  int m_bMemo = 0;
  QString m_strMemo;
};

class CDlgGraph2D : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kTemplateId = 2159;
  explicit CDlgGraph2D(QWidget* parent = nullptr);
  ~CDlgGraph2D() override;

  // Shows the dialog with the lines of an image (the window's line set) and recomputes.
  void Show(CGraph2D* graph, const CRalImage* image, const QString& title);
  void Show();
  void Hide(int flag);
  bool IsShow() const { return isVisible(); }
  // Empties the graph (and, with flag, forgets the line set: the image was replaced).
  void Reset(int flag);
  // Recomputes after the lines or the image changed.
  void UpdateGraph();
  bool HaveSamplePt() const;
  double GetSampleX() const;
  double GetSampleY() const;
  double GetSampleCount() const;
  void UpdateRegistry(int write, const char* section);
  CCtrlGraph2D* GetControl() const { return m_pGraph; }
  const CGraphScale& GetScale() const { return m_Scale; }
  double GetHrzMag() const { return m_dHrzMag; }

  // The magnification spin: up from below 4.99 adds 0.1, otherwise 1.0; down from above
  // 5.01 subtracts 1.0, otherwise 0.1; kept within 0.1 … 20.0.
  static double StepMag(double value, int up);
  // A typed magnification: above 20 becomes 20, not above 0 becomes 0.1.
  static double TypedMag(double value);
  // A file name without an extension gets the first extension of the chosen filter
  // ("CSVﾌｧｲﾙ (*.csv)" gives ".csv"); one with an extension stays as it is.
  static QString WithFilterSuffix(const QString& path, const QString& filter);

  // The window redraws its lines (they moved, were erased, hidden or shown).
  std::function<void()> onLinesChanged;
  // Opens a rendered graph as a new image document; false when it could not.
  std::function<bool(const QImage&, const std::string& name)> onMakeImage;
  // The user closed the dialog (its close button, the window's close, Escape).
  std::function<void()> onClosedByUser;
  // The current graphs of the other open documents, asked whenever the graph is
  // recomputed while they are shown.
  std::function<std::vector<CCtrlGraph2DData2>()> onGatherOtherGraphs;
  // Prints to a printer set up by the print dialog; tests replace the dialog's answer.
  std::function<bool(QPrinter&)> onChoosePrinter;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override { CloseByUser(); }

 private:
  void BuildUi();
  void CloseByUser();
  void UpdateReadouts(double distance, bool haveDistance);
  void UpdateArea();
  void UpdateCbVValue();
  void ApplyScale();
  void EnableGraphCtrl();
  void ChangeStyle();
  void OnHmagEdited();
  void OnHmagStep(int steps);
  // Puts the kept magnification into its field.
  void ShowHrzMag();
  // Lowers a magnification the user never set so that the current line fits the plot.
  void FitHrzMag();
  void OnSet();
  void OnPrint();
  void OnText();
  void OnRegions();
  void OnImage();
  void OnAllDel();
  void OnSwapAxis();
  void OnScroll(int value);
  void UpdateScrollRange();
  void SavePosition() const;

  CCtrlGraph2D* m_pGraph = nullptr;
  CGraph2D* m_pLines = nullptr;
  const CRalImage* m_pImage = nullptr;
  QString m_strTitle;
  CGraphScale m_Scale;
  double m_dHrzMag = 1.0;
  QString m_strHmagShown;     // the magnification field's text as last shown
  bool m_bFitHrzMag = false;  // no magnification stored: fit the first profile shown
  int m_bGraphAll = 0, m_bGraphAllDoc = 0, m_nStyle = 1;
  double m_dLength = 0.0;
  bool m_bUpdating = false;

  QLineEdit* m_pX;
  QLineEdit* m_pY;
  QLineEdit* m_pCount;
  QLineEdit* m_pDistance;
  QLineEdit* m_pPhyVal;
  QSpinBox* m_pRect[4];
  CSpinEdit* m_pHmag;
  QComboBox* m_pVValue;
  QCheckBox* m_pLog;
  QCheckBox* m_pGraphAll;
  QCheckBox* m_pGraphAllDoc;
  QScrollBar* m_pScroll;
  QWidget* m_pFold;
  QPushButton* m_pStyle;
};

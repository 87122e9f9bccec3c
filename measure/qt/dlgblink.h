// The blink dialog: the modeless list of the frames an image window shows in turn, the
// shift that aligns each frame, the switching time, and starting and stopping; and the
// small dialog that picks an open image to add. The dialog tells its window what to do
// through signals; its frame timer never blocks, so the program stays responsive and a
// stop takes effect at once.
#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "measure/blink.h"

class CListTarget;
class QPushButton;
class QSpinBox;

namespace blink_text {
inline constexpr const char* kTitle = "ﾌﾞﾘﾝｸ";
inline constexpr const char* kList = "ﾌﾞﾘﾝｸ対象画像ﾘｽﾄ(&L)：";
inline constexpr const char* kShift = "ｲﾒｰｼﾞｼﾌﾄ：";
inline constexpr const char* kTime = "切り替え時間(&T)：";
inline constexpr const char* kMilliseconds = "ﾐﾘ秒";
inline constexpr const char* kStart = "開始(&S)";
inline constexpr const char* kStop = "停止(&E)";
inline constexpr const char* kAdd = "ﾘｽﾄに追加(&A)";
inline constexpr const char* kDelete = "ﾘｽﾄから削除(&D)";
inline constexpr const char* kClose = "閉じる";
inline constexpr const char* kAddTitle = "ﾌﾞﾘﾝｸ対象画像の追加";
}  // namespace blink_text

// Picks one of the candidates; the list is sorted by file.
class CDlgAddBlink : public QDialog {
  Q_OBJECT
 public:
  CDlgAddBlink(std::vector<BlinkSource> candidates, QWidget* parent = nullptr);
  // The chosen candidate, or null.
  const BlinkSource* GetChosen() const;
  CListTarget* List() const { return m_pList; }

 private:
  std::vector<BlinkSource> m_Candidates;
  CListTarget* m_pList;
};

class CDlgBlink : public QDialog {
  Q_OBJECT
 public:
  // own: the window the dialog belongs to; its image starts the list.
  explicit CDlgBlink(const void* own, QWidget* parent = nullptr);
  ~CDlgBlink() override;

  // The open images (the own window's included); asked whenever the dialog is shown and
  // before each start. Images without a document are not listed. A window that closes
  // leaves both lists at once (a running blink goes on with the frames that remain).
  void SetSources(std::function<std::vector<BlinkSource>()> sources);
  void Refresh();

  bool IsRunning() const { return m_bRunning; }
  void Start();
  void Stop();
  CBlinkTarget& GetTarget() { return m_Target; }
  int GetBlinkTime() const;
  // Moves the selected frame (or the shift in the edits when none is) one step in a
  // direction: 0 up (y − step), 1 down (y + step), 2 right (x + step), 3 left (x − step).
  // The step is whole pixels, at least 1. The shift is in the rows and columns of the
  // screen (a bottom-up FITS image was turned when it was read), so up is always up.
  void MoveShift(int direction, double step);

  CListTarget* List() const { return m_pList; }
  const std::vector<BlinkSource>& Entries() const { return m_Entries; }
  const std::vector<BlinkSource>& Candidates() const { return m_Candidates; }

 signals:
  // The window prepares the frames (when prepare is set) and starts showing them.
  void startBlink(CBlinkTarget* target, bool prepare);
  // The window shows its own image again.
  void endBlink();
  // The window shows prepared frame n.
  void showFrame(int frame);
  // A frame's shift changed; a running blink shows it at once.
  void shiftChanged(CBlinkTarget* target);
  // The user closed the dialog.
  void closedByUser();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void Add();
  void Delete();
  void Rebuild();
  void UpdateEnabling();
  void ShowSelectedShift();
  void OnShiftEdited();
  void OnTimer();
  // Learns when the windows of the sources close.
  void Watch(const std::vector<BlinkSource>& sources);
  void OnDocumentDestroyed(QObject* object);

  const void* m_pOwn;
  std::function<std::vector<BlinkSource>()> m_Sources;
  std::vector<BlinkSource> m_Entries;
  std::vector<BlinkSource> m_Candidates;
  // The document objects watched, each with its document (compared, never used, once the
  // object is being destroyed).
  std::vector<std::pair<const QObject*, const CVumDocument*>> m_Watched;
  CBlinkTarget m_Target;
  bool m_bRunning = false;
  bool m_bInTimer = false;
  bool m_bPrepare = true;
  bool m_bLoading = false;
  bool m_bFilled = false;
  int m_nShiftX = 0, m_nShiftY = 0;
  QTimer m_Timer;
  CListTarget* m_pList;
  QSpinBox *m_pX, *m_pY, *m_pTime;
  QPushButton *m_pStart, *m_pAdd, *m_pDelete, *m_pClose;
};

// The blink dialog and the dialog that adds a frame to it.
#include "measure/qt/dlgblink.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "controls/directionbutton.h"
#include "dialogs/listtarget.h"
#include "dialogs/pickersupport.h"
#include "settings/registry.h"

namespace {

constexpr const char* kSection = "Dialog\\Blink";
constexpr int kDefaultTime = 1000;

QString Q(const char* s) {
  return QString::fromUtf8(s);
}

QPushButton* Button(QWidget* parent, const char* name, const char* text) {
  auto* b = new QPushButton(Q(text), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAutoDefault(false);
  return b;
}

ScreenArea Screen(const QWidget* w) {
  const QScreen* screen = w->screen() ? w->screen() : QApplication::primaryScreen();
  const QRect r = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
  return ScreenArea{RECT{r.left(), r.top(), r.right() + 1, r.bottom() + 1}};
}

QSpinBox* ShiftEdit(QWidget* parent, const char* name) {
  auto* e = new QSpinBox(parent);
  e->setObjectName(QString::fromLatin1(name));
  e->setRange(-99999, 99999);
  e->setKeyboardTracking(false);
  return e;
}

// Lists the sources' documents sorted by file, and puts the sources in the list's order.
void Fill(CListTarget* list, std::vector<BlinkSource>& sources) {
  list->clear();
  for (const BlinkSource& s : sources) list->AddDocument(s.document);
  list->SortByFile();
  std::vector<BlinkSource> ordered;
  for (int i = 0; i < list->GetCount(); ++i)
    for (const BlinkSource& s : sources)
      if (s.document == list->GetDocumentAt(i)) ordered.push_back(s);
  sources = std::move(ordered);
}

}  // namespace

// ---- CDlgAddBlink

CDlgAddBlink::CDlgAddBlink(std::vector<BlinkSource> candidates, QWidget* parent)
    : QDialog(parent), m_Candidates(std::move(candidates)), m_pList(new CListTarget(this)) {
  setWindowTitle(Q(blink_text::kAddTitle));
  m_pList->setObjectName(QStringLiteral("candidates"));
  Fill(m_pList, m_Candidates);
  if (!m_Candidates.empty()) m_pList->setCurrentRow(0);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->setObjectName(QStringLiteral("buttons"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_pList, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_pList);
  layout->addWidget(buttons);
}

const BlinkSource* CDlgAddBlink::GetChosen() const {
  const int row = m_pList->currentRow();
  return row >= 0 && row < static_cast<int>(m_Candidates.size())
             ? &m_Candidates[static_cast<std::size_t>(row)]
             : nullptr;
}

// ---- CDlgBlink

CDlgBlink::CDlgBlink(const void* own, QWidget* parent) : QDialog(parent), m_pOwn(own) {
  setWindowTitle(Q(blink_text::kTitle));
  setModal(false);
  m_pList = new CListTarget(this);
  m_pList->setObjectName(QStringLiteral("list"));
  auto* listLabel = new QLabel(Q(blink_text::kList), this);
  listLabel->setBuddy(m_pList);
  m_pAdd = Button(this, "add", blink_text::kAdd);
  m_pDelete = Button(this, "delete", blink_text::kDelete);
  m_pX = ShiftEdit(this, "shiftX");
  m_pY = ShiftEdit(this, "shiftY");
  m_pTime = new QSpinBox(this);
  m_pTime->setObjectName(QStringLiteral("time"));
  m_pTime->setRange(10, 60000);
  m_pTime->setSingleStep(100);
  auto* timeLabel = new QLabel(Q(blink_text::kTime), this);
  timeLabel->setBuddy(m_pTime);
  m_pStart = Button(this, "start", blink_text::kStart);
  m_pClose = Button(this, "close", blink_text::kClose);

  auto* arrows = new CDirectionButton(this);
  arrows->setObjectName(QStringLiteral("direction"));
  connect(arrows, &CDirectionButton::DirectionPressed, this, &CDlgBlink::MoveShift);

  auto* shift = new QGridLayout;
  shift->addWidget(new QLabel(Q(blink_text::kShift), this), 0, 0, 1, 2);
  shift->addWidget(new QLabel(QStringLiteral("X:"), this), 1, 0);
  shift->addWidget(m_pX, 1, 1);
  shift->addWidget(new QLabel(QStringLiteral("Y:"), this), 2, 0);
  shift->addWidget(m_pY, 2, 1);
  shift->addWidget(arrows, 1, 2, 2, 1);

  auto* listButtons = new QHBoxLayout;
  listButtons->addWidget(m_pAdd);
  listButtons->addWidget(m_pDelete);
  auto* time = new QHBoxLayout;
  time->addWidget(timeLabel);
  time->addWidget(m_pTime);
  time->addWidget(new QLabel(Q(blink_text::kMilliseconds), this));
  auto* bottom = new QHBoxLayout;
  bottom->addWidget(m_pStart);
  bottom->addStretch();
  bottom->addWidget(m_pClose);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(listLabel);
  layout->addWidget(m_pList);
  layout->addLayout(listButtons);
  layout->addLayout(shift);
  layout->addLayout(time);
  layout->addLayout(bottom);

  int ms = kDefaultTime;
  CRegistry::Read(kSection, "BlinkTime", kDefaultTime, ms, CRegistry::TYPE_INT);
  m_pTime->setValue(ms);
  RECT r{x(), y(), x() + width(), y() + height()};
  if (CRegistry::Read(kSection, "Window", r, Screen(this))) move(r.left, r.top);

  m_Timer.setSingleShot(true);
  m_Timer.setTimerType(Qt::PreciseTimer);
  connect(&m_Timer, &QTimer::timeout, this, &CDlgBlink::OnTimer);
  connect(m_pList, &QListWidget::currentRowChanged, this, [this] {
    ShowSelectedShift();
    UpdateEnabling();
  });
  connect(m_pAdd, &QPushButton::clicked, this, &CDlgBlink::Add);
  connect(m_pDelete, &QPushButton::clicked, this, &CDlgBlink::Delete);
  connect(m_pX, &QSpinBox::valueChanged, this, &CDlgBlink::OnShiftEdited);
  connect(m_pY, &QSpinBox::valueChanged, this, &CDlgBlink::OnShiftEdited);
  connect(m_pStart, &QPushButton::clicked, this, [this] {
    if (m_bRunning)
      Stop();
    else
      Start();
  });
  connect(m_pClose, &QPushButton::clicked, this, &QDialog::close);
  UpdateEnabling();
}

CDlgBlink::~CDlgBlink() {
  m_Timer.stop();
  const RECT r{x(), y(), x() + width(), y() + height()};
  CRegistry::Write(kSection, "Window", r);
  CRegistry::Write(kSection, "BlinkTime", m_pTime->value(), CRegistry::TYPE_INT);
}

void CDlgBlink::SetSources(std::function<std::vector<BlinkSource>()> sources) {
  m_Sources = std::move(sources);
}

void CDlgBlink::Refresh() {
  std::vector<BlinkSource> open = m_Sources ? m_Sources() : std::vector<BlinkSource>{};
  open.erase(std::remove_if(open.begin(), open.end(),
                            [](const BlinkSource& s) { return !s.document || !s.image; }),
             open.end());
  Watch(open);
  auto find = [&open](const void* window) {
    return std::find_if(open.begin(), open.end(),
                        [window](const BlinkSource& s) { return s.window == window; });
  };
  std::vector<BlinkSource> entries;
  if (!m_bFilled) {
    // The first time: the own image is listed, the others wait as candidates.
    auto own = find(m_pOwn);
    if (own != open.end()) entries.push_back(*own);
    m_bFilled = true;
  } else {
    // Listed images stay listed (with their shifts) while their windows are open; what
    // they show may have changed meanwhile.
    for (const BlinkSource& e : m_Entries) {
      auto now = find(e.window);
      if (now == open.end()) continue;
      BlinkSource kept = *now;
      kept.shiftX = e.shiftX;
      kept.shiftY = e.shiftY;
      entries.push_back(kept);
    }
  }
  m_Candidates.clear();
  for (const BlinkSource& s : open)
    if (std::none_of(entries.begin(), entries.end(),
                     [&s](const BlinkSource& e) { return e.window == s.window; }))
      m_Candidates.push_back(s);
  const int row = m_pList->currentRow();
  m_Entries = std::move(entries);
  Rebuild();
  if (!m_Entries.empty())
    m_pList->setCurrentRow(std::clamp(row, 0, static_cast<int>(m_Entries.size()) - 1));
}

void CDlgBlink::Watch(const std::vector<BlinkSource>& sources) {
  for (const BlinkSource& s : sources) {
    QObject* object = picker::ObjectOfDocument(s.document);
    if (!object || std::any_of(m_Watched.begin(), m_Watched.end(),
                               [object](const auto& w) { return w.first == object; }))
      continue;
    m_Watched.emplace_back(object, s.document);
    connect(object, &QObject::destroyed, this, &CDlgBlink::OnDocumentDestroyed);
  }
}

void CDlgBlink::OnDocumentDestroyed(QObject* object) {
  const auto watched = std::find_if(m_Watched.begin(), m_Watched.end(),
                                    [object](const auto& w) { return w.first == object; });
  if (watched == m_Watched.end()) return;
  const CVumDocument* doc = watched->second;
  m_Watched.erase(watched);
  auto of = [doc](const BlinkSource& s) { return s.document == doc; };
  m_Candidates.erase(std::remove_if(m_Candidates.begin(), m_Candidates.end(), of),
                     m_Candidates.end());
  const auto entry = std::find_if(m_Entries.begin(), m_Entries.end(), of);
  if (entry == m_Entries.end()) {
    UpdateEnabling();
    return;
  }
  const int row = static_cast<int>(entry - m_Entries.begin());
  m_Entries.erase(entry);
  if (m_bRunning) {
    // The frames of the others are prepared already and go on being shown.
    (void)m_Target.RemoveAt(row);
    m_bLoading = true;
    Fill(m_pList, m_Entries);
    m_bLoading = false;
    if (m_Target.GetCount() == 0) Stop();
  } else {
    Rebuild();
  }
  UpdateEnabling();
  if (!m_Entries.empty())
    m_pList->setCurrentRow(std::min(row, static_cast<int>(m_Entries.size()) - 1));
}

void CDlgBlink::Rebuild() {
  m_bLoading = true;
  Fill(m_pList, m_Entries);
  m_bLoading = false;
  m_Target.Clear();
  for (std::size_t i = 0; i < m_Entries.size(); ++i) {
    const BlinkSource& e = m_Entries[i];
    m_Target.Add(e.image, e.mode, e.type);
    (void)m_Target.SetShift(static_cast<int>(i), e.shiftX, e.shiftY);
  }
  m_bPrepare = true;
  UpdateEnabling();
}

void CDlgBlink::UpdateEnabling() {
  m_pDelete->setEnabled(m_pList->count() > 0 && !m_bRunning);
  m_pAdd->setEnabled(!m_Candidates.empty() && !m_bRunning);
}

void CDlgBlink::Add() {
  if (m_Candidates.empty()) return;
  CDlgAddBlink add(m_Candidates, this);
  if (add.exec() != QDialog::Accepted || !add.GetChosen()) return;
  const BlinkSource picked = *add.GetChosen();
  m_Candidates.erase(
      std::remove_if(m_Candidates.begin(), m_Candidates.end(),
                     [&picked](const BlinkSource& s) { return s.window == picked.window; }),
      m_Candidates.end());
  m_Entries.push_back(picked);
  Rebuild();
  for (std::size_t i = 0; i < m_Entries.size(); ++i)
    if (m_Entries[i].window == picked.window) m_pList->setCurrentRow(static_cast<int>(i));
}

void CDlgBlink::Delete() {
  const int row = m_pList->currentRow();
  if (row < 0 || row >= static_cast<int>(m_Entries.size())) return;
  // The list selects the entry now at that place, or the new last one.
  m_bLoading = true;
  m_pList->OnRemove();
  m_bLoading = false;
  const int now = m_pList->currentRow();
  CVumDocument* selected = now >= 0 ? m_pList->GetDocumentAt(now) : nullptr;
  BlinkSource gone = m_Entries[static_cast<std::size_t>(row)];
  gone.shiftX = gone.shiftY = 0;
  m_Entries.erase(m_Entries.begin() + row);
  m_Candidates.push_back(gone);
  Rebuild();
  if (selected) m_pList->setCurrentRow(m_pList->FindDocument(selected));
}

void CDlgBlink::ShowSelectedShift() {
  if (m_bLoading) return;
  const int row = m_pList->currentRow();
  int x = m_nShiftX, y = m_nShiftY;
  if (!m_Target.GetShift(row, &x, &y)) return;
  m_bLoading = true;
  m_pX->setValue(x);
  m_pY->setValue(y);
  m_bLoading = false;
}

void CDlgBlink::OnShiftEdited() {
  if (m_bLoading) return;
  m_nShiftX = m_pX->value();
  m_nShiftY = m_pY->value();
  const int row = m_pList->currentRow();
  if (!m_Target.SetShift(row, m_nShiftX, m_nShiftY)) return;
  m_Entries[static_cast<std::size_t>(row)].shiftX = m_nShiftX;
  m_Entries[static_cast<std::size_t>(row)].shiftY = m_nShiftY;
  emit shiftChanged(&m_Target);
}

void CDlgBlink::MoveShift(int direction, double step) {
  const int n = std::max(1, static_cast<int>(std::lround(std::fabs(step))));
  double ddx = 0.0, ddy = 0.0;
  if (!CDirectionButton::Offset(direction, n, &ddx, &ddy)) return;
  const int dx = static_cast<int>(ddx), dy = static_cast<int>(ddy);
  const int row = m_pList->currentRow();
  int x = m_nShiftX, y = m_nShiftY;
  if (!m_Target.GetShift(row, &x, &y)) {
    x = m_pX->value();
    y = m_pY->value();
  }
  m_bLoading = true;
  m_pX->setValue(x + dx);
  m_pY->setValue(y + dy);
  m_bLoading = false;
  OnShiftEdited();
}

int CDlgBlink::GetBlinkTime() const {
  return m_pTime->value();
}

void CDlgBlink::Start() {
  if (m_bRunning) return;
  Refresh();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  m_pStart->setText(Q(blink_text::kStop));
  m_bRunning = true;
  UpdateEnabling();
  emit startBlink(&m_Target, m_bPrepare);
  m_bPrepare = false;
  QApplication::restoreOverrideCursor();
  // The window may have refused (nothing to show) and ended it meanwhile.
  if (m_bRunning) m_Timer.start(0);
}

void CDlgBlink::Stop() {
  m_Timer.stop();
  if (!m_bRunning) return;
  m_pStart->setText(Q(blink_text::kStart));
  m_bRunning = false;
  UpdateEnabling();
  emit endBlink();
  for (std::size_t i = 0; i < m_Entries.size(); ++i)
    if (m_Entries[i].window == m_pOwn) m_pList->setCurrentRow(static_cast<int>(i));
}

void CDlgBlink::OnTimer() {
  if (!m_bRunning || m_bInTimer) return;
  m_bInTimer = true;
  // The next step is timed from the start of this one.
  m_Timer.start(GetBlinkTime());
  if (m_Target.GetBlinkItem()) {
    m_pList->setCurrentRow(m_Target.GetCurrentNo());
    emit showFrame(m_Target.GetCurrentNo());
    m_Target.Next();
  }
  m_bInTimer = false;
}

void CDlgBlink::closeEvent(QCloseEvent* event) {
  Stop();
  QDialog::closeEvent(event);
  emit closedByUser();
}

void CDlgBlink::hideEvent(QHideEvent* event) {
  Stop();
  QDialog::hideEvent(event);
}

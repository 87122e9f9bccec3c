// The windows the Window menu offers: every image window, then the tool dialogs that are
// shown (profile graph, blink, photometry, positioning) of each, in that order.
#pragma once

#include <QString>
#include <functional>
#include <vector>

class QMdiArea;
class QWidget;

struct WindowListEntry {
  QString title;
  QWidget* window = nullptr;  // the image window's frame or the dialog
  bool current = false;       // the active image window
  std::function<void()> activate;
};

std::vector<WindowListEntry> WindowListEntries(QMdiArea* mdi);

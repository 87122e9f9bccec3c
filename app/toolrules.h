// The measurement-tool rules of the main frame: one tool at a time on a document, what
// each tool command shows and hides, and the names and status texts of the tool modes.
// The rules see the image window only through CToolWindow, so they hold for any window.
#pragma once

#include <string>

#include "display/qt/toolwindow.h"

namespace tool_rules {

// Tool modes of a document and of the application (also the mouse modes of the image
// window).
enum MODE {
  MODE_NONE = 0,
  MODE_CROP = 1,
  MODE_BLINK = 2,
  MODE_GRAPH = 3,
  MODE_APERTURE = 4,
  MODE_POSITIONING = 5
};

// "Crop", "Blink", "Graph2d", "Aperture", "Positioning"; empty for none or an unknown mode.
const char* ModeName(int mode);
// The mode of a name; MODE_NONE for an empty or unknown name.
int ModeOfName(const std::string& name);

// The document's tool mode and the application's, changed together by the commands.
struct ToolState {
  int document = MODE_NONE;
  int application = MODE_NONE;
};

// Each command toggles its tool on the window by the rules of one tool at a time.
void Positioning(CToolWindow& wnd, ToolState& state);
void Graph(CToolWindow& wnd, ToolState& state);
// Makes an undo copy first (the blink tool changes the image it aligns); without one
// the blink is not turned on.
void Blink(CToolWindow& wnd, ToolState& state);
void Crop(CToolWindow& wnd, ToolState& state);
// Shown only when neither photometry dialog is; asks the aperture kind unless the
// application is already measuring apertures.
void Aperture(CToolWindow& wnd, ToolState& state);

// Whether a command's menu item is checked: its dialog is shown (crop: its mode is on).
bool IsChecked(const CToolWindow& wnd, int documentMode, int mode);

// Hides the dialog of mode on the window (a document closes with it).
void HideDialog(CToolWindow& wnd, int mode);

// The word that replaces "OFF*" in the status pane: "ON" while the active document has
// a tool, "ON*" while only the application's last tool is still on, else "OFF".
const char* StatusWord(int activeDocumentMode, int applicationMode);

}  // namespace tool_rules

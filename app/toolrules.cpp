#include "app/toolrules.h"

namespace tool_rules {

namespace {

constexpr const char* kNames[] = {"", "Crop", "Blink", "Graph2d", "Aperture", "Positioning"};

void SetMode(ToolState& state, int mode) {
  state.document = mode;
  state.application = mode;
}

}  // namespace

const char* ModeName(int mode) {
  return mode > MODE_NONE && mode <= MODE_POSITIONING ? kNames[mode] : "";
}

int ModeOfName(const std::string& name) {
  for (int mode = MODE_CROP; mode <= MODE_POSITIONING; ++mode)
    if (!name.empty() && name == kNames[mode]) return mode;
  return MODE_NONE;
}

void Positioning(CToolWindow& wnd, ToolState& state) {
  if (wnd.IsPositioningDlgShown()) {
    wnd.HidePositioningDlg();
    SetMode(state, MODE_NONE);
    return;
  }
  SetMode(state, MODE_POSITIONING);
  wnd.ShowPositioningDlg();
  wnd.HideApertureDlg();
  wnd.EndBlink();
}

void Graph(CToolWindow& wnd, ToolState& state) {
  if (wnd.IsGraph2DDlgShown()) {
    wnd.HideGraph2DDlg();
    SetMode(state, MODE_NONE);
    return;
  }
  SetMode(state, MODE_GRAPH);
  wnd.ShowGraph2DDlg();
  wnd.EndBlink();
}

void Blink(CToolWindow& wnd, ToolState& state) {
  // Blinking shows other frames but never changes the image: it takes no undo copy, so
  // the command before it can still be undone.
  if (wnd.IsBlinkDlgShown()) {
    wnd.HideBlinkDlg();
    SetMode(state, MODE_NONE);
    return;
  }
  SetMode(state, MODE_BLINK);
  wnd.ShowBlinkDlg();
  wnd.HideApertureDlg();
  wnd.HidePositioningDlg();
  wnd.HideGraph2DDlg();
}

void Crop(CToolWindow& wnd, ToolState& state) {
  if (state.document == MODE_CROP) {
    SetMode(state, MODE_NONE);
    return;
  }
  SetMode(state, MODE_CROP);
  wnd.HideBlinkDlg();
  wnd.HideApertureDlg();
  wnd.HidePositioningDlg();
  wnd.HideGraph2DDlg();
}

void Aperture(CToolWindow& wnd, ToolState& state) {
  if (wnd.IsApertureOpenDlgShown() || wnd.IsApertureRectDlgShown()) return;
  wnd.EndBlink();
  wnd.HidePositioningDlg();
  if (state.document == MODE_POSITIONING) state.document = MODE_NONE;
  if (state.application == MODE_POSITIONING) state.application = MODE_NONE;
  if (state.application != MODE_APERTURE) {
    int mode = wnd.GetApertureMode();
    if (!wnd.AskApertureMode(&mode)) return;
    wnd.SetApertureMode(mode);
  }
  SetMode(state, MODE_APERTURE);
  wnd.ShowApertureDlg();
}

bool IsChecked(const CToolWindow& wnd, int documentMode, int mode) {
  switch (mode) {
    case MODE_CROP:
      return documentMode == MODE_CROP;
    case MODE_BLINK:
      return wnd.IsBlinkDlgShown() != 0;
    case MODE_GRAPH:
      return wnd.IsGraph2DDlgShown() != 0;
    case MODE_APERTURE:
      return wnd.IsApertureOpenDlgShown() || wnd.IsApertureRectDlgShown();
    case MODE_POSITIONING:
      return wnd.IsPositioningDlgShown() != 0;
    default:
      return false;
  }
}

void HideDialog(CToolWindow& wnd, int mode) {
  switch (mode) {
    case MODE_BLINK:
      wnd.HideBlinkDlg();
      break;
    case MODE_GRAPH:
      wnd.HideGraph2DDlg();
      break;
    case MODE_APERTURE:
      wnd.HideApertureDlg();
      break;
    case MODE_POSITIONING:
      wnd.HidePositioningDlg();
      break;
    default:
      break;
  }
}

const char* StatusWord(int activeDocumentMode, int applicationMode) {
  if (activeDocumentMode != MODE_NONE) return "ON";
  if (applicationMode != MODE_NONE) return "ON*";
  return "OFF";
}

}  // namespace tool_rules

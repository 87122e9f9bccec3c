// CToolWindow: what the main frame's measurement-tool rules ask of an image window: its
// tool dialogs shown or hidden, blinking stopped, the aperture kind asked and an undo copy
// made. The rules are kept apart from the window so that they run against any window,
// including one whose tools are stand-ins.
#pragma once

class CToolWindow {
 public:
  // The measurement tools an image window may carry.
  enum TOOL { TOOL_CROP = 0, TOOL_BLINK, TOOL_APERTURE, TOOL_POSITIONING, TOOL_GRAPH };

  virtual ~CToolWindow() = default;

  // Whether the window carries that tool at all; the menus offer only tools that exist.
  virtual int HasTool(TOOL tool) const = 0;

  virtual void ShowPositioningDlg() = 0;
  virtual void HidePositioningDlg() = 0;
  virtual int IsPositioningDlgShown() const = 0;
  virtual void ShowGraph2DDlg() = 0;
  virtual void HideGraph2DDlg() = 0;
  virtual int IsGraph2DDlgShown() const = 0;
  virtual void ShowBlinkDlg() = 0;
  virtual void HideBlinkDlg() = 0;
  virtual int IsBlinkDlgShown() const = 0;
  // The photometry dialog of the current aperture mode (circles when non-zero, else
  // rectangles); hiding hides both.
  virtual void ShowApertureDlg() = 0;
  virtual void HideApertureDlg() = 0;
  virtual int IsApertureOpenDlgShown() const = 0;
  virtual int IsApertureRectDlgShown() const = 0;
  virtual void SetApertureMode(int mode) = 0;
  virtual int GetApertureMode() const = 0;
  // Asks which aperture kind to measure with; 0 when the user cancels.
  virtual int AskApertureMode(int* mode) = 0;

  // A blink target is set: frames are being shown in turn.
  virtual int IsBlink() const = 0;
  virtual void EndBlink() = 0;
  virtual int MakeUndoBuff() = 0;
};

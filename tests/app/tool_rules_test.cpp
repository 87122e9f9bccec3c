// The measurement-tool rules against a window whose dialogs are stand-ins: each command
// from a given state of shown dialogs, blinking and tool modes, and what it leaves shown.
#include "app/toolrules.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// Dialogs as letters: P positioning, G graph, B blink, A circular and R rectangular
// photometry; * while frames are being blinked.
class StubWindow : public CToolWindow {
 public:
  explicit StubWindow(const std::string& shown) {
    for (char c : shown) Set(c, true);
  }
  std::string Shown() const {
    std::string s;
    for (char c : std::string("PGBAR*"))
      if (Get(c)) s += c;
    return s;
  }
  int HasTool(TOOL) const override { return 1; }
  void ShowPositioningDlg() override { Set('P', true); }
  void HidePositioningDlg() override { Set('P', false); }
  int IsPositioningDlgShown() const override { return Get('P'); }
  void ShowGraph2DDlg() override { Set('G', true); }
  void HideGraph2DDlg() override { Set('G', false); }
  int IsGraph2DDlgShown() const override { return Get('G'); }
  void ShowBlinkDlg() override { Set('B', true); }
  void HideBlinkDlg() override { Set('B', false); }
  int IsBlinkDlgShown() const override { return Get('B'); }
  void ShowApertureDlg() override { Set(apertureMode ? 'A' : 'R', true); }
  void HideApertureDlg() override {
    Set('A', false);
    Set('R', false);
  }
  int IsApertureOpenDlgShown() const override { return Get('A'); }
  int IsApertureRectDlgShown() const override { return Get('R'); }
  void SetApertureMode(int mode) override { apertureMode = mode; }
  int GetApertureMode() const override { return apertureMode; }
  int AskApertureMode(int* mode) override {
    ++asked;
    if (answer < 0) return 0;
    *mode = answer;
    return 1;
  }
  int IsBlink() const override { return Get('*'); }
  void EndBlink() override { Set('*', false); }
  int MakeUndoBuff() override {
    ++undos;
    return undoMemory;
  }

  int apertureMode = 1;
  int answer = 1;  // the aperture kind chosen; −1 cancels
  int asked = 0;
  int undos = 0;
  int undoMemory = 1;

 private:
  bool Get(char c) const { return shown_.find(c) != std::string::npos; }
  void Set(char c, bool on) {
    const auto at = shown_.find(c);
    if (on && at == std::string::npos) shown_ += c;
    if (!on && at != std::string::npos) shown_.erase(at, 1);
  }
  std::string shown_;
};

using namespace tool_rules;

struct Case {
  const char* name;
  void (*command)(CToolWindow&, ToolState&);
  const char* before;
  int document, application;
  int answer;      // aperture kind the user picks, −1 for cancel
  int undoMemory;  // 0: the undo copy cannot be made
  const char* after;
  int documentAfter, applicationAfter;
  int asked;
};

class ToolRules : public testing::TestWithParam<Case> {};

TEST_P(ToolRules, CommandLeavesTheDialogsAndModes) {
  const Case& c = GetParam();
  StubWindow wnd(c.before);
  wnd.answer = c.answer;
  wnd.undoMemory = c.undoMemory;
  ToolState state{c.document, c.application};
  c.command(wnd, state);
  EXPECT_EQ(wnd.Shown(), c.after);
  EXPECT_EQ(state.document, c.documentAfter);
  EXPECT_EQ(state.application, c.applicationAfter);
  EXPECT_EQ(wnd.asked, c.asked);
  // No tool command changes the image, so none takes an undo copy.
  EXPECT_EQ(wnd.undos, 0);
}

// Expected "after" strings list the letters in the order P G B A R *.
INSTANTIATE_TEST_SUITE_P(
    Commands, ToolRules,
    testing::Values(
        Case{"PositioningOnHidesPhotometryAndStopsBlink", &Positioning, "GA*", 0, 0, 1, 1, "PG",
             MODE_POSITIONING, MODE_POSITIONING, 0},
        Case{"PositioningOffLeavesTheGraph", &Positioning, "PG", MODE_POSITIONING, MODE_POSITIONING,
             1, 1, "G", MODE_NONE, MODE_NONE, 0},
        Case{"GraphOnKeepsPositioningAndStopsBlink", &Graph, "P*", MODE_POSITIONING,
             MODE_POSITIONING, 1, 1, "PG", MODE_GRAPH, MODE_GRAPH, 0},
        Case{"GraphOff", &Graph, "G", MODE_GRAPH, MODE_GRAPH, 1, 1, "", MODE_NONE, MODE_NONE, 0},
        Case{"BlinkOnHidesTheOtherDialogs", &Blink, "PGA", MODE_GRAPH, MODE_GRAPH, 1, 1, "B",
             MODE_BLINK, MODE_BLINK, 0},
        Case{"BlinkOff", &Blink, "B", MODE_BLINK, MODE_BLINK, 1, 1, "", MODE_NONE, MODE_NONE, 0},
        Case{"BlinkOffWithoutUndoMemory", &Blink, "B", MODE_BLINK, MODE_BLINK, 1, 0, "", MODE_NONE,
             MODE_NONE, 0},
        Case{"BlinkStartsWithoutUndoMemory", &Blink, "G", MODE_GRAPH, MODE_GRAPH, 1, 0, "B",
             MODE_BLINK, MODE_BLINK, 0},
        Case{"CropOnHidesEveryDialog", &Crop, "PGBR*", MODE_BLINK, MODE_BLINK, 1, 1, "*", MODE_CROP,
             MODE_CROP, 0},
        Case{"CropOffTouchesNoDialog", &Crop, "G", MODE_CROP, MODE_CROP, 1, 1, "G", MODE_NONE,
             MODE_NONE, 0},
        Case{"ApertureAsksTheKindFirst", &Aperture, "P*", MODE_POSITIONING, MODE_POSITIONING, 0, 1,
             "R", MODE_APERTURE, MODE_APERTURE, 1},
        Case{"ApertureAgainOnAnotherImageAsksNothing", &Aperture, "G", MODE_NONE, MODE_APERTURE, 0,
             1, "GA", MODE_APERTURE, MODE_APERTURE, 0},
        Case{"ApertureCancelledStillStopsBlinkAndPositioning", &Aperture, "PG*", MODE_POSITIONING,
             MODE_POSITIONING, -1, 1, "G", MODE_NONE, MODE_NONE, 1},
        Case{"ApertureShownAlreadyDoesNothing", &Aperture, "R*", MODE_APERTURE, MODE_APERTURE, 1, 1,
             "R*", MODE_APERTURE, MODE_APERTURE, 0}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(ToolRulesText, NamesAndStatusWords) {
  for (int mode = MODE_CROP; mode <= MODE_POSITIONING; ++mode)
    EXPECT_EQ(ModeOfName(ModeName(mode)), mode);
  EXPECT_STREQ(ModeName(MODE_GRAPH), "Graph2d");
  EXPECT_STREQ(ModeName(7), "");
  EXPECT_EQ(ModeOfName(""), MODE_NONE);
  EXPECT_EQ(ModeOfName("crop"), MODE_NONE);
  EXPECT_STREQ(StatusWord(MODE_CROP, MODE_NONE), "ON");
  EXPECT_STREQ(StatusWord(MODE_NONE, MODE_GRAPH), "ON*");
  EXPECT_STREQ(StatusWord(MODE_NONE, MODE_NONE), "OFF");
}

TEST(ToolRulesText, ItemsAreCheckedWhileTheirDialogsShow) {
  StubWindow wnd("GR");
  EXPECT_TRUE(IsChecked(wnd, MODE_NONE, MODE_GRAPH));
  EXPECT_TRUE(IsChecked(wnd, MODE_NONE, MODE_APERTURE));
  EXPECT_FALSE(IsChecked(wnd, MODE_NONE, MODE_POSITIONING));
  EXPECT_FALSE(IsChecked(wnd, MODE_NONE, MODE_CROP));
  EXPECT_TRUE(IsChecked(wnd, MODE_CROP, MODE_CROP));
}

}  // namespace

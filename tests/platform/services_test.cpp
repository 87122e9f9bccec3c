// Progress, message boxes and user prompts: the services that stand in for windows.
#include <gtest/gtest.h>

#include "platform/messagebox.h"
#include "platform/progress.h"
#include "platform/userprompts.h"

using Kind = RecordingProgress::Kind;

TEST(Progress, SendsEachPercentOnceAndAlwaysEnds) {
  RecordingProgress sink;
  {
    ProgressScope scope(&sink, "Reading");
    for (int i = 1; i <= 1000; ++i) scope.Update(i, 1000);
  }
  ASSERT_EQ(sink.events.size(), 103u);  // begin, 0..100, end
  EXPECT_EQ(sink.events.front().kind, Kind::kBegin);
  EXPECT_EQ(sink.events.front().caption, "Reading");
  for (int p = 0; p <= 100; ++p) EXPECT_EQ(sink.events[p + 1].percent, p);
  EXPECT_EQ(sink.events.back().kind, Kind::kEnd);
}

TEST(Progress, EndIsSentOnAnEarlyExitAndOnlyOnce) {
  RecordingProgress sink;
  auto work = [&](bool fail) {
    ProgressScope scope(&sink, "Work");
    scope.Update(1, 3);
    if (fail) return false;
    scope.Finish();
    scope.Finish();
    return true;
  };
  EXPECT_FALSE(work(true));
  EXPECT_TRUE(work(false));
  int ends = 0;
  for (auto& e : sink.events) ends += e.kind == Kind::kEnd;
  EXPECT_EQ(ends, 2);
  ProgressScope silent(nullptr, "nobody listens");  // a null sink is allowed
  silent.Update(5, 10);
}

TEST(Progress, OutOfRangeCountsAreClamped) {
  RecordingProgress sink;
  ProgressScope scope(&sink, "x");
  scope.Update(-5, 10);
  scope.Update(50, 10);
  scope.Update(1, 0);  // no total: nothing sent
  ASSERT_EQ(sink.events.size(), 3u);
  EXPECT_EQ(sink.events[1].percent, 0);
  EXPECT_EQ(sink.events[2].percent, 100);
}

TEST(MessageBoxes, DefaultButtonFollowsTheStyle) {
  EXPECT_EQ(MessageBoxDefaultButton(MB_OK | MB_ICONSTOP), IDOK);
  EXPECT_EQ(MessageBoxDefaultButton(MB_YESNO), IDYES);
  EXPECT_EQ(MessageBoxDefaultButton(MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(MessageBoxDefaultButton(MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
  EXPECT_EQ(MessageBoxDefaultButton(MB_OKCANCEL | MB_DEFBUTTON3), IDOK);  // no third button
  EXPECT_EQ(MessageBoxButtons(MB_ABORTRETRYIGNORE), (std::vector<int>{IDABORT, IDRETRY, IDIGNORE}));
}

TEST(MessageBoxes, RecorderSeesTheExactTextAndAnswersAsTold) {
  RecordingMessageBox box;
  box.Answer(IDNO);
  {
    ScopedMessageBox scoped(&box);
    EXPECT_EQ(AfxMessageBox("上書きしますか？", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(AfxMessageBox("done"), IDOK);  // script used up: the default button
  }
  ASSERT_EQ(box.shown.size(), 2u);
  EXPECT_EQ(box.shown[0].text, "上書きしますか？");
  EXPECT_EQ(box.shown[0].caption, ApplicationTitle());
  EXPECT_EQ(box.shown[0].style, MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(&GetMessageBox(), &GetMessageBox());
  EXPECT_NE(&GetMessageBox(), static_cast<MessageBox*>(&box));  // restored after the scope
}

namespace {
struct RawLayoutPrompt : Prompt {
  std::string_view Kind() const override { return "LoadRaw"; }
  int width = 640;
  int height = 480;
};
struct PlanesPrompt : Prompt {
  std::string_view Kind() const override { return "LFits3D"; }
  int plane = 1;
};
}  // namespace

TEST(UserPromptsTest, ScriptAnswersInOrderAndCancelsTheUnexpected) {
  ScriptedPrompts script;
  script.Expect("LoadRaw", [](Prompt& p) {
    static_cast<RawLayoutPrompt&>(p).width = 1024;
    return true;
  });
  script.Expect("LoadRaw", [](Prompt&) { return false; });
  ScopedUserPrompts scoped(&script);

  RawLayoutPrompt first;
  EXPECT_TRUE(GetUserPrompts().Ask(first));
  EXPECT_EQ(first.width, 1024);
  EXPECT_EQ(first.height, 480);
  RawLayoutPrompt second;
  EXPECT_FALSE(GetUserPrompts().Ask(second));
  PlanesPrompt planes;
  EXPECT_FALSE(GetUserPrompts().Ask(planes));
  EXPECT_EQ(script.asked(), (std::vector<std::string>{"LoadRaw", "LoadRaw", "LFits3D"}));
  EXPECT_EQ(script.unexpected(), (std::vector<std::string>{"LFits3D"}));
}

TEST(UserPromptsTest, AlwaysAnswersAfterTheQueueAndNobodyMeansCancel) {
  ScriptedPrompts script;
  script.Always("LFits3D", [](Prompt& p) {
    static_cast<PlanesPrompt&>(p).plane = 3;
    return true;
  });
  PlanesPrompt a, b;
  EXPECT_TRUE(script.Ask(a));
  EXPECT_TRUE(script.Ask(b));
  EXPECT_EQ(b.plane, 3);
  EXPECT_TRUE(script.unexpected().empty());
  PlanesPrompt c;
  EXPECT_FALSE(GetUserPrompts().Ask(c));  // nothing installed: questions are declined
}

// Settings shared between real processes: a restart keeps them, concurrent writers lose
// nothing, and a writer killed in the middle of a save leaves the last good file.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "settings/registry.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

pid_t Spawn(std::vector<std::string> args) {
  args.insert(args.begin(), TestBinDir() + "/settings_writer");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
  return rc == 0 ? pid : -1;
}

int Wait(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

}  // namespace

TEST(SettingsProcesses, ValuesSurviveARestart) {
  ScopedConfigHome home;
  int status = Wait(Spawn({"Restart", "value", "3"}));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string v;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(CRegistry::Read("Restart", "value" + std::to_string(i), "", v), 1);
    EXPECT_EQ(v, "value" + std::to_string(i));
  }
}

TEST(SettingsProcesses, TwoWritersAtOnceLoseNothing) {
  ScopedConfigHome home;
  constexpr int kCount = 150;
  pid_t a = Spawn({"Shared", "a", std::to_string(kCount)});
  pid_t b = Spawn({"Shared", "b", std::to_string(kCount)});
  // This process writes to the same section in the same moments.
  for (int i = 0; i < 50; ++i)
    ASSERT_EQ(CRegistry::Write("Shared", "c" + std::to_string(i), i, CRegistry::TYPE_INT), 1);
  int sa = Wait(a), sb = Wait(b);
  ASSERT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0);
  ASSERT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0);

  auto values = CRegistry::EnumValues("Shared");
  EXPECT_EQ(values.size(), 2u * kCount + 50);
  std::string v;
  for (const char* prefix : {"a", "b"}) {
    for (int i = 0; i < kCount; ++i) {
      std::string name = prefix + std::to_string(i);
      ASSERT_EQ(CRegistry::Read("Shared", name, "", v), 1) << name;
      EXPECT_EQ(v, name);
    }
  }
  int c = -1;
  EXPECT_EQ(CRegistry::Read("Shared", "c49", 0, c, CRegistry::TYPE_INT), 1);
  EXPECT_EQ(c, 49);
}

TEST(SettingsProcesses, AWriterKilledMidSaveLeavesTheLastGoodFile) {
  for (const char* stage : {"write", "sync", "rename"}) {
    SCOPED_TRACE(stage);
    ScopedConfigHome home;
    ASSERT_EQ(CRegistry::Write("Kill", "before", "intact"), 1);

    int status = Wait(Spawn({"Kill", "new", "2", "--die-at", stage}));
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // The first value of the killed process landed; the one it died saving did not.
    std::string v;
    EXPECT_EQ(CRegistry::Read("Kill", "before", "", v), 1);
    EXPECT_EQ(v, "intact");
    EXPECT_EQ(CRegistry::Read("Kill", "new0", "", v), 1);
    EXPECT_EQ(CRegistry::Read("Kill", "new1", "missing", v), 0);
    EXPECT_EQ(v, "missing");

    // The next save clears what the killed one left and keeps everything.
    ASSERT_EQ(CRegistry::Write("Kill", "after", "ok"), 1);
    int entries = 0;
    for (auto& e : std::filesystem::directory_iterator(home.path()))
      entries += e.path().filename().string().find(".tmp-") != std::string::npos;
    EXPECT_EQ(entries, 0);
    EXPECT_EQ(CRegistry::Read("Kill", "new0", "", v), 1);
  }
}

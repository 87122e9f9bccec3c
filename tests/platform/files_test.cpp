#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "tests/support/temp_dir.h"

namespace {

int FailWrites(const char* stage) { return std::string(stage) == "write" ? ENOSPC : 0; }
int FailRename(const char* stage) { return std::string(stage) == "rename" ? EIO : 0; }

struct HookGuard {
  explicit HookGuard(SaveFaultHook hook) { SetSaveFaultHook(hook); }
  ~HookGuard() { SetSaveFaultHook(nullptr); }
};

int CountEntries(const std::string& dir) {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

int Save(const std::string& target, const std::string& content) {
  AtomicFile f;
  if (int e = f.Open(target)) return e;
  if (int e = f.Write(content.data(), content.size())) return e;
  return f.Commit();
}

}  // namespace

TEST(AtomicFileTest, ReplacesTheTargetAndKeepsItsPermissions) {
  TempDir dir;
  std::string target = dir.File("a.fits");
  WriteFileOrDie(target, "old");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(Save(target, "new content"), 0);
  EXPECT_EQ(ReadFileOrEmpty(target), "new content");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(CountEntries(dir.path()), 1);  // no temporary left behind
}

TEST(AtomicFileTest, AFailedWriteOrRenameLeavesTheOldFileAsItWas) {
  TempDir dir;
  std::string target = dir.File("a.fits");
  WriteFileOrDie(target, "precious");
  {
    HookGuard hook(FailWrites);
    EXPECT_EQ(Save(target, "half written"), ENOSPC);
    EXPECT_EQ(LastSaveError(), ENOSPC);
  }
  {
    HookGuard hook(FailRename);
    EXPECT_EQ(Save(target, "fully written"), EIO);
  }
  EXPECT_EQ(ReadFileOrEmpty(target), "precious");
  EXPECT_EQ(CountEntries(dir.path()), 1);
}

TEST(AtomicFileTest, ANewFileAndAFileBehindALink) {
  TempDir dir;
  ASSERT_EQ(Save(dir.File("fresh.txt"), "x"), 0);
  EXPECT_EQ(ReadFileOrEmpty(dir.File("fresh.txt")), "x");

  WriteFileOrDie(dir.File("real.txt"), "old");
  ASSERT_EQ(::symlink("real.txt", dir.File("link.txt").c_str()), 0);
  ASSERT_EQ(Save(dir.File("link.txt"), "through the link"), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.txt")));
  EXPECT_EQ(ReadFileOrEmpty(dir.File("real.txt")), "through the link");
}

TEST(AtomicFileTest, UnwritableFolderGivesItsErrorAndStaleTemporariesAreRemoved) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
  EXPECT_EQ(Save(dir.File("x"), "data"), EACCES);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
}

struct SweepCase {
  const char* name;
  bool removed;
};

class StaleTemporaryTest : public ::testing::TestWithParam<SweepCase> {};

// A save of a.ini sweeps the folder: the temporaries of any killed save in it, the older
// plain name only for a.ini itself, and nothing that merely looks like one.
TEST_P(StaleTemporaryTest, ASaveIntoTheFolderSweepsOnlyLeftoversOfOurs) {
  TempDir dir;
  const SweepCase& c = GetParam();
  WriteFileOrDie(dir.File(c.name), "left by a killed save");
  ASSERT_EQ(Save(dir.File("a.ini"), "new"), 0);
  EXPECT_EQ(std::filesystem::exists(dir.File(c.name)), !c.removed);
}

// The older plain name of another target may be another program's: left alone.
const SweepCase kSweepCases[] = {
    {".a.ini.vtl-tmp-AbC123", true},   {".other.fits.vtl-tmp-x9Y8z7", true},
    {".a.ini.tmp-AbC123", true},       {".b.ini.tmp-AbC123", false},
    {".a.ini.vtl-tmp-toolong", false}, {".a.ini.vtl-tmp-AbC12", false},
    {".a.ini.vtl-tmp-Ab-123", false},  {"a.ini.vtl-tmp-AbC123", false},
    {"..vtl-tmp-AbC123", false},
};
INSTANTIATE_TEST_SUITE_P(Names, StaleTemporaryTest, ::testing::ValuesIn(kSweepCases));

TEST(AtomicFileTest, TheSweepLeavesLinksFifosAndFoldersWithOurNames) {
  TempDir dir;
  WriteFileOrDie(dir.File("victim"), "precious");
  ASSERT_EQ(::symlink("victim", dir.File(".a.vtl-tmp-Link01").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.File(".a.vtl-tmp-Fifo01").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir.File(".a.vtl-tmp-Fold01").c_str(), 0700), 0);
  RemoveStaleTemporaries(dir.File("x"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File(".a.vtl-tmp-Link01")));
  EXPECT_EQ(ReadFileOrEmpty(dir.File("victim")), "precious");
  EXPECT_TRUE(std::filesystem::is_fifo(dir.File(".a.vtl-tmp-Fifo01")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.File(".a.vtl-tmp-Fold01")));
}

// A save in progress holds its temporary locked: neither a save in this process nor one
// in another takes it for a leftover. Once the process holding it is gone, the next save
// removes it.
TEST(AtomicFileTest, TheSweepNeverTakesTheTemporaryOfARunningSave) {
  TempDir dir;
  AtomicFile running;
  ASSERT_EQ(running.Open(dir.File("a.fits")), 0);
  ASSERT_EQ(running.Write("first half", 10), 0);
  ASSERT_EQ(Save(dir.File("b.fits"), "another save"), 0);
  ASSERT_EQ(Save(dir.File("a.fits"), "the same target"), 0);
  EXPECT_TRUE(std::filesystem::exists(running.temp_path()));

  int report[2], release[2];
  ASSERT_EQ(::pipe(report), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Another process saving: it stops half-way and ends without committing or
    // discarding, as a killed save would.
    ::close(report[0]);
    ::close(release[1]);
    AtomicFile other;
    char ok = other.Open(dir.File("c.fits")) == 0 && other.Write("half", 4) == 0 ? 1 : 0;
    if (::write(report[1], &ok, 1) != 1) ::_exit(2);
    char ignored;
    if (::read(release[0], &ignored, 1) < 0) ::_exit(2);
    ::_exit(0);
  }
  ::close(report[1]);
  ::close(release[0]);
  char ok = 0;
  ASSERT_EQ(::read(report[0], &ok, 1), 1);
  ASSERT_EQ(ok, 1);
  auto othersTemporaries = [&] {
    int n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
      n += e.path().filename().string().rfind(".c.fits.vtl-tmp-", 0) == 0;
    return n;
  };
  ASSERT_EQ(Save(dir.File("b.fits"), "while the other process saves"), 0);
  EXPECT_EQ(othersTemporaries(), 1);

  ::close(release[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(othersTemporaries(), 1);  // the dead process left it
  ASSERT_EQ(Save(dir.File("b.fits"), "after the other process"), 0);
  EXPECT_EQ(othersTemporaries(), 0);

  EXPECT_TRUE(std::filesystem::exists(running.temp_path()));
  ASSERT_EQ(running.Write(" second half", 12), 0);
  ASSERT_EQ(running.Commit(), 0);
  EXPECT_EQ(ReadFileOrEmpty(dir.File("a.fits")), "first half second half");
  ::close(report[0]);
}

TEST(ReadFileToStringTest, RefusesFilesAboveTheLimitWithoutReadingThem) {
  TempDir dir;
  WriteFileOrDie(dir.File("f"), std::string(1000, 'x'));
  std::string out;
  EXPECT_EQ(ReadFileToString(dir.File("f"), 999, out), EFBIG);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(ReadFileToString(dir.File("f"), 1000, out), 0);
  EXPECT_EQ(out.size(), 1000u);
  EXPECT_EQ(ReadFileToString(dir.File("missing"), 10, out), ENOENT);
  EXPECT_EQ(ReadFileToString(dir.path(), 10, out), EISDIR);
}

TEST(MakeDirectoriesTest, CreatesParentsAndRefusesAFileInTheWay) {
  TempDir dir;
  EXPECT_EQ(MakeDirectories(dir.File("a/b/c")), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b/c")));
  EXPECT_EQ(MakeDirectories(dir.File("a/b/c")), 0);
  WriteFileOrDie(dir.File("file"), "");
  EXPECT_EQ(MakeDirectories(dir.File("file/sub")), ENOTDIR);
  EXPECT_EQ(DirectoryOf("/x"), "/");
  EXPECT_EQ(DirectoryOf("x"), ".");
}

TEST(FileLockTest, ASecondHolderWaitsThenTimesOut) {
  TempDir dir;
  std::string lockPath = dir.File("s.lock");
  FileLock first(lockPath);
  ASSERT_EQ(first.error(), 0);
  int secondError = -1;
  // flock locks belong to open file descriptions, so a second open in another thread
  // contends exactly as another process would.
  std::thread t([&] {
    FileLock second(lockPath, 100);
    secondError = second.error();
  });
  t.join();
  EXPECT_EQ(secondError, ETIMEDOUT);
}

#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
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

TEST(AtomicFileTest, StaleTemporariesOfOnlyThatTargetAreRemoved) {
  TempDir dir;
  WriteFileOrDie(dir.File(".a.ini.tmp-AbC123"), "left by a killed save");
  WriteFileOrDie(dir.File(".b.ini.tmp-AbC123"), "another file's");
  WriteFileOrDie(dir.File(".a.ini.tmp-toolongname"), "not ours");
  RemoveStaleTemporaries(dir.File("a.ini"));
  EXPECT_FALSE(std::filesystem::exists(dir.File(".a.ini.tmp-AbC123")));
  EXPECT_TRUE(std::filesystem::exists(dir.File(".b.ini.tmp-AbC123")));
  EXPECT_TRUE(std::filesystem::exists(dir.File(".a.ini.tmp-toolongname")));
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

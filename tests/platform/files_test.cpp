#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>

#include "tests/support/temp_dir.h"

namespace {

int FailWrites(const char* stage) {
  return std::string(stage) == "write" ? ENOSPC : 0;
}
int FailRename(const char* stage) {
  return std::string(stage) == "rename" ? EIO : 0;
}

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

namespace {

// A folder holding one name of each kind that reads and saves meet: a regular file, a
// folder, a FIFO, a socket, and symbolic links to a FIFO, to a folder, round a loop and
// to nothing.
class NameKinds : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileOrDie(dir_.File("file"), "content");
    ASSERT_EQ(::mkdir(dir_.File("dir").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(dir_.File("fifo").c_str(), 0600), 0);
    sock_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock = dir_.File("sock");
    ASSERT_LT(sock.size(), sizeof addr.sun_path);
    sock.copy(addr.sun_path, sock.size());
    ASSERT_EQ(::bind(sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::symlink("fifo", dir_.File("to-fifo").c_str()), 0);
    ASSERT_EQ(::symlink(dir_.File("dir").c_str(), dir_.File("to-dir").c_str()), 0);
    ASSERT_EQ(::symlink("loop-b", dir_.File("loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", dir_.File("loop-b").c_str()), 0);
    ASSERT_EQ(::symlink("file", dir_.File("to-file").c_str()), 0);
  }
  void TearDown() override {
    if (sock_ >= 0) ::close(sock_);
  }
  // The kind of a name itself (S_IFMT bits of lstat), to see that nothing was replaced.
  mode_t Kind(const std::string& name) const {
    struct stat st {};
    return ::lstat(dir_.File(name).c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
  }

  TempDir dir_;
  int sock_ = -1;
};

struct NameCase {
  const char* name;
  int error;  // 0: opened or saved
};

}  // namespace

class OpenRegularFileTest : public NameKinds, public ::testing::WithParamInterface<NameCase> {};

TEST_P(OpenRegularFileTest, OpensOnlyRegularFilesAndNeverBlocks) {
  const NameCase& c = GetParam();
  int fd = -1;
  struct stat st {};
  ASSERT_EQ(OpenRegularFile(dir_.File(c.name), fd, &st), c.error);
  if (c.error) {
    EXPECT_EQ(fd, -1);
    return;
  }
  EXPECT_EQ(st.st_size, 7);
  EXPECT_EQ(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // reads block as usual from here
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Names, OpenRegularFileTest,
                         ::testing::Values(NameCase{"file", 0}, NameCase{"to-file", 0},
                                           NameCase{"missing", ENOENT}, NameCase{"dir", EISDIR},
                                           NameCase{"to-dir", EISDIR}, NameCase{"fifo", EINVAL},
                                           NameCase{"to-fifo", EINVAL}, NameCase{"sock", EINVAL},
                                           NameCase{"loop-a", ELOOP}));

TEST(OpenRegularFileDeviceTest, ADeviceIsRefused) {
  int fd = -1;
  EXPECT_EQ(OpenRegularFile("/dev/zero", fd), EINVAL);
  EXPECT_EQ(fd, -1);
  std::string out;
  EXPECT_EQ(ReadFileToString("/dev/zero", 10, out), EINVAL);
}

class SaveTargetTest : public NameKinds, public ::testing::WithParamInterface<NameCase> {};

TEST_P(SaveTargetTest, RefusesAnythingButARegularFileAndReplacesNothing) {
  const NameCase& c = GetParam();
  const mode_t before = Kind(c.name);
  const int entries = CountEntries(dir_.path());
  EXPECT_EQ(Save(dir_.File(c.name), "saved"), c.error);
  EXPECT_EQ(Kind(c.name), before);
  EXPECT_EQ(CountEntries(dir_.path()), entries);  // no temporary file was made
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("file")), "content");
}

INSTANTIATE_TEST_SUITE_P(Names, SaveTargetTest,
                         ::testing::Values(NameCase{"dir", EISDIR}, NameCase{"to-dir", EISDIR},
                                           NameCase{"fifo", EINVAL}, NameCase{"to-fifo", EINVAL},
                                           NameCase{"sock", EINVAL}, NameCase{"loop-a", ELOOP}));

TEST_F(NameKinds, ASaveThroughLinksReplacesTheFileTheyLeadTo) {
  ASSERT_EQ(::symlink("to-file", dir_.File("to-to-file").c_str()), 0);
  ASSERT_EQ(Save(dir_.File("to-to-file"), "saved"), 0);
  EXPECT_EQ(ReadFileOrEmpty(dir_.File("file")), "saved");
  EXPECT_EQ(Kind("to-to-file"), S_IFLNK);
  EXPECT_EQ(Kind("to-file"), S_IFLNK);
}

TEST_F(NameKinds, ALockFileThatIsNoRegularFileIsRefused) {
  EXPECT_EQ(FileLock(dir_.File("fifo"), 100).error(), EINVAL);
  EXPECT_EQ(FileLock(dir_.File("dir"), 100).error(), EISDIR);
}

TEST(DanglingLinkTest, TheSaveCreatesTheFileTheLinkNames) {
  TempDir dir;
  ASSERT_EQ(MakeDirectories(dir.File("frames")), 0);
  ASSERT_EQ(MakeDirectories(dir.File("links")), 0);
  // Relative link texts count from each link's own folder, one level after another.
  ASSERT_EQ(::symlink("../frames/m31.fits", dir.File("links/m31").c_str()), 0);
  ASSERT_EQ(::symlink("links/m31", dir.File("latest").c_str()), 0);
  std::string resolved;
  ASSERT_EQ(CheckSaveTarget(dir.File("latest"), resolved), 0);
  EXPECT_TRUE(SameFile(DirectoryOf(resolved), dir.File("frames")));
  ASSERT_EQ(Save(dir.File("latest"), "new frame"), 0);
  EXPECT_EQ(ReadFileOrEmpty(dir.File("frames/m31.fits")), "new frame");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("latest")));
  EXPECT_TRUE(SameFile(dir.File("latest"), dir.File("frames/m31.fits")));
  EXPECT_EQ(CountEntries(dir.File("frames")), 1);

  // A link into a folder that does not exist creates nothing.
  ASSERT_EQ(::symlink("nowhere/x.fits", dir.File("lost").c_str()), 0);
  EXPECT_EQ(Save(dir.File("lost"), "data"), ENOENT);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("lost")));
}

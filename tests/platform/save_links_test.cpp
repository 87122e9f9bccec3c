// Saves into folders anyone may write to, and saves under names near the longest a folder
// takes: which symbolic links a save follows there, and the temporary written beside a
// target whose own name leaves little room.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <string>

#include "fits/fileiocodes.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace {

int Save(const std::string& target, const std::string& content) {
  AtomicFile f;
  if (int e = f.Open(target)) return e;
  if (int e = f.Write(content.data(), content.size())) return e;
  return f.Commit();
}

int CountEntries(const std::string& dir) {
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

struct LinkCase {
  const char* what;
  mode_t folderMode;
  uid_t folderOwner, linkOwner, user;
  bool follows;
};

// Users 1000 (saving), 2000 (another), 0 (root, owner of /tmp).
constexpr LinkCase kLinkCases[] = {
    {"own link in /tmp", 01777, 0, 1000, 1000, true},
    {"another user's link in /tmp", 01777, 0, 2000, 1000, false},
    {"root's link in /tmp (the folder's owner)", 01777, 0, 0, 1000, true},
    {"another user's link in that user's own shared folder", 01777, 2000, 2000, 1000, true},
    {"a third user's link in another user's shared folder", 01777, 2000, 3000, 1000, false},
    {"another user's link, seen by root", 01777, 0, 2000, 0, false},
    {"writable by all but not sticky", 00777, 0, 2000, 1000, true},
    {"sticky but writable by the group only", 01775, 0, 2000, 1000, true},
    {"sticky, writable by others only", 01703, 0, 2000, 1000, false},
    {"a private folder", 00700, 2000, 2000, 1000, true},
};

// A test's name from its case's text: letters and digits kept, anything else '_'.
std::string CaseName(int index, const std::string& text) {
  std::string name = "c" + std::to_string(index) + "_";
  for (char c : text) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

class LinkRuleTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkRuleTest, FollowsOnlyLinksOfTheUserOrTheFolderOwnerInSharedFolders) {
  const LinkCase& c = GetParam();
  struct stat folder {};
  struct stat link {};
  folder.st_mode = S_IFDIR | c.folderMode;
  folder.st_uid = c.folderOwner;
  link.st_mode = S_IFLNK | 0777;
  link.st_uid = c.linkOwner;
  EXPECT_EQ(MayFollowSaveLink(folder, link, c.user), c.follows) << c.what;
}
INSTANTIATE_TEST_SUITE_P(Cases, LinkRuleTest, ::testing::ValuesIn(kLinkCases),
                         [](const auto& info) { return CaseName(info.index, info.param.what); });

// A folder as /tmp is: sticky and writable by all.
std::string SharedFolder(const TempDir& dir) {
  const std::string shared = dir.File("shared");
  EXPECT_EQ(::mkdir(shared.c_str(), 0700), 0);
  EXPECT_EQ(::chmod(shared.c_str(), 01777), 0);
  return shared;
}

TEST(SharedFolderSaveTest, AnOwnLinkInAStickyFolderIsFollowedAsBefore) {
  TempDir dir;
  const std::string shared = SharedFolder(dir);
  const std::string real = dir.File("real.fits");
  WriteFileOrDie(real, "old");
  ASSERT_EQ(::symlink(real.c_str(), (shared + "/out.fits").c_str()), 0);
  ASSERT_EQ(Save(shared + "/out.fits", "new"), 0);
  EXPECT_EQ(ReadFileOrEmpty(real), "new");
  EXPECT_TRUE(std::filesystem::is_symlink(shared + "/out.fits"));
  // A link to a link, both the user's, and a dangling one: followed to the end.
  ASSERT_EQ(::symlink("out.fits", (shared + "/again.fits").c_str()), 0);
  ASSERT_EQ(Save(shared + "/again.fits", "newer"), 0);
  EXPECT_EQ(ReadFileOrEmpty(real), "newer");
  ASSERT_EQ(::symlink(dir.File("created.fits").c_str(), (shared + "/new.fits").c_str()), 0);
  ASSERT_EQ(Save(shared + "/new.fits", "made"), 0);
  EXPECT_EQ(ReadFileOrEmpty(dir.File("created.fits")), "made");
}

// Root may give a link to another user, which is how another user's link is had here.
TEST(SharedFolderSaveTest, AnotherUsersLinkInAStickyFolderIsRefusedAndNothingChanges) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can make a link of another user";
  constexpr uid_t kOther = 4242;
  TempDir dir;
  const std::string shared = SharedFolder(dir);
  const std::string victim = dir.File("victim.fits");
  WriteFileOrDie(victim, "precious");
  const std::string planted = shared + "/out.fits";
  ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);
  ASSERT_EQ(::lchown(planted.c_str(), kOther, kOther), 0);
  // Also at the end of a chain that starts with an own link.
  ASSERT_EQ(::symlink("out.fits", (shared + "/mine.fits").c_str()), 0);
  for (const std::string& name : {planted, shared + "/mine.fits"}) {
    std::string resolved;
    EXPECT_EQ(CheckSaveTarget(name, resolved), kSaveErrForeignLink) << name;
    EXPECT_EQ(Save(name, "overwritten"), kSaveErrForeignLink) << name;
    EXPECT_EQ(FioCreateCode(Save(name, "overwritten")), FIO_ERR_FOREIGN_LINK);
  }
  EXPECT_EQ(ReadFileOrEmpty(victim), "precious");
  EXPECT_EQ(CountEntries(shared), 2);  // the two links, no temporary
  EXPECT_EQ(CountEntries(dir.path()), 2);
  EXPECT_NE(FileErrorText(kSaveErrForeignLink).find("another user"), std::string::npos);

  // The folder's owner's link is followed; so is any link once the folder is not shared.
  ASSERT_EQ(::chown(shared.c_str(), kOther, kOther), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);  // chown clears no bits of a folder, but be sure
  ASSERT_EQ(Save(planted, "by the owner's link"), 0);
  EXPECT_EQ(ReadFileOrEmpty(victim), "by the owner's link");
  ASSERT_EQ(::chown(shared.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(Save(planted, "not sticky"), 0);
  EXPECT_EQ(ReadFileOrEmpty(victim), "not sticky");
}

std::string Repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

bool IsWholeUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80         ? 1
                          : (c >> 5) == 6  ? 2
                          : (c >> 4) == 14 ? 3
                          : (c >> 3) == 30 ? 4
                                           : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

TEST(SaveTemporaryTest, TheTemporarysNameFitsTheFolderWhateverTheTargetsLength) {
  for (const std::string& unit : {std::string("a"), std::string("あ"), std::string("é")})
    for (std::size_t n = 1; n * unit.size() <= 300; ++n) {
      const std::string name = Repeat(unit, n);
      const std::string pattern = SaveTemporaryPattern("/some/folder/" + name, 255);
      SCOPED_TRACE(pattern);
      EXPECT_LE(pattern.size(), 255u);
      ASSERT_TRUE(pattern.ends_with(".vtl-tmp-XXXXXX"));
      const std::string kept = pattern.substr(1, pattern.size() - 16);
      EXPECT_EQ(pattern[0], '.');
      EXPECT_TRUE(name.starts_with(kept));
      EXPECT_TRUE(IsWholeUtf8(kept));
      // Cut only when it must be, and then no shorter than a character needs.
      if (name.size() + 16 <= 255)
        EXPECT_EQ(kept, name);
      else
        EXPECT_GT(kept.size() + unit.size() + 16, 255u);
    }
}

TEST(SaveTemporaryTest, NamesUpToTheFoldersLimitAreSavedLongerOnesNamedAsTooLong) {
  TempDir dir;
  const long nameMax = ::pathconf(dir.path().c_str(), _PC_NAME_MAX);
  ASSERT_GT(nameMax, 20);
  const auto max = static_cast<std::size_t>(nameMax);
  for (std::size_t length : {max - 16, max - 15, max - 1, max}) {
    for (const std::string& unit : {std::string("a"), std::string("あ")}) {
      std::string name = Repeat(unit, (length - 5) / unit.size());
      name += Repeat("b", length - 5 - name.size()) + ".fits";
      ASSERT_EQ(name.size(), length);
      const std::string target = dir.File(name);
      ASSERT_EQ(Save(target, "first"), 0) << length;
      ASSERT_EQ(Save(target, "second"), 0) << length;  // over the file just made
      EXPECT_EQ(ReadFileOrEmpty(target), "second");
      ASSERT_EQ(::unlink(target.c_str()), 0);
      EXPECT_EQ(CountEntries(dir.path()), 0) << "a temporary stayed behind";
    }
  }
  const std::string tooLong = dir.File(Repeat("c", max + 1 - 5) + ".fits");
  const int e = Save(tooLong, "x");
  EXPECT_EQ(e, ENAMETOOLONG);
  EXPECT_EQ(FioCreateCode(e), FIO_ERR_NAME_TOO_LONG);
  EXPECT_EQ(FioOpenCode(e), FIO_ERR_NAME_TOO_LONG);
}

TEST(SaveTemporaryTest, AShortenedTemporaryLeftByAKilledSaveIsSwept) {
  TempDir dir;
  const std::string target = dir.File(Repeat("z", 250) + ".fits");
  std::string left = SaveTemporaryPattern(target, 255);
  left.replace(left.size() - 6, 6, "Ab12Cd");
  WriteFileOrDie(dir.File(left), "left by a kill");
  ASSERT_EQ(Save(target, "saved"), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File(left)));
  EXPECT_EQ(CountEntries(dir.path()), 1);
}

}  // namespace

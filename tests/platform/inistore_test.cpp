#include "platform/inistore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace {
IniValue Text(std::string s) { return IniValue{false, std::move(s)}; }
IniValue Bytes(std::string s) { return IniValue{true, std::move(s)}; }
}  // namespace

TEST(IniDocumentTest, AwkwardValuesAndNamesReadBackByteForByte) {
  const std::vector<std::pair<std::string, IniValue>> cases = {
      {"Real", Text(" 5.000000e-01")},  // leading space of a positive real
      {"Trailing", Text("value  ")},
      {"Lines", Text("one\ntwo\r\nthree\tfour")},
      {"Backslashes", Text("Dialog\\Level\\x41\\n")},
      {"Equals", Text("a=b=c")},
      {"Marker", Text("hex:not binary")},
      {"Japanese", Text("ＭＳ ゴシック ｶﾒﾗ")},
      {"Control", Text(std::string("nul\0bell\x07", 9))},
      {"Binary", Bytes(std::string("\x00\xff\x10hex:", 7))},
      {"EmptyBinary", Bytes("")},
      {"key=with=equals", Text("x")},
      {" spaced name ", Text("y")},
      {"[bracket", Text("z")},
      {";semicolon", Text("w")},
      {"", Text("default value")},
  };
  IniDocument doc;
  for (auto& [name, value] : cases) EXPECT_TRUE(doc.Set("Dialog\\Odd", name, value));
  IniDocument back = IniDocument::Parse(doc.Serialize());
  for (auto& [name, value] : cases) {
    const IniValue* v = back.Find("Dialog\\Odd", name);
    ASSERT_NE(v, nullptr) << name;
    EXPECT_EQ(*v, value) << name;
  }
  EXPECT_EQ(back.Serialize(), doc.Serialize());
}

TEST(IniDocumentTest, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
  IniDocument doc;
  doc.Set("IO", "FitsBottomUp", Text("1"));
  EXPECT_FALSE(doc.Set("io", "FITSBOTTOMUP", Text("1")));  // unchanged
  EXPECT_TRUE(doc.Set("io", "FITSBOTTOMUP", Text("0")));
  EXPECT_EQ(doc.Values("IO").size(), 1u);
  EXPECT_EQ(doc.Values("IO")[0].first, "FitsBottomUp");
  EXPECT_EQ(doc.Find("Io", "fitsbottomup")->data, "0");
}

TEST(IniDocumentTest, HandEditsCommentsAndJunkSurviveARewrite) {
  const std::string text =
      "; written by hand\n"
      "stray=before any section\n"
      "[VMManager]\n"
      "# a comment\n"
      "BlockSize = 512\n"
      "this line has no equals sign\n"
      "Bad=hex:zz\n"
      "\n"
      "[Dialog\\Level]\r\n"
      "Pos=10,20\r\n";
  IniDocument doc = IniDocument::Parse(text);
  EXPECT_EQ(doc.Serialize(), text);
  // Spaces round the name are not part of it; after '=' everything is.
  ASSERT_NE(doc.Find("VMManager", "BlockSize"), nullptr);
  EXPECT_EQ(doc.Find("VMManager", "BlockSize")->data, " 512");
  EXPECT_EQ(doc.Find("VMManager", "Bad"), nullptr);  // not valid hex: kept as a raw line
  EXPECT_EQ(doc.Find("Dialog\\Level", "Pos")->data, "10,20");
  EXPECT_EQ(doc.Find("", "stray"), nullptr);

  doc.Set("VMManager", "MemoryRatio", Text("70"));
  std::string out = doc.Serialize();
  EXPECT_NE(out.find("# a comment\nBlockSize = 512\nthis line has no equals sign\nBad=hex:zz\n"
                     "MemoryRatio=70\n\n[Dialog\\Level]"),
            std::string::npos)
      << out;
}

TEST(IniDocumentTest, SectionsAreRemovedWithTheirSubsections) {
  IniDocument doc;
  doc.Set("Dialog", "a", Text("1"));
  doc.Set("Dialog\\Level", "b", Text("2"));
  doc.Set("Dialog\\Level\\Inner", "c", Text("3"));
  doc.Set("DialogOther", "d", Text("4"));
  EXPECT_TRUE(doc.EraseSection("dialog\\level"));
  EXPECT_EQ(doc.SectionNames(), (std::vector<std::string>{"Dialog", "DialogOther"}));
  EXPECT_TRUE(doc.EraseSection("Dialog"));
  EXPECT_EQ(doc.SectionNames(), (std::vector<std::string>{"DialogOther"}));
  EXPECT_FALSE(doc.EraseSection("Dialog"));
  EXPECT_TRUE(doc.Erase("DialogOther", "D"));
  EXPECT_FALSE(doc.Erase("DialogOther", "D"));
  EXPECT_TRUE(doc.HasSection("DialogOther"));  // an emptied section stays, as a key does
}

TEST(IniDocumentTest, MalformedInputNeverCrashes) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 7919) & 0xff));
  const std::string cases[] = {
      junk,
      std::string(300000, 'a'),                         // one endless line
      "[\xff\xfe\x00odd]\nname=value\n",                // a section name with odd bytes
      "[unterminated\nx=1\n[]\ny=2\n[",                // broken headers
      "[s]\n=\n\\\n\\x\n\\x4\nname=\\x4",               // escapes cut short
      std::string("[s]\nk=v\0w\n", 11),
  };
  for (const std::string& text : cases) {
    IniDocument doc = IniDocument::Parse(text);
    std::string out = doc.Serialize();
    // Nothing read is lost when the document is written back.
    EXPECT_EQ(IniDocument::Parse(out).Serialize(), out);
    EXPECT_GE(out.size(), text.size());
  }
  IniDocument odd = IniDocument::Parse(std::string("[\xff\xfe\x00odd]\nname=value\n", 21));
  ASSERT_NE(odd.Find(std::string("\xff\xfe\x00odd", 6), "name"), nullptr);
}

TEST(IniStoreTest, ChangesReachTheFileAndAnotherStoreSeesThem) {
  TempDir dir;
  std::string path = dir.File("sub/settings.ini");
  IniStore a(path), b(path);
  std::shared_ptr<const IniDocument> doc;
  EXPECT_EQ(b.Load(doc), ENOENT);
  EXPECT_EQ(a.Update([](IniDocument& d) { return d.Set("S", "k", Text("1")); }), 0);
  EXPECT_EQ(b.Load(doc), 0);
  EXPECT_EQ(doc->Find("S", "k")->data, "1");
  EXPECT_EQ(a.Update([](IniDocument& d) { return d.Set("S", "k", Text("2")); }), 0);
  EXPECT_EQ(b.Load(doc), 0);
  EXPECT_EQ(doc->Find("S", "k")->data, "2");
}

TEST(IniStoreTest, AnUnchangedValueDoesNotRewriteTheFile) {
  TempDir dir;
  IniStore store(dir.File("s.ini"));
  ASSERT_EQ(store.Update([](IniDocument& d) { return d.Set("S", "k", Text("1")); }), 0);
  struct stat before {}, after {};
  ASSERT_EQ(::stat(dir.File("s.ini").c_str(), &before), 0);
  ASSERT_EQ(store.Update([](IniDocument& d) { return d.Set("S", "k", Text("1")); }), 0);
  ASSERT_EQ(::stat(dir.File("s.ini").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);  // a save would have renamed a new file in
}

TEST(IniStoreTest, OnlyARealChangeWaitsForAHeldLockAndSaysSo) {
  TempDir dir;
  const std::string path = dir.File("s.ini");
  IniStore store(path);
  ASSERT_EQ(store.Update([](IniDocument& d) { return d.Set("S", "k", Text("1")); }), 0);
  std::vector<bool> notices;
  std::atomic<int> waiting{0};
  SetSettingsLockWaitHandler([&](const std::string& lockPath, bool w) {
    EXPECT_EQ(lockPath, path + ".lock");
    notices.push_back(w);
    if (w) ++waiting;
  });
  // Another open of the lock file contends as another process would.
  auto held = std::make_unique<FileLock>(path + ".lock");
  ASSERT_EQ(held->error(), 0);

  // Storing what is stored and deleting what is not there need no lock.
  EXPECT_EQ(store.Update([](IniDocument& d) { return d.Set("S", "k", Text("1")); }), 0);
  EXPECT_EQ(store.Update([](IniDocument& d) { return d.Erase("S", "none"); }), 0);
  EXPECT_TRUE(notices.empty());

  // A real change is announced while it waits and lands once the holder lets go.
  std::thread holder([&] {
    for (int i = 0; i < 500 && waiting == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    held.reset();
  });
  EXPECT_EQ(store.Update([](IniDocument& d) { return d.Set("S", "k", Text("2")); }), 0);
  holder.join();
  SetSettingsLockWaitHandler(nullptr);
  EXPECT_EQ(notices, (std::vector<bool>{true, false}));
  std::shared_ptr<const IniDocument> doc;
  ASSERT_EQ(store.Load(doc), 0);
  EXPECT_EQ(doc->Find("S", "k")->data, "2");
}

TEST(IniStoreTest, AnOversizedFileReadsAsEmptyAndIsSetAsideOnlyByAWrite) {
  TempDir dir;
  std::string path = dir.File("s.ini");
  std::string huge(IniStore::kMaxBytes + 1, 'a');
  WriteFileOrDie(path, huge);
  IniStore store(path);
  std::shared_ptr<const IniDocument> doc;
  EXPECT_EQ(store.Load(doc), EFBIG);
  EXPECT_TRUE(doc->SectionNames().empty());
  EXPECT_EQ(std::filesystem::file_size(path), huge.size());  // reading changed nothing

  ASSERT_EQ(store.Update([](IniDocument& d) { return d.Set("S", "k", Text("v")); }), 0);
  EXPECT_EQ(std::filesystem::file_size(path + ".bad"), huge.size());
  EXPECT_EQ(store.Load(doc), 0);
  EXPECT_EQ(doc->Find("S", "k")->data, "v");
}

TEST(IniStoreTest, AnUnreadableFileIsNeverOverwritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  TempDir dir;
  std::string path = dir.File("s.ini");
  WriteFileOrDie(path, "[S]\nk=secret\n");
  std::filesystem::permissions(path, std::filesystem::perms::none);
  IniStore store(path);
  EXPECT_EQ(store.Update([](IniDocument& d) { return d.Set("S", "x", Text("1")); }), EACCES);
  std::filesystem::permissions(path, std::filesystem::perms::owner_read);
  EXPECT_EQ(ReadFileOrEmpty(path), "[S]\nk=secret\n");
}

TEST(SettingsPaths, FollowTheEnvironment) {
  ScopedConfigHome home;
  EXPECT_EQ(SettingsFilePath(false), home.path() + "/Vantorel-2.0.ini");
  EXPECT_EQ(SettingsFilePath(true), home.path() + "/machine/Vantorel-2.0.ini");
  EXPECT_EQ(SettingsStore(false).path(), SettingsFilePath(false));
  std::string saved = home.path();
  ::unsetenv("VANTOREL_CONFIG_HOME");
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string savedXdg = xdg ? xdg : "";
  ::setenv("XDG_CONFIG_HOME", "/some/where", 1);
  EXPECT_EQ(SettingsFilePath(false), "/some/where/Quorvane/Vantorel-2.0.ini");
  EXPECT_EQ(SettingsFilePath(true), "/etc/xdg/Quorvane/Vantorel-2.0.ini");
  ::setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
  EXPECT_NE(SettingsFilePath(false).find("/.config/Quorvane/Vantorel-2.0.ini"), std::string::npos);
  if (xdg)
    ::setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
  else
    ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("VANTOREL_CONFIG_HOME", saved.c_str(), 1);
}

TEST(IniStoreTest, SomethingOtherThanAFileInItsPlaceIsLeftAloneWithoutHanging) {
  TempDir dir;
  std::string path = dir.File("s.ini");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);  // opening a FIFO for reading would block
  IniStore store(path);
  std::shared_ptr<const IniDocument> doc;
  EXPECT_EQ(store.Load(doc), EINVAL);
  EXPECT_EQ(store.Update([](IniDocument& d) { return d.Set("S", "x", Text("1")); }), EINVAL);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

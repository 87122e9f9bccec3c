// The batch runs over files written by the tests: which corrections a calibration
// applies, the messages and questions it puts, output names, aborts between targets, the
// bottom-up shift of stacking and the overscan region of a bottom-up reference.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "batch/batchcomposit.h"
#include "batch/batchdarkflat.h"
#include "batch/batchnaming.h"
#include "batch/batchoverscan.h"
#include "batch/batchtexts.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "platform/messagebox.h"
#include "platform/progress.h"
#include "platform/text.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

using Fill = std::function<double(int x, int y)>;

CRalImage Make(int w, int h, const Fill& f) {
  CRalImage image(w, h, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(w);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) row[x] = f(x, y);
    image.SetPhysicalRow(y, 0, row.data());
  }
  image.SetOrgFileFormat("FITS");  // made here, saved as FITS
  return image;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

double Flat(int x, int y) {
  return 0.8 + 0.01 * ((x * 7 + y * 3) % 40);
}
double Target(int i, int x, int y) {
  return 1000.0 + 100.0 * i + 3.0 * x - 2.0 * y;
}

class BatchRunTest : public ::testing::Test {
 protected:
  static constexpr int kW = 12, kH = 9;

  void SetUp() override { box_ = std::make_unique<ScopedMessageBox>(&messages_); }
  void TearDown() override { box_.reset(); }

  std::string Write(const std::string& name, const CRalImage& image) {
    const std::string path = dir_.File(name);
    CRalImage copy(image);
    EXPECT_EQ(CRalImageIO::WriteImageFile(copy, path, 0), 1) << path;
    return path;
  }
  std::vector<BatchTarget> Targets(int n) {
    std::vector<BatchTarget> targets;
    for (int i = 0; i < n; ++i)
      targets.push_back({Write("t" + std::to_string(i) + ".fts",
                               Make(kW, kH, [i](int x, int y) { return Target(i, x, y); })),
                         nullptr});
    return targets;
  }
  // The flat correction as the engine's contract states it: the target times the flat's
  // mean over the flat.
  void ExpectFlatOnly(const std::string& path, int i) {
    double mean = 0;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) mean += Flat(x, y) / (kW * kH);
    CRalImage out;
    ASSERT_TRUE(ReadBatchImage(path, out)) << path;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        ASSERT_NEAR(out.GetPixel(x, y), Target(i, x, y) * mean / Flat(x, y), 1e-3)
            << path << " at " << x << "," << y;
  }
  // The bytes of every target's file, to show that a run left them as they were.
  static std::vector<std::string> Bytes(const std::vector<BatchTarget>& targets) {
    std::vector<std::string> out;
    for (const BatchTarget& t : targets) out.push_back(ReadFileOrEmpty(t.path));
    return out;
  }
  int Shown(std::string_view text) const {
    int n = 0;
    for (const auto& m : messages_.shown) n += m.text == text;
    return n;
  }

  ScopedConfigHome home_;
  TempDir dir_;
  RecordingMessageBox messages_;
  std::unique_ptr<ScopedMessageBox> box_;
};

TEST(BatchNamingTest, FoldersAndAddedCharacters) {
  struct Case {
    const char* typed;
    const char* folder;
  } folders[] = {{"C:", "/"},
                 {"C:\\", "/"},
                 {"d:\\data\\out\\", "/data/out"},
                 {"out\\sub", "out/sub"},
                 {"/tmp/x//", "/tmp/x"},
                 {"/", "/"},
                 {"", ""}};
  for (const Case& c : folders) EXPECT_EQ(batch::NormalizeFolder(c.typed), c.folder) << c.typed;

  struct Name {
    const char* path;
    bool first;
    const char* out;
  } names[] = {{"save/m31.fts", false, "save/m31_c.fts"}, {"save/m31.fts", true, "save/_cm31.fts"},
               {"a.b/noext", false, "a.b/noext_c"},       {"a/.hidden", false, "a/.hidden_c"},
               {"m.tar.gz", false, "m.tar_c.gz"},         {"m31.fts", true, "_cm31.fts"}};
  for (const Name& n : names) EXPECT_EQ(batch::AddCharacters(n.path, "_c", n.first), n.out);
  EXPECT_EQ(batch::InFolder("/", "/x/y/m31.fts<USF>"), "/m31.fts");
}

// A table file made on Japanese Windows (CP932, CR LF) and the same table in UTF-8, with
// and without a byte-order mark, name the same files: folders and names in kanji and in
// half-width katakana.
TEST_F(BatchRunTest, TableFileReadAsUtf8OrCp932) {
  ASSERT_EQ(::mkdir(dir_.File("観測").c_str(), 0755), 0);
  const std::string image = dir_.File("観測/Ｍ31ｶﾒﾗ.fts"), bias = dir_.File("観測/バイアス.fts"),
                    flat = dir_.File("観測/ﾌﾗｯﾄ①.fts");
  for (const std::string& f : {image, bias, flat}) WriteFileOrDie(f, "x");
  const std::string table =
      image + "," + bias + ",," + flat + ",,出力/Ｍ31.fts\r\n" + image + ",," + bias + "\r\n";
  const std::optional<std::string> cp932 = Utf8ToSjis(table);
  ASSERT_TRUE(cp932.has_value());
  ASSERT_FALSE(IsValidUtf8(*cp932));  // the test is about bytes that are not UTF-8
  WriteFileOrDie(dir_.File("cp932.txt"), *cp932);
  WriteFileOrDie(dir_.File("utf8.txt"), table);
  WriteFileOrDie(dir_.File("bom.txt"), "\xEF\xBB\xBF" + table);
  std::vector<batch::TableRow> expected;
  std::string message;
  ASSERT_EQ(batch::ParseTable(table, &expected, &message), 0) << message;
  ASSERT_EQ(expected.size(), 2u);
  EXPECT_EQ(expected[0][batch::kFlat], flat);
  EXPECT_EQ(expected[0][batch::kOutput], "出力/Ｍ31.fts");
  for (const char* name : {"cp932.txt", "utf8.txt", "bom.txt"}) {
    std::vector<batch::TableRow> rows;
    ASSERT_TRUE(batch::LoadTable(dir_.File(name), &rows)) << name;
    EXPECT_EQ(rows, expected) << name;
  }
  EXPECT_TRUE(messages_.shown.empty());
}

TEST_F(BatchRunTest, TableRowsCellsAndRefusals) {
  const std::string img = Write("a.fts", Make(2, 2, [](int, int) { return 1.0; }));
  std::vector<batch::TableRow> rows;
  std::string message;
  ASSERT_EQ(
      batch::ParseTable(img + ",," + img + "\r\n" + img + "\rtrailing,no,cr", &rows, &message), 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][batch::kImage], img);
  EXPECT_EQ(rows[0][batch::kDark], img);
  EXPECT_EQ(rows[1][batch::kBias], "");

  // Written here: lines end in a line feed alone, the last one as well.
  ASSERT_EQ(batch::ParseTable(img + ",," + img + "\n" + img + "\n", &rows, &message), 0);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][batch::kDark], img);
  EXPECT_EQ(rows[1][batch::kImage], img);

  // Written on Windows: a drive letter and backslashes name the same files.
  std::string windows = "C:" + img;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  ASSERT_EQ(batch::ParseTable(windows + ",,,,,D:\\out\\b.fts\r\n", &rows, &message), 0);
  EXPECT_EQ(rows.at(0)[batch::kImage], img);
  EXPECT_EQ(rows.at(0)[batch::kOutput], "/out/b.fts");

  // A second line of seven cells: refused, the table emptied.
  EXPECT_EQ(batch::ParseTable(img + "\r" + img + ",,,,,,x\r", &rows, &message), 2461);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(message, batch_text::kTableUnreadable);
  // Six cells are the most a row may have.
  EXPECT_EQ(batch::ParseTable(img + ",,,,,out.fts\r", &rows, &message), 0);
  EXPECT_EQ(rows.at(0)[batch::kOutput], "out.fts");

  EXPECT_EQ(batch::ParseTable(img + "," + dir_.File("gone.fts") + "\r", &rows, &message), 2462);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(message, batch::Format(batch_text::kTableFilesMissing, dir_.File("gone.fts")));

  std::vector<batch::TableRow> kept(3), back;
  kept[0][batch::kFlat] = "/f.fts";
  kept[2][batch::kBias] = "/b.fts";
  kept[2][batch::kOutput] = "not kept";
  const auto values = batch::EncodeTableSetting(kept);
  EXPECT_EQ(values, (std::vector<std::string>{"000003/f.fts", "002001/b.fts"}));
  batch::DecodeTableSetting(values, &back);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0][batch::kFlat], "/f.fts");
  EXPECT_EQ(back[2][batch::kBias], "/b.fts");
  EXPECT_EQ(back[2][batch::kOutput], "");
}

TEST_F(BatchRunTest, OnlyTheFlatCheckedDividesAndSubtractsNothing) {
  BatchDarkFlatSettings s;
  s.useBias = s.useDark = false;
  s.bias.path = Write("bias.fts", Make(kW, kH, [](int, int) { return 300.0; }));
  s.dark.path = Write("dark.fts", Make(kW, kH, [](int, int) { return 50.0; }));
  s.flat.path = Write("flat.fts", Make(kW, kH, Flat));
  s.result = 2;
  s.folder = dir_.File("out");
  CBatchDarkFlat run(s, Targets(3));
  RecordingProgress progress;
  run.SetProgressSink(&progress);
  ASSERT_EQ(run.CheckValue(), 1);  // the folder offered for creation and made
  ASSERT_EQ(run.ImageProc(), 1);
  EXPECT_TRUE(run.GetFailures().empty());
  for (int i = 0; i < 3; ++i) ExpectFlatOnly(dir_.File("out/t" + std::to_string(i) + ".fts"), i);
  ASSERT_EQ(messages_.shown.size(), 1u);
  EXPECT_EQ(messages_.shown[0].text, batch::Format(batch_text::kCreateFolder, dir_.File("out")));
  // Progress per target: begin, 33, 66, 100, end.
  ASSERT_EQ(progress.events.size(), 5u);
  EXPECT_EQ(progress.events[2].percent, 66);
}

// Bias, dark, flat and the flat's own dark all at once, in the common run and in the
// table: every saved target must equal the calibration computed here in plain doubles,
// apart from the engine, the way ccdproc does it (subtract_bias, subtract_dark unscaled
// with the dark freed of the bias, flat_correct with the flat freed of the bias and of
// its dark and normalised to its mean). A frame left with the bias in it moves the result
// by hundreds where the tolerance is 1e-5 of it; the bias, the dark currents and the flat
// field each have a structure of their own, so that normalising the flat cannot hide one.
TEST_F(BatchRunTest, EveryFrameIsFreedOfTheBiasAsCcdprocFreesIt) {
  auto bias = [](int x, int y) { return 300.0 + 0.5 * x + 0.3 * y; };
  auto darkCurrent = [](int x, int y) { return 20.0 + 0.7 * y + 0.1 * x; };
  auto flatDarkCurrent = [](int x, int) { return 4.0 + 0.2 * x; };
  auto field = [](int x, int y) { return 0.85 + 0.03 * ((x * 5 + y * 7) % 11); };
  auto flatSignal = [&](int x, int y) { return 1500.0 * field(x, y); };
  auto sky = [&](int i, int x, int y) { return (1000.0 + 200.0 * i) * field(x, y); };
  const std::string biasPath = Write("bias.fts", Make(kW, kH, bias));
  const std::string darkPath =
      Write("dark.fts", Make(kW, kH, [&](int x, int y) { return bias(x, y) + darkCurrent(x, y); }));
  const std::string flatDarkPath =
      Write("flatdark.fts",
            Make(kW, kH, [&](int x, int y) { return bias(x, y) + flatDarkCurrent(x, y); }));
  const std::string flatPath = Write("flat.fts", Make(kW, kH, [&](int x, int y) {
                                       return bias(x, y) + flatDarkCurrent(x, y) + flatSignal(x, y);
                                     }));
  std::vector<BatchTarget> targets;
  for (int i = 0; i < 3; ++i)
    targets.push_back(
        {Write("sci" + std::to_string(i) + ".fts",
               Make(kW, kH,
                    [&](int x, int y) { return bias(x, y) + darkCurrent(x, y) + sky(i, x, y); })),
         nullptr});

  // The expected frames, from the same functions the files were written from, each value
  // as the 32-bit file holds it.
  auto f32 = [](double v) { return static_cast<double>(static_cast<float>(v)); };
  auto b = [&](int x, int y) { return f32(bias(x, y)); };
  std::vector<double> masterFlat(kW * kH);
  double flatMean = 0.0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const double flat = f32(bias(x, y) + flatDarkCurrent(x, y) + flatSignal(x, y)) - b(x, y);
      const double flatDark = f32(bias(x, y) + flatDarkCurrent(x, y)) - b(x, y);
      masterFlat[y * kW + x] = flat - flatDark;
      flatMean += (flat - flatDark) / (kW * kH);
    }
  auto expectCalibrated = [&](const std::string& out, int i) {
    CRalImage got;
    ASSERT_TRUE(ReadBatchImage(out, got)) << out;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const double masterDark = f32(bias(x, y) + darkCurrent(x, y)) - b(x, y);
        const double science = f32(bias(x, y) + darkCurrent(x, y) + sky(i, x, y)) - b(x, y);
        const double want = (science - masterDark) * flatMean / masterFlat[y * kW + x];
        ASSERT_NEAR(got.GetPixel(x, y), want, 1e-5 * std::fabs(want))
            << out << " at " << x << "," << y;
      }
  };

  BatchDarkFlatSettings s;
  s.bias.path = biasPath;
  s.dark.path = darkPath;
  s.flat.path = flatPath;
  s.flatDark.path = flatDarkPath;
  s.useFlatDark = true;
  s.result = 2;
  s.folder = dir_.File("common");
  CBatchDarkFlat common(s, targets);
  ASSERT_EQ(common.CheckValue(), 1);  // the folder offered for creation and made
  ASSERT_EQ(common.ImageProc(), 1);
  EXPECT_TRUE(common.GetFailures().empty());
  for (int i = 0; i < 3; ++i) expectCalibrated(common.OutputName(i), i);

  std::vector<batch::TableRow> rows;
  for (int i = 0; i < 3; ++i)
    rows.push_back({targets[i].path, biasPath, darkPath, flatPath, flatDarkPath,
                    dir_.File("table/sci" + std::to_string(i) + ".fts")});
  CBatchDarkFlat2 table({}, rows);
  ASSERT_EQ(table.CheckValue(), 1);
  ASSERT_EQ(table.ImageProc(), 1);
  EXPECT_TRUE(table.GetFailures().empty());
  for (int i = 0; i < 3; ++i) expectCalibrated(table.OutputName(i), i);
}

// Only shown, nothing saved: a dark of another size is reported once per target and the
// flat still applies to what is shown.
TEST_F(BatchRunTest, DarkOfAnotherSizeIsReportedPerTargetAndTheFlatStillApplies) {
  BatchDarkFlatSettings s;
  s.dark.path = Write("dark.fts", Make(kW + 1, kH, [](int, int) { return 50.0; }));
  s.flat.path = Write("flat.fts", Make(kW, kH, Flat));
  s.result = 0;
  CBatchDarkFlat run(s, Targets(3));
  int shown = 0;
  run.SetImageHook([&](int i, CRalImage& image) {
    ++shown;
    ASSERT_EQ(
        CRalImageIO::WriteImageFile(image, dir_.File("shown" + std::to_string(i) + ".fts"), 0), 1);
  });
  ASSERT_EQ(run.CheckValue(), 1);
  ASSERT_EQ(run.ImageProc(), 1);
  EXPECT_EQ(Shown(batch_text::kDarkSizeDiffers), 3);
  EXPECT_EQ(run.GetFailures().size(), 3u);
  EXPECT_EQ(run.GetSavedCount(), 0);
  EXPECT_EQ(shown, 3);
  for (int i = 0; i < 3; ++i) ExpectFlatOnly(dir_.File("shown" + std::to_string(i) + ".fts"), i);
}

// An open window's image saved over its file is left as it was, pixels and levels, when
// a frame does not fit it.
TEST_F(BatchRunTest, HeldImageThatAFrameDoesNotFitIsLeftAsItWas) {
  BatchDarkFlatSettings s;
  s.useDark = s.useFlat = false;
  s.bias.path = Write("bias.fts", Make(kW, kH, [](int, int) { return 300.0; }));
  s.result = 1;
  CRalImage held = Make(kW + 1, kH, [](int x, int y) { return Target(0, x, y); });
  held.SetLevel(0, 900.0, 1200.0);
  const std::string path = Write("held.fts", held);
  const std::string bytes = ReadFileOrEmpty(path);
  messages_.Answer(IDYES);
  CBatchDarkFlat run(s, {{path, &held}});
  int hooked = 0;
  run.SetImageHook([&](int, CRalImage&) { ++hooked; });
  ASSERT_EQ(run.CheckValue(), 1);
  ASSERT_EQ(run.ImageProc(), 1);
  EXPECT_EQ(hooked, 0);  // not shown as changed
  EXPECT_EQ(held.GetPixel(3, 4), Target(0, 3, 4));
  EXPECT_EQ(held.GetLevelMin(0), 900.0);
  EXPECT_EQ(held.GetLevelMax(0), 1200.0);
  EXPECT_EQ(ReadFileOrEmpty(path), bytes);
  EXPECT_EQ(Shown(batch_text::kBiasSizeDiffers), 1);
}

// Frames that do not fit each other stop the run before any target is touched, and the
// message names the two frames.
TEST_F(BatchRunTest, FramesThatDoNotFitEachOtherStopTheRun) {
  struct Case {
    const char* odd;  // the frame of another size
    bool flatDark;    // the flat's own dark used
    std::string_view subtracted, from;
  } cases[] = {{"dark", false, batch_text::kBiasName, batch_text::kDarkName},
               {"flat", false, batch_text::kBiasName, batch_text::kFlatName},
               {"flatdark", true, batch_text::kBiasName, batch_text::kFlatDarkName},
               {"bias", false, batch_text::kBiasName, batch_text::kDarkName}};
  auto targets = Targets(2);
  const std::vector<std::string> before = Bytes(targets);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.odd);
    auto frame = [&](const char* which, const Fill& f) {
      return Write(std::string(which) + ".fts",
                   Make(std::string_view(which) == c.odd ? kW + 1 : kW, kH, f));
    };
    BatchDarkFlatSettings s;
    s.bias.path = frame("bias", [](int, int) { return 300.0; });
    s.dark.path = frame("dark", [](int, int) { return 350.0; });
    s.flat.path = frame("flat", Flat);
    s.useFlatDark = c.flatDark;
    if (c.flatDark) s.flatDark.path = frame("flatdark", [](int, int) { return 320.0; });
    s.result = 1;
    messages_.shown.clear();
    messages_.Answer(IDYES);
    CBatchDarkFlat run(s, targets);
    ASSERT_EQ(run.CheckValue(), 1);
    EXPECT_EQ(run.ImageProc(), 0);
    EXPECT_EQ(run.GetSavedCount(), 0);
    EXPECT_EQ(Bytes(targets), before);
    ASSERT_EQ(messages_.shown.size(), 2u);  // the overwrite question, then the misfit
    EXPECT_EQ(messages_.shown[1].text,
              batch::Format(batch::Format(batch_text::kFramesDiffer, c.subtracted), c.from));
  }
}

TEST_F(BatchRunTest, QuestionsDeclinedStopBeforeAnything) {
  BatchDarkFlatSettings s;
  s.flat.path = Write("flat.fts", Make(kW, kH, Flat));
  s.result = 1;
  messages_.Answer(IDNO);
  EXPECT_EQ(CBatchDarkFlat(s, Targets(1)).CheckValue(), 0);

  // The save folder's question names the outputs as they will be written, with the
  // characters: t1_c.fts is there, t0_c.fts not yet.
  s.result = 2;
  s.folder = dir_.path() + "\\";
  s.addCharacters = true;
  s.position = 1;
  s.characters = "_c";
  auto targets = Targets(2);
  Write("t1_c.fts", Make(2, 2, [](int, int) { return 0.0; }));
  messages_.Answer(IDNO);
  CBatchDarkFlat run(s, targets);
  EXPECT_EQ(run.CheckValue(), 0);
  EXPECT_FALSE(run.HasNameCollision());
  EXPECT_EQ(messages_.shown.back().text,
            batch::Format(batch_text::kFilesExist, dir_.File("t1_c.fts")));
}

// Two targets saved under one file, however its names are spelled (a link, a hard link,
// "..", one name from two folders), or one saved over a file another target reads, are
// refused before anything is made, whatever the answers; the message lists them.
TEST_F(BatchRunTest, CollidingOutputsAreRefusedBeforeAnything) {
  const CRalImage frame = Make(kW, kH, [](int x, int y) { return Target(0, x, y); });
  std::filesystem::create_directories(dir_.File("a"));
  std::filesystem::create_directories(dir_.File("b"));
  const std::string ax = Write("a/x.fts", frame), bx = Write("b/x.fts", frame);
  const std::string ay = Write("a/y.fts", frame), ayc = Write("a/y_c.fts", frame);
  const std::string link = dir_.File("link.fts"), hard = dir_.File("hard.fts");
  const std::string dotted = dir_.File("b/../a/x.fts");
  std::filesystem::create_symlink(ax, link);
  std::filesystem::create_hard_link(ay, hard);
  const std::string out = dir_.File("out"), a = dir_.File("a");
  struct Case {
    int result;
    std::string folder;
    std::vector<std::string> files;
    std::string listed;  // "" when the names do not collide
  } cases[] = {
      {2, out, {ax, ay, bx}, ax + " -> " + out + "/x_c.fts\n" + bx + " -> " + out + "/x_c.fts"},
      {1, "", {link, ay, ax}, link + " -> " + link + "\n" + ax + " -> " + ax},
      {1, "", {hard, ay}, hard + " -> " + hard + "\n" + ay + " -> " + ay},
      {1, "", {ax, dotted}, ax + " -> " + ax + "\n" + dotted + " -> " + dotted},
      // Into a/ with the characters, y.fts becomes y_c.fts: the other target's source.
      {2, a, {ayc, ay}, ayc + " -> " + a + "/y_c_c.fts\n" + ay + " -> " + a + "/y_c.fts"},
      {2, out, {ax, ay}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.listed);
    BatchDarkFlatSettings s;
    s.flat.path = Write("flat.fts", Make(kW, kH, Flat));
    s.result = c.result;
    s.folder = c.folder;
    s.addCharacters = true;
    s.position = 1;
    s.characters = "_c";
    std::vector<BatchTarget> targets;
    for (const std::string& f : c.files) targets.push_back({f, nullptr});
    messages_.shown.clear();
    for (int k = 0; k < 3; ++k) messages_.Answer(IDYES);  // as --force answers
    CBatchDarkFlat run(s, targets);
    EXPECT_EQ(run.CheckValue(), c.listed.empty() ? 1 : 0);
    EXPECT_EQ(run.HasNameCollision(), !c.listed.empty());
    if (!c.listed.empty()) {
      ASSERT_EQ(messages_.shown.size(), 1u);
      EXPECT_EQ(messages_.shown[0].text, batch::Format(batch_text::kSameOutput, c.listed));
      EXPECT_FALSE(Exists(out)) << "the save folder was made for a refused run";
    }
    std::filesystem::remove_all(out);
  }
}

TEST_F(BatchRunTest, AddedCharactersAtTheEndAndAtTheBeginning) {
  for (int position : {1, 0}) {
    BatchDarkFlatSettings s;
    s.flat.path = Write("flat.fts", Make(kW, kH, Flat));
    s.result = 2;
    s.folder = dir_.File("save");
    s.addCharacters = true;
    s.position = position;
    s.characters = "_c";
    CBatchDarkFlat run(
        s,
        {{Write("m31.fts", Make(kW, kH, [](int x, int y) { return Target(0, x, y); })), nullptr}});
    ASSERT_EQ(run.CheckValue(), 1);
    ASSERT_EQ(run.ImageProc(), 1);
    ExpectFlatOnly(dir_.File(position ? "save/m31_c.fts" : "save/_cm31.fts"), 0);
  }
  EXPECT_FALSE(Exists(dir_.File("save/m31.fts")));
}

TEST_F(BatchRunTest, TableRowWithoutOutputOverwritesItsSource) {
  const std::string flat = Write("flat.fts", Make(kW, kH, Flat));
  auto targets = Targets(2);
  std::vector<batch::TableRow> rows(3);
  rows[0] = {targets[0].path, "", "", flat, "", ""};
  rows[1] = {"", "", "", flat, "", ""};  // no image: skipped
  rows[2] = {targets[1].path, "", "", flat, "", dir_.File("sub/named.fts")};
  CBatchDarkFlat2 run({}, rows);
  ASSERT_EQ(run.CheckValue(), 1);  // creates sub/ after 2337
  ASSERT_EQ(run.ImageProc(), 1);
  EXPECT_EQ(run.GetSavedCount(), 2);
  ExpectFlatOnly(targets[0].path, 0);
  ExpectFlatOnly(dir_.File("sub/named.fts"), 1);
  CRalImage untouched;
  ASSERT_TRUE(ReadBatchImage(targets[1].path, untouched));
  EXPECT_EQ(untouched.GetPixel(0, 0), Target(1, 0, 0));
}

// Saving rows: a row with a frame that does not fit its image, or its flat's dark that
// does not fit the flat, is left as it was (file and image); the other rows are saved.
TEST_F(BatchRunTest, TableRowThatAFrameDoesNotFitIsLeftAsItWas) {
  const std::string flat = Write("flat.fts", Make(kW, kH, Flat));
  const std::string wideBias = Write("bias.fts", Make(kW + 1, kH, [](int, int) { return 9.0; }));
  const std::string dark = Write("dark.fts", Make(kW, kH, [](int, int) { return 50.0; }));
  const std::string tallDark = Write("fd.fts", Make(kW, kH + 1, [](int, int) { return 5.0; }));
  const std::string bias = Write("bias2.fts", Make(kW, kH, [](int, int) { return 9.0; }));
  auto targets = Targets(4);
  std::vector<batch::TableRow> rows(4);
  rows[0] = {targets[0].path, wideBias, dark, "", "", ""};
  rows[1] = {targets[1].path, "", "", flat, "", ""};
  rows[2] = {targets[2].path, "", "", flat, tallDark, ""};
  rows[3] = {targets[3].path, bias, tallDark, "", "", ""};  // the bias fits, the dark not
  const std::vector<std::string> before = Bytes(targets);
  std::vector<CRalImage> held(4);
  for (int r = 0; r < 4; ++r) ASSERT_TRUE(ReadBatchImage(targets[r].path, held[r]));
  CBatchDarkFlat2 run({}, rows);
  run.SetRowOpener([&](int r) { return &held[r]; });
  messages_.Answer(IDYES);  // the sources are overwritten
  ASSERT_EQ(run.CheckValue(), 1);
  messages_.shown.clear();
  ASSERT_EQ(run.ImageProc(), 1);
  EXPECT_EQ(run.GetSavedCount(), 1);
  const std::vector<std::string> after = Bytes(targets);
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[2], before[2]);
  EXPECT_EQ(after[3], before[3]);
  ExpectFlatOnly(targets[1].path, 1);
  for (int r : {0, 2, 3}) EXPECT_EQ(held[r].GetPixel(2, 3), Target(r, 2, 3)) << r;
  ASSERT_EQ(messages_.shown.size(), 3u);
  EXPECT_EQ(messages_.shown[0].text, batch_text::kBiasSizeDiffers);
  EXPECT_EQ(messages_.shown[1].text,
            batch::Format(batch::Format(batch_text::kFramesDiffer, batch_text::kFlatDarkName),
                          batch_text::kFlatName));
  EXPECT_EQ(messages_.shown[2].text,
            batch::Format(batch::Format(batch_text::kFramesDiffer, batch_text::kBiasName),
                          batch_text::kDarkName));
}

// Rows saved under one name, or over a file another row reads, are refused before
// anything is written.
TEST_F(BatchRunTest, TableRowsThatCollideAreRefused) {
  const std::string flat = Write("flat.fts", Make(kW, kH, Flat));
  auto targets = Targets(3);
  const std::string out = dir_.File("out.fts");
  std::vector<batch::TableRow> rows(3);
  rows[0] = {targets[0].path, "", "", flat, "", out};
  rows[1] = {targets[1].path, "", "", flat, "", ""};
  rows[2] = {targets[2].path, "", "", flat, "", out};
  messages_.Answer(IDYES);
  EXPECT_EQ(CBatchDarkFlat2({}, rows).CheckValue(), 0);
  EXPECT_EQ(messages_.shown.back().text,
            batch::Format(batch_text::kSameOutput,
                          targets[0].path + " -> " + out + "\n" + targets[2].path + " -> " + out));
  // The second row's output is the flat the others read.
  rows[2][batch::kOutput] = "";
  rows[1][batch::kOutput] = flat;
  CBatchDarkFlat2 run({}, rows);
  EXPECT_EQ(run.CheckValue(), 0);
  EXPECT_TRUE(run.HasNameCollision());
  EXPECT_EQ(messages_.shown.back().text,
            batch::Format(batch_text::kSameOutput, targets[0].path + " -> " + out + "\n" +
                                                       targets[1].path + " -> " + flat + "\n" +
                                                       targets[2].path + " -> " + targets[2].path));
  EXPECT_FALSE(Exists(out));
}

TEST_F(BatchRunTest, AbortDuringTheThirdOfFiveLeavesTwoSaved) {
  BatchDarkFlatSettings s;
  s.flat.path = Write("flat.fts", Make(kW, kH, Flat));
  s.result = 2;
  s.folder = dir_.File("out");
  std::atomic<bool> abort{false};
  CBatchDarkFlat run(s, Targets(5));
  const std::string third = run.GetTargets()[2].path;
  run.SetAbortFlag(&abort);
  run.SetReader([&](const std::string& path, CRalImage& image) {
    if (path == third) abort = true;  // the user presses abort while it is worked on
    return ReadBatchImage(path, image);
  });
  ASSERT_EQ(run.CheckValue(), 1);
  EXPECT_EQ(run.ImageProc(), 0);
  EXPECT_TRUE(run.WasAborted());
  EXPECT_EQ(run.GetSavedCount(), 2);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Exists(dir_.File("out/t" + std::to_string(i) + ".fts")), i < 2) << i;
}

// A FITS frame shown bottom-up and taller than the destination by h rows lies h rows
// lower; with the setting off (or another format) it is not shifted.
TEST_F(BatchRunTest, TallerBottomUpFrameIsShiftedDown) {
  for (int bottomUp : {1, 0}) {
    CRegistry::Write("IO", "FitsBottomUp", bottomUp, CRegistry::TYPE_BOOL);
    const std::string dest = Write("dest.fts", Make(16, 16, [](int, int) { return 0.0; }));
    const std::string tall =
        Write("tall.fts", Make(16, 20, [](int x, int y) { return x == 5 && y == 10 ? 7.0 : 0.0; }));
    CBatchComposit run({}, {{dest, nullptr}, {tall, nullptr}});
    ASSERT_EQ(run.MakeNewDestination(nullptr), 1);
    ASSERT_EQ(run.CheckValue(), 1);
    ASSERT_EQ(run.ImageProc(), 1);
    const CRalImage& out = *run.GetDestination();
    EXPECT_EQ(out.GetPixel(5, bottomUp ? 6 : 10), 7.0) << bottomUp;
    EXPECT_EQ(out.GetPixel(5, bottomUp ? 10 : 6), 0.0) << bottomUp;
  }
}

// The add path: an active destination outside the list keeps its own pixels and the
// average divides by the number of entries; a new destination is its model's copy, and
// the model counts once.
TEST_F(BatchRunTest, AddAndAverageOnActiveAndNewDestinations) {
  const std::string one = Write("one.fts", Make(8, 8, [](int, int) { return 1.0; }));
  const std::string two = Write("two.fts", Make(8, 8, [](int, int) { return 2.0; }));
  struct Case {
    int method;
    bool active;
    double expected;
  } cases[] = {{BatchCompositSettings::kAdd, true, 13.0},
               {BatchCompositSettings::kAverage, true, 6.5},
               {BatchCompositSettings::kAdd, false, 3.0},
               {BatchCompositSettings::kAverage, false, 1.5}};
  for (const Case& c : cases) {
    BatchCompositSettings s;
    s.method = c.method;
    CRalImage active = Make(8, 8, [](int, int) { return 10.0; });
    CBatchComposit run(s, {{one, nullptr}, {two, nullptr}});
    if (c.active)
      run.SetDestination(&active, -1);
    else
      ASSERT_EQ(run.MakeNewDestination(&active), 1);  // not in the list: the first entry
    ASSERT_EQ(run.CheckValue(), 1);
    ASSERT_EQ(run.ImageProc(), 1);
    EXPECT_EQ(run.GetDestination()->GetPixel(3, 4), c.expected) << c.method << c.active;
    EXPECT_EQ(active.GetPixel(3, 4), c.active ? c.expected : 10.0);
  }
}

TEST_F(BatchRunTest, OverscanRegionOfABottomUpReference) {
  CRalImage reference(4, 1000, -32, 1, 1.0, 0.0, 1);
  reference.SetOrgFileFormat("FITS");
  // Rows 0 to 9 of every target hold the bias level 50; the rest 100 + x.
  CRalImage target = Make(6, 30, [](int x, int y) { return y < 10 ? 50.0 : 100.0 + x; });
  struct Case {
    bool fits;
    int y1, y2;
    int row1, row2;
    double level;
  } cases[] = {{true, 991, 1000, 9, 0, 50.0},    // the reference's height, not the target's
               {true, 1, 1, 999, 999, NAN},      // outside this target: not done
               {false, 1, 1, 0, 0, 50.0},        // no bottom-up reference: y only loses 1
               {false, 11, 30, 10, 29, 102.5}};  // the mean of 100 + x over x = 1 … 4
  for (const Case& c : cases) {
    reference.SetOrgFileFormat(c.fits ? "FITS" : "BMP");
    BatchOverScanSettings s;
    s.x1 = 2, s.x2 = 5, s.y1 = c.y1, s.y2 = c.y2;
    s.SetReference(&reference);
    CRalImage image(target);
    CBatchOverScan run(s, {{"held", &image}});
    int x1, x2, y1, y2;
    run.Region(&x1, &x2, &y1, &y2);
    EXPECT_EQ(std::vector<int>({x1, x2, y1, y2}), std::vector<int>({1, 4, c.row1, c.row2}));
    ASSERT_EQ(run.ImageProc(), 1);
    if (std::isnan(c.level)) {
      EXPECT_EQ(run.GetFailures().size(), 1u);
      EXPECT_EQ(image.GetPixel(0, 0), 50.0);
    } else {
      ASSERT_TRUE(run.GetFailures().empty());
      EXPECT_EQ(run.GetLastLevels().at(0), c.level);
      EXPECT_EQ(image.GetPixel(3, 20), 103.0 - c.level);
    }
  }
}

}  // namespace

// The batch calibration against the per-image entry points: a run over files (16-bit with
// BZERO, blank pixels, one or three planes, with and without display levels) must save the
// very files that reading each target, applying DoDark (bias, then dark) and FlatClbrtn
// to it and saving it gives, on one thread and on several.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "batch/batchdarkflat.h"
#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "imagemodel/rowpool.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "settings/registry.h"
#include "tests/support/temp_dir.h"

namespace {

struct CalibCase {
  const char* name;
  int planes;
  bool levels;  // the targets carry display levels of their own
  bool blanks;  // some pixels of the targets and of the frames are blank
  int threads;
};

// Height enough for the engine to pin several runs of rows, width not a multiple of the
// vector step of the 16-bit store.
constexpr int kW = 203, kH = 601;

// A 16-bit frame saved with BZERO 32768 (a camera's unsigned values), its pixels from a
// hash of the position so that every step of the arithmetic has work to round.
CRalImage Frame(int planes, double level, double spread, std::uint32_t seed, bool blanks) {
  CRalImage image(kW, kH, 16, planes, 1.0, 32768.0, 1);
  image.SetOrgFileFormat("FITS");
  image.SetOrgBitsPixel(16);
  image.SetOrgScaling(1.0, 32768.0);
  if (blanks) {
    image.SetBlankUsed(1);
    image.SetBlank(-32768);
    image.SetOrgBlank(1, -32768);
  }
  std::vector<double> row(kW);
  for (int p = 0; p < planes; ++p)
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        std::uint32_t h = (static_cast<std::uint32_t>(x) * 73856093u) ^
                          (static_cast<std::uint32_t>(y) * 19349663u) ^ (seed * 83492791u) ^
                          (static_cast<std::uint32_t>(p) * 2654435761u);
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        row[x] = level + spread * static_cast<double>(h % 10007) / 10007.0 + 0.37 * x;
        if (blanks && (h % 97) == 0) row[x] = std::nan("");
      }
      image.SetPhysicalRow(y, p, row.data());
    }
  return image;
}

// The file's bytes with the DATE card (the time of writing) blanked.
std::string BytesWithoutDate(const std::string& path) {
  std::string b = ReadFileOrEmpty(path);
  for (std::size_t i = 0; i + 80 <= b.size() && i < 2880 * 8; i += 80)
    if (b.compare(i, 9, "DATE    =") == 0) b.replace(i, 80, std::string(80, ' '));
  return b;
}

class BatchCalibrationTest : public ::testing::TestWithParam<CalibCase> {
 protected:
  void SetUp() override { threads_ = rowpool::GetThreads(); }
  void TearDown() override { rowpool::SetThreads(threads_); }

  std::string Write(const std::string& name, CRalImage image) {
    const std::string path = dir_.File(name);
    EXPECT_EQ(CRalImageIO::WriteImageFile(image, path, 0), 1) << path;
    return path;
  }

  int threads_ = 1;
  ScopedConfigHome home_;
  TempDir dir_;
  RecordingMessageBox messages_;
  ScopedMessageBox box_{&messages_};
  // A file of three planes is read whole, as the question about a cube's planes offers.
  AcceptingPrompts accept_;
  ScopedUserPrompts prompts_{&accept_};
};

TEST_P(BatchCalibrationTest, RunSavesWhatThePerImageEntryPointsSave) {
  const CalibCase& c = GetParam();
  const int planes = c.planes;
  const std::string bias = Write("bias.fts", Frame(planes, 300, 20, 1, c.blanks));
  const std::string dark = Write("dark.fts", Frame(planes, 350, 40, 2, c.blanks));
  // A flat with a few pixels at zero and below, which are left undivided.
  CRalImage flatImage = Frame(planes, 300, 30000, 3, c.blanks);
  std::vector<double> row(kW);
  ASSERT_TRUE(flatImage.GetPhysicalRow(5, 0, row.data()));
  row[7] = 0.0;
  row[8] = 100.0;
  ASSERT_TRUE(flatImage.SetPhysicalRow(5, 0, row.data()));
  const std::string flat = Write("flat.fts", flatImage);
  std::vector<BatchTarget> targets;
  for (int i = 0; i < 3; ++i) {
    CRalImage t = Frame(planes, 1500 + 100 * i, 3000, 10 + i, c.blanks);
    if (c.levels)
      for (int p = 0; p < planes; ++p) t.SetLevel(p, 1400.0 + p, 4700.5 - p);
    targets.push_back({Write("t" + std::to_string(i) + ".fts", t), nullptr});
  }

  // The reference: one thread, each target through the per-image entry points, the
  // frames prepared as the run prepares them (the dark and the flat freed of the bias).
  rowpool::SetThreads(1);
  CRalImage b, d, f;
  ASSERT_TRUE(ReadBatchImage(bias, b));
  ASSERT_TRUE(ReadBatchImage(dark, d));
  ASSERT_TRUE(ReadBatchImage(flat, f));
  ASSERT_EQ(DoDark(d, b), 1);
  ASSERT_EQ(DoDark(f, b), 1);
  std::vector<std::string> want;
  for (int i = 0; i < 3; ++i) {
    CRalImage image;
    ASSERT_TRUE(ReadBatchImage(targets[i].path, image));
    ASSERT_EQ(image.HasLevel() && image.GetLevelMin(0) == 1400.0, c.levels) << "levels as written";
    ASSERT_EQ(DoDark(image, b), 1);
    ASSERT_EQ(DoDark(image, d), 1);
    ASSERT_EQ(image.FlatClbrtn(f, 1), 1);
    const std::string out = dir_.File("want" + std::to_string(i) + ".fts");
    ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, 0), 1);
    want.push_back(BytesWithoutDate(out));
  }

  rowpool::SetThreads(c.threads);
  BatchDarkFlatSettings s;
  s.bias.path = bias;
  s.dark.path = dark;
  s.flat.path = flat;
  s.result = 2;
  s.folder = dir_.File("out");
  messages_.Answer(IDYES);  // the folder is made
  CBatchDarkFlat run(s, targets);
  ASSERT_EQ(run.CheckValue(), 1);
  std::vector<int> hooked;
  run.SetImageHook([&](int i, CRalImage&) { hooked.push_back(i); });
  ASSERT_EQ(run.ImageProc(), 1);
  EXPECT_TRUE(run.GetFailures().empty());
  EXPECT_EQ(hooked, (std::vector<int>{0, 1, 2}));
  for (int i = 0; i < 3; ++i) {
    const std::string got = BytesWithoutDate(run.OutputName(i));
    ASSERT_FALSE(got.empty()) << run.OutputName(i);
    EXPECT_TRUE(got == want[i]) << c.name << ": target " << i << " differs";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchCalibrationTest,
                         ::testing::Values(CalibCase{"one plane", 1, false, false, 1},
                                           CalibCase{"one plane, two threads", 1, false, false, 2},
                                           CalibCase{"levels", 1, true, false, 2},
                                           CalibCase{"blanks and levels", 1, true, true, 2},
                                           CalibCase{"blanks, one thread", 1, false, true, 1},
                                           CalibCase{"three planes", 3, true, false, 2},
                                           CalibCase{"three planes, blanks, one thread", 3, true,
                                                     true, 1}),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

}  // namespace

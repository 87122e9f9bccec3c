// Stacking aligned by centre of gravity, on images the caller holds (as the dialog hands
// over open windows): a frame drifted by whole pixels lands exactly on the destination,
// and a flat frame, which has nothing above its sky, is combined unshifted and named in
// the failures and among the unaligned frames the dialog warns about, even when it still
// carries a reference point from an earlier run.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "batch/batchcomposit.h"
#include "engine/ralimage.h"
#include "platform/messagebox.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int kW = 64, kH = 48;

// Sky 100 and two stars, drifted by (dx, dy).
double Field(int x, int y, int dx, int dy) {
  auto star = [&](double cx, double cy, double amp) {
    const double r2 = (x - cx - dx) * (x - cx - dx) + (y - cy - dy) * (y - cy - dy);
    return amp * std::exp(-r2 / (2 * 1.7 * 1.7));
  };
  return 100.0 + star(20.3, 15.6, 900.0) + star(41.8, 30.2, 400.0);
}

CRalImage Make(int dx, int dy, bool flat) {
  CRalImage image(kW, kH, -32, 1, 1.0, 0.0, 1);
  std::vector<double> row(kW);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) row[x] = flat ? 100.0 : Field(x, y, dx, dy);
    image.SetPhysicalRow(y, 0, row.data());
  }
  return image;
}

TEST(BatchCompositAlignTest, DriftedFrameLandsAndFlatFrameIsReported) {
  ScopedConfigHome home;
  RecordingMessageBox box;
  ScopedMessageBox scoped(&box);
  for (int method : {BatchCompositSettings::kAdd, BatchCompositSettings::kMedian}) {
    CRalImage first = Make(0, 0, false), drifted = Make(3, -2, false), flat = Make(0, 0, true);
    flat.SetStdPt(0, CfPoint(5, 5));  // left by an earlier run
    BatchCompositSettings s;
    s.method = method;
    s.align = true;
    s.alignMethod = 0;
    CBatchComposit run(s, {{"first", &first}, {"drifted", &drifted}, {"flat", &flat}});
    ASSERT_EQ(run.MakeNewDestination(nullptr), 1);
    ASSERT_EQ(run.CheckValue(), 1);
    ASSERT_EQ(run.ImageProc(), 1);
    EXPECT_EQ(run.GetUnaligned(), std::vector<int>{2}) << method;
    ASSERT_EQ(run.GetFailures().size(), 1u) << method;
    EXPECT_EQ(run.GetFailures()[0].path, "flat");
    EXPECT_EQ(run.GetFailures()[0].reason,
              std::string("could not be aligned (nothing stands above its sky); ") +
                  (method == BatchCompositSettings::kAdd ? "added" : "combined") + " unshifted");
    // The sum of the first frame, the drifted one laid on it and the flat sky; the median
    // of the same three is the first frame. Where the drifted frame reaches.
    const CRalImage& out = *run.GetDestination();
    int wrong = 0;
    for (int y = 2; y < kH; ++y)
      for (int x = 0; x < kW - 3; ++x) {
        const double a = Field(x, y, 0, 0);
        const double expected = method == BatchCompositSettings::kAdd ? 2 * a + 100.0 : a;
        wrong += !(std::fabs(out.GetPixel(x, y) - expected) <= 1e-3 * expected);
      }
    EXPECT_EQ(wrong, 0) << method;
  }
}

}  // namespace

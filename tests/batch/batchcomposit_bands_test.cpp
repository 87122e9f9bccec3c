// The row path's combining on the pool's threads, bands of rows at a time, against the
// same run on one thread, which combines row by row: the destinations must be equal bit
// for bit for every method, with whole and fractional shifts (beyond the frame, too),
// frames of other sizes, blank pixels, 16-bit and float frames, and with the frames paged
// out by a small pager budget.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "batch/batchcomposit.h"
#include "engine/ralimage.h"
#include "imagemodel/rowpool.h"
#include "platform/messagebox.h"
#include "tests/support/pager_budget.h"
#include "tests/support/temp_dir.h"

namespace {

// Frame i: stars over a sky with noise, in 16-bit with BZERO or in floats with NaN gaps.
std::unique_ptr<CRalImage> Frame(int i, int w, int h, bool floats) {
  auto image = floats ? std::make_unique<CRalImage>(w, h, -32, 1, 1.0, 0.0, 1)
                      : std::make_unique<CRalImage>(w, h, 16, 1, 1.0, 32768.0, 1);
  std::mt19937 rng(100 + i);
  std::normal_distribution<double> noise(0, 12);
  std::vector<double> row(w);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const double r2 =
          (x - 40.5 - i) * (x - 40.5 - i) + (y - 70.2 + 0.7 * i) * (y - 70.2 + 0.7 * i);
      double v = 1000 + 8000 * std::exp(-r2 / 8.0) + noise(rng);
      if (!floats) v = std::round(v);
      if (floats && (x * 7 + y * 3 + i) % 97 == 0) v = std::nan("");
      row[x] = v;
    }
    image->SetPhysicalRow(y, 0, row.data());
  }
  return image;
}

// The destination of a median, clipped or summed stack of the frames placed at shifts.
std::vector<double> Stack(const std::vector<CRalImage*>& frames,
                          const std::vector<StackShift>& shifts, int method, bool clipping,
                          int threads) {
  rowpool::SetThreads(threads);
  BatchCompositSettings s;
  s.method = method;
  s.clipping = clipping;
  s.align = true;
  s.alignMethod = 1;
  std::vector<BatchTarget> targets;
  for (std::size_t i = 0; i < frames.size(); ++i)
    targets.push_back({"frame" + std::to_string(i), frames[i]});
  CBatchComposit run(s, targets);
  run.SetShifts(shifts);
  std::vector<double> out;
  EXPECT_EQ(run.MakeNewDestination(nullptr), 1);
  EXPECT_EQ(run.CheckValue(), 1);
  EXPECT_EQ(run.ImageProc(), 1) << method << clipping << threads;
  const CRalImage& dest = *run.GetDestination();
  std::vector<double> row(dest.GetWidth());
  for (int y = 0; y < dest.GetHeight(); ++y) {
    dest.GetPhysicalRow(y, 0, row.data());
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

TEST(BatchCompositBandsTest, BandsOnThePoolEqualRowByRowOnOneThread) {
  ScopedConfigHome home;
  RecordingMessageBox box;
  ScopedMessageBox scoped(&box);
  const int threads = rowpool::GetThreads();
  for (const int budgetMB : {256, 1}) {
    SetPagerBudget(budgetMB);
    std::vector<std::unique_ptr<CRalImage>> held;
    held.push_back(Frame(0, 120, 150, false));
    held.push_back(Frame(1, 120, 150, true));
    held.push_back(Frame(2, 100, 170, false));  // another size
    held.push_back(Frame(3, 120, 150, false));
    held.push_back(Frame(4, 120, 150, true));
    std::vector<CRalImage*> frames;
    for (auto& f : held) frames.push_back(f.get());
    const std::vector<StackShift> shifts = {{0, 0, 0, true},
                                            {2.37, -1.61, 0, true},
                                            {-3, 4, 0, true},
                                            {0.5, 130.25, 0, true},
                                            {-1.999999999999, 0.0000000001, 0, true}};
    for (const int method : {BatchCompositSettings::kMedian, BatchCompositSettings::kAverage,
                             BatchCompositSettings::kAdd})
      for (const bool clipping : {false, true}) {
        if (method != BatchCompositSettings::kMedian && !clipping) continue;  // the add path
        const std::vector<double> one = Stack(frames, shifts, method, clipping, 1);
        const std::vector<double> two = Stack(frames, shifts, method, clipping, 2);
        ASSERT_EQ(one.size(), two.size());
        ASSERT_FALSE(one.empty());
        EXPECT_EQ(std::memcmp(one.data(), two.data(), one.size() * sizeof(double)), 0)
            << "method " << method << " clipping " << clipping << " budget " << budgetMB;
      }
  }
  rowpool::SetThreads(threads);
}

}  // namespace

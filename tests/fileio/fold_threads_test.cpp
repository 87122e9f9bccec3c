// Folding while reading against reading the stored values and folding afterwards, and one
// thread against several: the pixels, levels and kept scaling must be the same bytes, and
// a plain save must give back the data unit of the file it came from. Images are made
// here in code, tall enough to span several pager blocks and batches of rows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "imagemodel/rowpool.h"
#include "platform/clocale.h"
#include "platform/messagebox.h"
#include "tests/fits/fits_test_support.h"

using namespace fitstest;

namespace {

constexpr int kWidth = 517, kHeight = 1201;

struct ThreadCase {
  const char* name;
  int bits;
  double bscale = 1.0, bzero = 0.0;
  bool blank = false;
  long long blankValue = 0;
  int bottomUp = 1;  // the FitsBottomUp setting
};

std::string Real(double v) {
  return FormatC("%.17G", v);
}

// Stored values from a fixed pseudo-random sequence spread over the type, with the
// blank value sprinkled in when there is one; returns the whole file.
std::string FileOf(const ThreadCase& c, std::string* dataUnit) {
  std::vector<std::string> cards = ImageCards(c.bits, {kWidth, kHeight});
  if (c.bscale != 1.0) cards.push_back(Key("BSCALE", Real(c.bscale)));
  if (c.bzero != 0.0) cards.push_back(Key("BZERO", Real(c.bzero)));
  if (c.blank) cards.push_back(Key("BLANK", c.blankValue));
  std::uint64_t state = 88172645463325252ull;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  std::string data;
  auto fill = [&](auto zero) {
    using T = decltype(zero);
    std::vector<T> v(static_cast<std::size_t>(kWidth) * kHeight);
    for (std::size_t i = 0; i < v.size(); ++i) {
      const std::uint64_t r = next();
      if constexpr (std::is_floating_point_v<T>)
        v[i] = static_cast<T>(static_cast<double>(r % 2000003) * 0.37 - 1000.0);
      else
        v[i] = static_cast<T>(r);
      if (c.blank && r % 97 == 0) v[i] = static_cast<T>(c.blankValue);
    }
    data = BigEndian(v);
  };
  switch (c.bits) {
    case 8:
      fill(std::uint8_t{});
      break;
    case 16:
      fill(std::int16_t{});
      break;
    case 32:
      fill(std::int32_t{});
      break;
    case -32:
      fill(float{});
      break;
    default:
      fill(double{});
      break;
  }
  *dataUnit = PadRecord(data, '\0');
  return Header(cards) + *dataUnit;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every row's bytes of every plane, the pixel type and what the fold kept.
std::string Snapshot(const CImage& image) {
  std::string s = FormatC("%d %g %g %d|", image.GetBitsPixel(), image.GetBscale(), image.GetBzero(),
                          image.IsBlankUsed());
  double bscale = 0, bzero = 0;
  const bool scaled = image.GetOrgScaling(&bscale, &bzero);
  int blank = 0;
  const int blankUsed = image.GetOrgBlank(&blank);
  s += FormatC("%d %.17g %.17g %d %d|", scaled, bscale, bzero, blankUsed, blank);
  for (int p = 0; p < image.GetPlanes(); ++p)
    s += FormatC("%.17g %.17g|", image.GetLevelMin(p), image.GetLevelMax(p));
  const std::size_t rowBytes =
      static_cast<std::size_t>(image.GetWidth()) * static_cast<std::size_t>(image.GetBytesPixel());
  for (int p = 0; p < image.GetPlanes(); ++p)
    for (int y = 0; y < image.GetHeight(); ++y)
      s.append(static_cast<const char*>(image.GetImageAdr(0, y, p)), rowBytes);
  return s;
}

class FoldThreadsTest : public FitsTest, public ::testing::WithParamInterface<ThreadCase> {
 protected:
  void SetUp() override {
    FitsTest::SetUp();
    threads_ = rowpool::GetThreads();
    SetInt("IO", "FitsBottomUp", GetParam().bottomUp);
  }
  void TearDown() override {
    rowpool::SetThreads(threads_);
    FitsTest::TearDown();
  }
  static int Open(CRalImage& image, const std::string& path) {
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    int autoLevel = 0;
    return CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel);
  }
  int threads_ = 1;
  RecordingMessageBox box_;
  ScopedMessageBox scopedBox_{&box_};
};

TEST_P(FoldThreadsTest, FoldingAsReadEqualsFoldingAfterAndThreadsChangeNothing) {
  const ThreadCase& c = GetParam();
  std::string dataUnit;
  const std::string in = Put("in.fts", FileOf(c, &dataUnit));

  // The oracle: the stored values read as they are, then folded on one thread.
  rowpool::SetThreads(1);
  CRalImage stored;
  ASSERT_EQ(CFits::Read(stored, in, 1, 0, 0, 0, 0, nullptr, {}, 1), FITS_OK);
  ASSERT_EQ(stored.FoldPhysical(-32), 1);
  const std::string oracle = Snapshot(stored);

  for (int threads : {1, 2, 3}) {
    SCOPED_TRACE(FormatC("%d threads", threads));
    rowpool::SetThreads(threads);
    CRalImage folded;
    ASSERT_EQ(Open(folded, in), 1);
    EXPECT_TRUE(Snapshot(folded) == oracle) << c.name;
    CRalImage again;  // folding afterwards on this many threads
    ASSERT_EQ(CFits::Read(again, in, 1, 0, 0, 0, 0, nullptr, {}, 1), FITS_OK);
    ASSERT_EQ(again.FoldPhysical(-32), 1);
    EXPECT_TRUE(Snapshot(again) == oracle) << c.name;

    // A plain save writes back the data unit of the file, byte for byte.
    const std::string out = dir_.File(FormatC("out%d.fts", threads));
    ASSERT_EQ(CRalImageIO::WriteImageFile(folded, out, 0), 1);
    const std::string saved = Slurp(out);
    ASSERT_GE(saved.size(), dataUnit.size());
    EXPECT_TRUE(saved.compare(saved.size() - dataUnit.size(), dataUnit.size(), dataUnit) == 0)
        << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, FoldThreadsTest,
    ::testing::Values(ThreadCase{"uint16", 16, 1.0, 32768.0},
                      ThreadCase{"uint16_top_down", 16, 1.0, 32768.0, false, 0, 0},
                      ThreadCase{"int16_scaled", 16, 0.045777764213996, 10.5},
                      ThreadCase{"int16_blank", 16, 1.0, 0.0, true, -32768},
                      ThreadCase{"int32_doubles", 32},
                      ThreadCase{"byte_blank_scaled", 8, 2.0, -1.0, true, 255},
                      ThreadCase{"float", -32}, ThreadCase{"double", -64, 1.0, 0.0, false, 0, 0}),
    [](const ::testing::TestParamInfo<ThreadCase>& info) { return std::string(info.param.name); });

}  // namespace

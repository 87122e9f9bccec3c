// The false-colour and spectral tables: they pass exactly through the reference colours,
// stay between neighbouring references (no overshoot or ringing), rise or fall steadily
// where the references do, and GetSpectrumColor reads the spectral table at its ends and
// between whole nanometres.
#include "display/colortables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "display/imagebuffer.h"
#include "tests/support/temp_dir.h"

namespace {

struct Row {
  int index;
  int r, g, b;
};

// The reference colours as the display design gives them.
const std::vector<Row> kVermilionRows = {
    {0, 0, 0, 0},         {32, 44, 0, 0},       {64, 104, 1, 0},
    {96, 163, 13, 0},     {128, 202, 46, 23},   {160, 225, 103, 76},
    {192, 239, 162, 143}, {224, 248, 215, 205}, {255, 253, 249, 248}};
const std::vector<Row> kCyanRows = {
    {0, 0, 0, 0},         {32, 0, 23, 33},      {64, 0, 59, 78},
    {96, 0, 100, 124},    {128, 21, 143, 168},  {160, 74, 182, 199},
    {192, 140, 213, 224}, {224, 201, 236, 241}, {255, 246, 252, 252}};
const std::vector<Row> kBlackBodyRows = {
    {0, 0, 0, 0},        {32, 63, 0, 0},       {64, 153, 0, 0},
    {96, 255, 6, 0},     {128, 255, 124, 0},   {160, 255, 241, 0},
    {192, 255, 255, 93}, {224, 255, 255, 185}, {255, 255, 255, 246}};
// Wavelength in nm above 360.
const std::vector<Row> kSpectrumRows = {
    {0, 126, 124, 128}, {50, 64, 1, 147},     {100, 0, 8, 255},     {150, 0, 243, 84},
    {200, 112, 248, 0}, {250, 255, 53, 0},    {300, 236, 0, 8},     {350, 200, 0, 21},
    {400, 128, 0, 48},  {450, 128, 105, 114}, {468, 128, 127, 127}, {469, 128, 128, 128}};

int Channel(const RGBCOLOR& c, int k) {
  return k == 0 ? c.r : k == 1 ? c.g : c.b;
}
int Channel(const Row& c, int k) {
  return k == 0 ? c.r : k == 1 ? c.g : c.b;
}

// Checks a table against its reference rows: exact at each, and between two rows every
// channel lies within their values and moves one way only when they differ.
template <typename Table>
void CheckShape(const Table& table, const std::vector<Row>& rows, const char* name) {
  ASSERT_EQ(static_cast<int>(table.size()), rows.back().index + 1) << name;
  for (const Row& row : rows) {
    const RGBCOLOR c = table[static_cast<std::size_t>(row.index)];
    EXPECT_EQ(c, (RGBCOLOR{static_cast<std::uint8_t>(row.r), static_cast<std::uint8_t>(row.g),
                           static_cast<std::uint8_t>(row.b)}))
        << name << " at " << row.index;
  }
  for (std::size_t k = 0; k + 1 < rows.size(); ++k) {
    const Row& a = rows[k];
    const Row& b = rows[k + 1];
    for (int ch = 0; ch < 3; ++ch) {
      const int lo = std::min(Channel(a, ch), Channel(b, ch));
      const int hi = std::max(Channel(a, ch), Channel(b, ch));
      const int dir = (Channel(b, ch) > Channel(a, ch)) - (Channel(b, ch) < Channel(a, ch));
      for (int i = a.index; i <= b.index; ++i) {
        const int v = Channel(table[static_cast<std::size_t>(i)], ch);
        EXPECT_GE(v, lo) << name << " entry " << i << " channel " << ch;
        EXPECT_LE(v, hi) << name << " entry " << i << " channel " << ch;
        if (i > a.index) {
          const int step = v - Channel(table[static_cast<std::size_t>(i - 1)], ch);
          EXPECT_GE(step * dir, 0) << name << " entry " << i << " channel " << ch;
          if (dir == 0) {
            EXPECT_EQ(step, 0) << name << " entry " << i << " channel " << ch;
          }
        }
      }
    }
  }
}

class ColorTablesTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
};

}  // namespace

TEST_F(ColorTablesTest, FalseColourTablesPassSmoothlyThroughTheirRows) {
  CheckShape(FalseColorTable(0), kVermilionRows, "vermilion");
  CheckShape(FalseColorTable(1), kCyanRows, "cyan");
  CheckShape(FalseColorTable(2), kBlackBodyRows, "black body");
  // Between rows the curve bends smoothly: no entry is more than a few steps off the
  // straight line between its rows (a table of rows with nothing in between, or one
  // that jumps, would not be).
  const auto& t = FalseColorTable(0);
  EXPECT_NEAR(t[16].r, 22, 6);
  EXPECT_NEAR(t[144].g, (46 + 103) / 2, 8);
}

TEST_F(ColorTablesTest, SpectralTablePassesThroughItsRows) {
  CheckShape(SpectrumColorTable(), kSpectrumRows, "spectrum");
}

TEST_F(ColorTablesTest, InterpolationIsExactOnStraightData) {
  // Rows on a straight line give the straight line (the end slopes are not bent).
  const ColorKnot knots[] = {{0, {0, 0, 100}}, {10, {100, 50, 100}}, {20, {200, 100, 100}}};
  std::vector<RGBCOLOR> out(21);
  InterpolateColorTable(knots, 3, out.data());
  for (int i = 0; i <= 20; ++i) {
    EXPECT_EQ(out[i].r, 10 * i) << i;
    EXPECT_EQ(out[i].g, static_cast<int>(std::lround(5.0 * i))) << i;
    EXPECT_EQ(out[i].b, 100) << i;
  }
  // Two rows: a straight line.
  const ColorKnot two[] = {{0, {0, 255, 7}}, {4, {200, 55, 7}}};
  std::vector<RGBCOLOR> line(5);
  InterpolateColorTable(two, 2, line.data());
  EXPECT_EQ(line[2], (RGBCOLOR{100, 155, 7}));
}

TEST_F(ColorTablesTest, SpectrumColourAtTheEndsAndBetweenNanometres) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double metres;
    int r, g, b;
  } cases[] = {
      {360e-9, 126, 124, 128},  // the first entry, exactly
      {300e-9, 126, 124, 128},  // below the table: its first colour
      {-1.0, 126, 124, 128},
      {460e-9, 0, 8, 255},  // table rows at whole nanometres
      {610e-9, 255, 53, 0},
      {828e-9, 128, 127, 127},
      {829e-9, 128, 128, 128},
      {829.5e-9, 128, 128, 128},  // beyond the last blend: grey
      {830e-9, 128, 128, 128},
      {1e-3, 128, 128, 128},
      {nan, 128, 128, 128},
      {std::numeric_limits<double>::infinity(), 128, 128, 128},
      {-std::numeric_limits<double>::infinity(), 126, 124, 128},
  };
  for (const Case& c : cases) {
    const COLORREF got = CImageBuffer::GetSpectrumColor(c.metres);
    EXPECT_EQ(GetRValue(got), c.r) << c.metres;
    EXPECT_EQ(GetGValue(got), c.g) << c.metres;
    EXPECT_EQ(GetBValue(got), c.b) << c.metres;
  }
  // Half-way between 828 and 829 nm: the blend of the two entries with weights of 128.
  const COLORREF mid = CImageBuffer::GetSpectrumColor(828.5e-9);
  EXPECT_EQ(GetGValue(mid), (127 * 128 + 128 * 128) >> 8);
  // A quarter of the way from 460 nm: (a × 192 + b × 64) >> 8 of the table entries.
  const auto& t = SpectrumColorTable();
  const COLORREF q = CImageBuffer::GetSpectrumColor(460.25e-9);
  EXPECT_EQ(GetGValue(q), (t[100].g * 192 + t[101].g * 64) >> 8);
  EXPECT_EQ(GetRValue(q), (t[100].r * 192 + t[101].r * 64) >> 8);
}

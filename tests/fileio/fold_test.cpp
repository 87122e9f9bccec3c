// Opening folds the scaling and the blank value into real pixels without changing a value,
// and a plain save writes the stored values back: a table of files made in code whose
// values 32-bit floats can and cannot hold, then NaN written as a blank value by integer
// saves, and the conversion question for conversions that would flatten the data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fits/fits.h"
#include "platform/clocale.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/fits/fits_test_support.h"

using namespace fitstest;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct FoldCase {
  const char* name;
  int bits;                   // BITPIX of the file
  std::vector<double> stored;  // stored values (NaN for a real NaN)
  double bscale = 1.0, bzero = 0.0;
  bool blank = false;
  long long blankValue = 0;
  int folded = -32;  // the pixel type the image is held in after opening
};

std::string Real(double v) { return FormatC("%.17G", v); }

// A one-row primary image of the stored values.
std::string FileOf(const FoldCase& c) {
  std::vector<std::string> cards =
      ImageCards(c.bits, {static_cast<long long>(c.stored.size()), 1});
  if (c.bscale != 1.0) cards.push_back(Key("BSCALE", Real(c.bscale)));
  if (c.bzero != 0.0) cards.push_back(Key("BZERO", Real(c.bzero)));
  if (c.blank) cards.push_back(Key("BLANK", c.blankValue));
  std::string data;
  auto as = [&](auto zero) {
    std::vector<decltype(zero)> v;
    for (double d : c.stored) v.push_back(static_cast<decltype(zero)>(d));
    data = BigEndian(v);
  };
  switch (c.bits) {
    case 8: as(std::uint8_t{}); break;
    case 16: as(std::int16_t{}); break;
    case 32: as(std::int32_t{}); break;
    case -32: as(float{}); break;
    default: as(double{}); break;
  }
  return Header(cards) + PadRecord(data, '\0');
}

bool IsBlankCase(const FoldCase& c, double stored) {
  return c.blank && stored == static_cast<double>(c.blankValue);
}

// The stored value of pixel x of a file read without folding, as a double.
double StoredAt(const CImage& img, int x) {
  const void* p = img.GetImageAdr(x, 0, 0);
  switch (img.GetBitsPixel()) {
    case 8: return *static_cast<const std::uint8_t*>(p);
    case 16: return *static_cast<const std::int16_t*>(p);
    case 32: return *static_cast<const std::int32_t*>(p);
    case -32: return *static_cast<const float*>(p);
    default: return *static_cast<const double*>(p);
  }
}

bool Same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

class FoldTest : public FitsTest, public ::testing::WithParamInterface<FoldCase> {
 protected:
  int Open(CRalImage& image, const std::string& path) {
    CReadParam param;
    param.SetFileTypeDefaulted(path);
    int autoLevel = 0;
    return CRalImageIO::ReadFile(image, path, &param, -32, &autoLevel);
  }
  RecordingMessageBox box_;
  ScopedMessageBox scopedBox_{&box_};
};

TEST_P(FoldTest, OpeningKeepsEveryValueAndAPlainSaveWritesTheStoredValuesBack) {
  const FoldCase& c = GetParam();
  const std::string path = dir_.File("in.fts");
  WriteFileOrDie(path, FileOf(c));
  CRalImage image;
  ASSERT_EQ(Open(image, path), 1);
  EXPECT_EQ(image.GetBitsPixel(), c.folded);
  EXPECT_EQ(image.GetBscale(), 1.0);
  EXPECT_EQ(image.GetBzero(), 0.0);
  EXPECT_EQ(image.IsBlankUsed(), 0);  // blank pixels are NaN now

  double lo = INFINITY, hi = -INFINITY;
  for (int x = 0; x < image.GetWidth(); ++x) {
    const double s = c.stored[static_cast<std::size_t>(x)];
    const double physical = IsBlankCase(c, s) ? kNaN : s * c.bscale + c.bzero;
    // Doubles hold the physical value itself; floats hold it rounded, which is exact
    // whenever the case folds into floats.
    const double held =
        c.folded == -64 ? physical : static_cast<double>(static_cast<float>(physical));
    EXPECT_TRUE(Same(image.GetPixel(x, 0, 0), held)) << c.name << " pixel " << x;
    if (!std::isnan(physical)) {
      lo = std::min(lo, physical);
      hi = std::max(hi, physical);
    }
  }
  // Blank pixels and NaN stay out of the levels, which come from the file's values.
  EXPECT_EQ(image.GetLevelMin(0), lo);
  EXPECT_EQ(image.GetLevelMax(0), hi > lo ? hi : lo + 1.0);

  // A plain save, and a save whose options choose the file's own type, as the program's
  // save dialog does.
  for (int ask : {0, 1}) {
    SCOPED_TRACE(ask ? "save with options" : "plain save");
    ScriptedPrompts prompts;
    ScopedUserPrompts scoped(&prompts);
    prompts.Always("SaveFits", [&](Prompt& p) {
      static_cast<SaveFitsPrompt&>(p).bits = c.bits;
      return true;
    });
    const std::string out = dir_.File("out.fts");
    ASSERT_EQ(CRalImageIO::WriteImageFile(image, out, ask), 1);
    EXPECT_EQ(prompts.asked().size(), ask ? 1u : 0u);  // no conversion question
    CImage back;  // read without folding: the stored values as the file holds them
    ASSERT_EQ(CFits::Read(back, out, 1, 0, 0, 0, 0, nullptr, {}, 1), FITS_OK);
    EXPECT_EQ(back.GetBitsPixel(), c.bits);
    EXPECT_EQ(back.GetBscale(), c.bscale);
    EXPECT_EQ(back.GetBzero(), c.bzero);
    EXPECT_EQ(back.IsBlankUsed(), c.blank ? 1 : 0);
    if (c.blank) {
      EXPECT_EQ(back.GetBlank(), c.blankValue);
    }
    for (int x = 0; x < back.GetWidth(); ++x)
      EXPECT_TRUE(Same(StoredAt(back, x), c.stored[static_cast<std::size_t>(x)]))
          << c.name << " pixel " << x << ": " << StoredAt(back, x);
  }
}

const double kPi = 3.14159265358979323846;

INSTANTIATE_TEST_SUITE_P(
    Files, FoldTest,
    ::testing::Values(
        FoldCase{"int16", 16, {-32768, -1, 0, 1, 32767}},
        FoldCase{"uint16", 16, {-32768, 0, 32767}, 1.0, 32768.0},
        FoldCase{"int32_small", 32, {0, 60000, -16777216, 16777216}},
        FoldCase{"int32_limits", 32, {-2147483648.0, 2147483647.0, 123456789, 16777217}, 1.0,
                 0.0, false, 0, -64},
        FoldCase{"uint32", 32, {-2147483648.0, 2147483647.0, 0, 1}, 1.0, 2147483648.0, false, 0,
                 -64},
        FoldCase{"double_exact_in_float", -64, {0.5, -2, 1024, kNaN}},
        FoldCase{"double_wide", -64, {1e-300, kPi, 1e300, -0.1, kNaN}, 1.0, 0.0, false, 0, -64},
        FoldCase{"float_nan", -32, {1.5f, kNaN, -3.25f}},
        FoldCase{"int16_bscale_recoverable", 16, {-32768, -7, 0, 13, 32767}, 0.045777764213996,
                 10.5},
        FoldCase{"int16_bscale_tiny", 16, {-32768, 1, 2, 32767}, 1e-9},
        FoldCase{"int16_far_offset", 16, {-32768, 1, 2, 32767}, 0.01, 1e6, false, 0, -64},
        FoldCase{"int16_blank_scaled", 16, {-32768, -789, 0, 1195}, 0.5, 200.0, true, -32768},
        FoldCase{"int16_blank", 16, {-394, -32768, 599}, 1.0, 0.0, true, -32768},
        FoldCase{"int32_blank_wide", 32, {2147483647.0, -5, 7}, 1.0, 0.0, true, -5, -64},
        FoldCase{"byte_blank", 8, {0, 255, 17}, 2.0, -1.0, true, 255}),
    [](const ::testing::TestParamInfo<FoldCase>& info) { return std::string(info.param.name); });

class BlankSaveTest : public FitsTest {
 protected:
  // Saves with the FITS options answered: bits, and the conversion question when asked.
  int Save(CRalImage& image, const std::string& path, int bits, int mode = 0) {
    ScriptedPrompts prompts;
    ScopedUserPrompts scoped(&prompts);
    prompts.Always("SaveFits", [bits](Prompt& p) {
      static_cast<SaveFitsPrompt&>(p).bits = bits;
      return true;
    });
    prompts.Always("ChangeBitsFits", [mode](Prompt& p) {
      static_cast<ChangeBitsFitsPrompt&>(p).mode = mode;
      return true;
    });
    const int rc = CRalImageIO::WriteImageFile(image, path, 1);
    asked_ = prompts.asked();
    return rc;
  }
  static CRalImage FloatImage(const std::vector<double>& values) {
    CRalImage image(static_cast<int>(values.size()), 1, -32, 1, 1.0, 0.0, 1);
    EXPECT_EQ(image.SetPhysicalRow(0, 0, values.data()), 1);
    image.SetOrgFileFormat("FITS");
    image.SetOrgBitsPixel(-32);
    return image;
  }
  std::vector<std::string> asked_;
  RecordingMessageBox box_;
  ScopedMessageBox scopedBox_{&box_};
};

TEST_F(BlankSaveTest, NaNBecomesABlankValueOutsideTheDataOfEveryIntegerType) {
  struct Case {
    int bits;
    std::vector<double> values;
    int mode;
  } const cases[] = {
      {16, {-32768, kNaN, 5, 32767}, 0},  // the data take both ends: one is given up
      {16, {1, kNaN, 1000}, 0},
      {8, {0, kNaN, 255}, 0},
      {8, {3, kNaN, 200}, 0},
      {8, {-1000, kNaN, 5000}, 3},  // scaled: the data go into the rest of the range
      {32, {-5, kNaN, 7}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.bits << " bits, mode " << c.mode);
    CRalImage image = FloatImage(c.values);
    const std::string out = dir_.File("blank.fts");
    ASSERT_EQ(Save(image, out, c.bits, c.mode), 1);
    CImage back;
    ASSERT_EQ(CFits::Read(back, out, 1, 0, 0, 0, 0, nullptr, {}, 1), FITS_OK);
    ASSERT_EQ(back.IsBlankUsed(), 1);
    const double lowest = c.bits == 8 ? 0 : -std::ldexp(1.0, c.bits - 1);
    EXPECT_GE(back.GetBlank(), lowest);
    EXPECT_LE(back.GetBlank(), lowest + std::ldexp(1.0, c.bits) - 1);
    for (int x = 0; x < back.GetWidth(); ++x) {
      const bool blank = std::isnan(c.values[static_cast<std::size_t>(x)]);
      EXPECT_EQ(StoredAt(back, x) == back.GetBlank(), blank) << x;
      EXPECT_EQ(std::isnan(back.GetPixel(x, 0, 0)), blank) << x;
    }
  }
}

TEST_F(BlankSaveTest, AnImageReadAgainKeepsNothingOfTheEarlierFile) {
  // One image object read twice, as a batch reads its frames: the second file's plain
  // save must not take the first file's scaling or blank value.
  const FoldCase first{"first", 16, {-32768, 5, 7}, 0.5, 100.0, true, -32768};
  const FoldCase second{"second", 16, {-32768, 5, 7}};
  WriteFileOrDie(dir_.File("first.fts"), FileOf(first));
  WriteFileOrDie(dir_.File("second.fts"), FileOf(second));
  CRalImage image;
  for (const char* name : {"first.fts", "second.fts"}) {
    CReadParam param;
    param.SetFileTypeDefaulted(dir_.File(name));
    int autoLevel = 0;
    ASSERT_EQ(CRalImageIO::ReadFile(image, dir_.File(name), &param, -32, &autoLevel), 1);
  }
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, dir_.File("out.fts"), 0), 1);
  CImage back;
  ASSERT_EQ(CFits::Read(back, dir_.File("out.fts"), 1, 0, 0, 0, 0, nullptr, {}, 1), FITS_OK);
  EXPECT_EQ(back.GetBscale(), 1.0);
  EXPECT_EQ(back.GetBzero(), 0.0);
  EXPECT_EQ(back.IsBlankUsed(), 0);
  for (int x = 0; x < 3; ++x) EXPECT_EQ(StoredAt(back, x), second.stored[static_cast<std::size_t>(x)]);
}

TEST_F(BlankSaveTest, ARealFileNeverGetsABlankCard) {
  CRalImage image = FloatImage({1, kNaN, 3});
  image.SetBlankUsed(1);  // left over by a reader: real pixels have NaN instead
  image.SetBlank(-32768);
  for (int bits : {-32, -64}) {
    const std::string out = dir_.File("real.fts");
    ASSERT_EQ(Save(image, out, bits), 1);
    CImage back;
    ASSERT_EQ(CFits::Read(back, out, 1, 0, 0, 0, 0, nullptr, {}, 1), FITS_OK);
    EXPECT_EQ(back.m_FitsHeader.Find("BLANK"), -1) << bits;
    EXPECT_TRUE(std::isnan(back.GetPixel(1, 0, 0)));
  }
}

TEST_F(BlankSaveTest, AConversionThatWouldFlattenTheDataAsksFirst) {
  auto ramp = [](double from, double to, int n) {
    std::vector<double> v;
    for (int i = 0; i < n; ++i) v.push_back(from + (to - from) * i / (n - 1));
    return v;
  };
  struct Case {
    std::vector<double> values;
    int bits;
    bool asks;
  } const cases[] = {
      {ramp(0, 0.001, 101), 16, true},    // many values, all of which would become 0
      {ramp(0, 9.9, 100), 16, true},      // a hundred values kept as ten
      {{0.25, 0.5, 0.75}, 8, true},       // non-constant to constant
      {ramp(0, 99, 100), 16, false},      // whole numbers fit as they are
      {{0, 0.5, 1}, 16, false},           // few levels to begin with
      {{-1000, 100000}, 16, true},        // does not fit (as before)
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.values.size() << " values, " << c.bits << " bits");
    CRalImage image = FloatImage(c.values);
    ASSERT_EQ(Save(image, dir_.File("q.fts"), c.bits, 3), 1);
    const bool asked =
        std::find(asked_.begin(), asked_.end(), "ChangeBitsFits") != asked_.end();
    EXPECT_EQ(asked, c.asks);
    if (!asked) continue;
    // Compress keeps the levels apart.
    CImage back;
    ASSERT_EQ(CFits::Read(back, dir_.File("q.fts"), 1, 0, 0, 0, 0, nullptr, {}, 1), FITS_OK);
    EXPECT_NE(StoredAt(back, 0), StoredAt(back, back.GetWidth() - 1));
  }
}

}  // namespace

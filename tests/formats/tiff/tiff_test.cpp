#include "formats/tiff/tifffile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "tests/formats/png/raster_test_support.h"
#include "tests/support/temp_dir.h"

using namespace raster_test;

namespace {

const std::string kImages = "/usr/share/doc/libsixel-examples/examples/images";
const std::string kSuite = kImages + "/pngsuite";

class TiffTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, const std::string& bytes) {
    std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  std::string Written(const std::string& name, int bits, int planes, int compression, int order,
                      int width = 61, int height = 157) {
    CImage image(bits, width, height, planes, 1.0, 0.0, 0);
    FillPattern(image);
    const std::string path = dir_.File(name);
    EXPECT_EQ(CTiff::Write(image, path, compression, order), FIO_OK);
    return path;
  }

  ScopedConfigHome home_;
  TempDir dir_;
};

// ---------------------------------------------------------------- format names

struct NameCase {
  const char* name;
  int tag;
  int mark;
  std::string text;
  int compression;
  int order;
};

class TiffNameTest : public TiffTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(TiffNameTest, TextAndSaveOptionsFollowEachOther) {
  const NameCase& c = GetParam();
  EXPECT_EQ(CTiff::GetFileFormatString(c.tag, c.mark), c.text);
  EXPECT_EQ(CTiff::GetCompressionType(c.text), c.compression);
  EXPECT_EQ(CTiff::GetByteOrderType(c.text), c.order);
}

INSTANTIATE_TEST_SUITE_P(
    Names, TiffNameTest,
    ::testing::Values(NameCase{"NoneLittle", 1, 0x4949, "TIFF (無圧縮, IBM PC形式)",
                               TIF_COMPRESS_NONE, TIF_ORDER_LITTLE_ENDIAN},
                      NameCase{"NoneBig", 1, 0x4D4D, "TIFF (無圧縮, Macintosh形式)",
                               TIF_COMPRESS_NONE, TIF_ORDER_BIG_ENDIAN},
                      NameCase{"LzwLittle", 5, 0x4949, "TIFF (LZW圧縮, IBM PC形式)",
                               TIF_COMPRESS_LZW, TIF_ORDER_LITTLE_ENDIAN},
                      NameCase{"LzwBig", 5, 0x4D4D, "TIFF (LZW圧縮, Macintosh形式)",
                               TIF_COMPRESS_LZW, TIF_ORDER_BIG_ENDIAN},
                      NameCase{"PackBitsLittle", 32773, 0x4949, "TIFF (Packbits圧縮, IBM PC形式)",
                               TIF_COMPRESS_PACKBITS, TIF_ORDER_LITTLE_ENDIAN},
                      NameCase{"PackBitsBig", 32773, 0x4D4D, "TIFF (Packbits圧縮, Macintosh形式)",
                               TIF_COMPRESS_PACKBITS, TIF_ORDER_BIG_ENDIAN},
                      // Compressions that cannot be written are saved again uncompressed.
                      NameCase{"Deflate", 8, 0x4D4D, "TIFF (Deflate圧縮, Macintosh形式)",
                               TIF_COMPRESS_NONE, TIF_ORDER_BIG_ENDIAN},
                      NameCase{"AdobeDeflate", 32946, 0x4949, "TIFF (Deflate圧縮, IBM PC形式)",
                               TIF_COMPRESS_NONE, TIF_ORDER_LITTLE_ENDIAN},
                      NameCase{"Jpeg", 7, 0x4949, "TIFF (JPEG圧縮, IBM PC形式)", TIF_COMPRESS_NONE,
                               TIF_ORDER_LITTLE_ENDIAN},
                      NameCase{"Other", 34925, 0x4949, "TIFF (その他の圧縮, IBM PC形式)",
                               TIF_COMPRESS_NONE, TIF_ORDER_LITTLE_ENDIAN}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TiffTest, NamesOfOtherFormatsGiveTheDefaults) {
  for (const char* name : {"", "FITS", "PNG", "JPEG (ﾌﾟﾛｸﾞﾚｯｼﾌﾞ)"}) {
    EXPECT_EQ(CTiff::GetCompressionType(name), TIF_COMPRESS_NONE) << name;
    EXPECT_EQ(CTiff::GetByteOrderType(name), TIF_ORDER_LITTLE_ENDIAN) << name;
  }
}

// ---------------------------------------------------------------- round trips

struct RoundTrip {
  int bits;
  int planes;
  int compression;
  int order;
};

const int kTags[] = {1, 5, 32773};

class TiffRoundTripTest : public TiffTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(TiffRoundTripTest, WritesAndReadsBackTheSamePixels) {
  const RoundTrip& c = GetParam();
  CImage written(c.bits, 61, 157, c.planes, 1.0, 0.0, 0);  // several strips
  FillPattern(written);
  const std::string path = dir_.File("round.tif");
  ASSERT_EQ(CTiff::Write(written, path, c.compression, c.order), FIO_OK);

  const std::string bytes = ReadFileOrEmpty(path);
  EXPECT_EQ(bytes.substr(0, 2), c.order == TIF_ORDER_BIG_ENDIAN ? "MM" : "II");

  CImage read;
  ASSERT_EQ(CTiff::Read(read, path), FIO_OK);
  EXPECT_EQ(read.GetBitsPixel(), c.bits);
  EXPECT_EQ(read.IsSigned(), 0);
  EXPECT_EQ(read.GetPlanes(), c.planes);
  EXPECT_EQ(read.GetDimension(), c.planes == 1 ? 2 : 3);
  EXPECT_EQ(read.GetBscale(), 1.0);
  EXPECT_EQ(read.GetBzero(), 0.0);
  EXPECT_TRUE(SameSamples(Samples(read), Samples(written)));

  const std::string text = read.GetOrgFileFormat();
  EXPECT_EQ(text, CTiff::GetFileFormatString(kTags[c.compression],
                                             c.order == TIF_ORDER_BIG_ENDIAN ? 0x4D4D : 0x4949));
  EXPECT_EQ(CTiff::GetCompressionType(text), c.compression);
  EXPECT_EQ(CTiff::GetByteOrderType(text), c.order);
  EXPECT_EQ(read.GetOrgFileName(), path);
  EXPECT_EQ(read.GetOrgBitsPixel(), c.bits);
  EXPECT_EQ(read.GetOrgPlanes(), c.planes);
  EXPECT_EQ(read.GetOrgWidth(), 61);
  EXPECT_EQ(read.GetOrgHeight(), 157);
  EXPECT_EQ(read.IsSaveableFormat(), 1);
  EXPECT_EQ(read.IsSaveableFile(), 1);
  EXPECT_EQ(read.HasOwnLevel(), 0);
  for (int p = 0; p < c.planes; ++p) {
    double lo, hi;
    ASSERT_TRUE(written.GetMinMax(p, &lo, &hi));
    EXPECT_EQ(read.GetLevelMin(p), lo);
    EXPECT_EQ(read.GetLevelMax(p), hi);
  }

  // Another reader finds the same samples in the file.
  if (!HaveMagick())
    GTEST_SKIP() << "ImageMagick is missing (install imagemagick): the file was not checked "
                    "with another reader";
  Raster other;
  ASSERT_TRUE(MagickDecode(path, 61, 157, c.planes, c.bits, &other));
  EXPECT_TRUE(SameSamples(other, Samples(written)));
}

std::vector<RoundTrip> RoundTrips() {
  std::vector<RoundTrip> out;
  for (int bits : {8, 16})
    for (int planes : {1, 3})
      for (int compression : {TIF_COMPRESS_NONE, TIF_COMPRESS_LZW, TIF_COMPRESS_PACKBITS})
        for (int order : {TIF_ORDER_LITTLE_ENDIAN, TIF_ORDER_BIG_ENDIAN})
          out.push_back({bits, planes, compression, order});
  return out;
}

std::string RoundTripName(const ::testing::TestParamInfo<RoundTrip>& info) {
  const RoundTrip& c = info.param;
  static const char* const kNames[] = {"None", "Lzw", "PackBits"};
  return std::string(c.planes == 1 ? "Grey" : "Rgb") + std::to_string(c.bits) +
         kNames[c.compression] + (c.order == TIF_ORDER_BIG_ENDIAN ? "Big" : "Little");
}

INSTANTIATE_TEST_SUITE_P(Options, TiffRoundTripTest, ::testing::ValuesIn(RoundTrips()),
                         RoundTripName);

TEST_F(TiffTest, CompressionShrinksARepetitivePicture) {
  CImage image(8, 200, 200, 1, 1.0, 0.0, 0);
  for (int y = 0; y < 200; ++y) {
    auto* row = static_cast<std::uint8_t*>(image.GetImageAdr(0, y));
    for (int x = 0; x < 200; ++x) row[x] = static_cast<std::uint8_t>(x / 20 * 20);
  }
  for (int c : {TIF_COMPRESS_NONE, TIF_COMPRESS_LZW, TIF_COMPRESS_PACKBITS})
    ASSERT_EQ(CTiff::Write(image, dir_.File(std::to_string(c) + ".tif"), c, 0), FIO_OK);
  const auto none = std::filesystem::file_size(dir_.File("0.tif"));
  EXPECT_LT(std::filesystem::file_size(dir_.File("1.tif")) * 4, none);
  EXPECT_LT(std::filesystem::file_size(dir_.File("2.tif")) * 4, none);
}

// ---------------------------------------------------------------- files made by other programs

// Debian ships no TIFF test images (libsixel's snake.tiff is a JPEG file), so the kinds
// are made from the PNG suite and libsixel's pictures by ImageMagick and libtiff's tools.
struct Made {
  const char* name;
  std::string source;
  std::vector<std::vector<std::string>> steps;  // "IN" and "OUT" stand for the files
  int planes;
  int bits;
  int tag;  // Compression tag of the result
  bool bigEndian;
  // ImageMagick scales a 16-bit colour map to 8 bits by rounding where libtiff and
  // Pillow take the high byte; palette files are compared with Pillow.
  bool pillow = false;
};

const std::string kConvert = "/usr/bin/convert";
const std::string kTiffcp = "/usr/bin/tiffcp";
const std::string kTiffset = "/usr/bin/tiffset";

std::vector<std::string> Cp(std::vector<std::string> options) {
  std::vector<std::string> argv = {kTiffcp};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("IN");
  argv.push_back("OUT");
  return argv;
}

std::vector<Made> MadeFiles() {
  const std::string snake = kImages + "/snake.png";
  const std::string grey16 = kSuite + "/basic/basn0g16.png";
  const std::string rgb16 = kSuite + "/basic/basn2c16.png";
  const std::string grey8 = kImages + "/snake-grayscale.png";
  const std::vector<std::string> toTiff = {kConvert, "IN", "-compress", "none", "OUT"};
  return {
      {"Rgb8LzwLittle",
       snake,
       {{kConvert, "IN", "-compress", "lzw", "-endian", "LSB", "OUT"}},
       3,
       8,
       5,
       false},
      {"Rgb8PackBitsBig", snake, {toTiff, Cp({"-c", "packbits", "-B"})}, 3, 8, 32773, true},
      {"Rgb8Tiles",
       snake,
       {toTiff, Cp({"-t", "-w", "64", "-l", "48", "-c", "lzw"})},
       3,
       8,
       5,
       false},
      {"Rgb8PlanarStrips", snake, {toTiff, Cp({"-p", "separate", "-B"})}, 3, 8, 1, true},
      {"Rgb8PlanarTiles",
       snake,
       {toTiff, Cp({"-p", "separate", "-t", "-w", "32", "-l", "32", "-c", "packbits"})},
       3,
       8,
       32773,
       false},
      {"Rgb8OneStrip", snake, {toTiff, Cp({"-s", "-r", "100000"})}, 3, 8, 1, false},
      {"Rgb8Deflate", snake, {toTiff, Cp({"-c", "zip"})}, 3, 8, 8, false},
      {"Grey8Lzw", grey8, {{kConvert, "IN", "-compress", "lzw", "OUT"}}, 1, 8, 5, false},
      {"Grey8MinIsWhite",
       grey8,
       {{kConvert, "IN", "-define", "tiff:photometric=min-is-white", "-compress", "none", "OUT"}},
       1,
       8,
       1,
       false},
      {"Grey16Big",
       grey16,
       {{kConvert, "IN", "-depth", "16", "-compress", "none", "-define", "tiff:endian=msb", "OUT"}},
       1,
       16,
       1,
       true},
      {"Grey16TilesLzw",
       grey16,
       {{kConvert, "IN", "-depth", "16", "-compress", "none", "OUT"},
        Cp({"-t", "-w", "16", "-l", "16", "-c", "lzw", "-B"})},
       1,
       16,
       5,
       true},
      {"Rgb16PackBits",
       rgb16,
       {{kConvert, "IN", "-depth", "16", "-compress", "none", "OUT"}, Cp({"-c", "packbits"})},
       3,
       16,
       32773,
       false},
      {"Rgb16PlanarLzwBig",
       rgb16,
       {{kConvert, "IN", "-depth", "16", "-interlace", "plane", "-compress", "lzw", "-define",
         "tiff:endian=msb", "OUT"}},
       3,
       16,
       5,
       true},
      {"RgbaDropsAlpha",
       kSuite + "/basic/basn6a08.png",
       {{kConvert, "IN", "-compress", "lzw", "OUT"}},
       3,
       8,
       5,
       false},
      {"Palette",
       snake,
       {{kConvert, "IN", "-colors", "64", "-type", "palette", "-compress", "lzw", "OUT"}},
       3,
       8,
       5,
       false,
       true},
      {"Rgb8JpegYCbCr", snake, {toTiff, Cp({"-c", "jpeg:90", "-r", "16"})}, 3, 8, 7, false},
      {"Grey4",
       grey8,
       {{kConvert, "IN", "-depth", "4", "-compress", "none", "OUT"}},
       1,
       8,
       1,
       false},
      {"Bilevel",
       grey8,
       {{kConvert, "IN", "-monochrome", "-compress", "none", "OUT"}},
       1,
       8,
       1,
       false},
  };
}

class TiffMadeFileTest : public TiffTest, public ::testing::WithParamInterface<Made> {
 protected:
  // Runs the steps; empty with the reason when something is missing.
  std::string Make(const Made& m, std::string* why) {
    if (!std::filesystem::exists(m.source)) {
      *why = m.source + " is missing: install libsixel-examples";
      return {};
    }
    for (const std::string& tool : {kConvert, kTiffcp, kTiffset})
      if (!IsExecutable(tool)) {
        *why = tool + " is missing: install imagemagick and libtiff-tools";
        return {};
      }
    std::string in = m.source;
    for (std::size_t i = 0; i < m.steps.size(); ++i) {
      const std::string out = dir_.File("step" + std::to_string(i) + ".tif");
      std::vector<std::string> argv = m.steps[i];
      for (std::string& a : argv) a = a == "IN" ? in : a == "OUT" ? out : a;
      if (!RunTool(argv)) {
        ADD_FAILURE() << "step " << i << " of " << m.name << " failed";
        return {};
      }
      in = out;
    }
    return in;
  }
};

TEST_P(TiffMadeFileTest, ReadsTheValuesImageMagickReads) {
  const Made& m = GetParam();
  std::string why;
  const std::string path = Make(m, &why);
  if (path.empty() && !why.empty()) GTEST_SKIP() << why;
  ASSERT_FALSE(path.empty());
  CImage image;
  ASSERT_EQ(CTiff::Read(image, path), FIO_OK);
  EXPECT_EQ(image.GetPlanes(), m.planes);
  EXPECT_EQ(image.GetBitsPixel(), m.bits);
  EXPECT_EQ(image.GetOrgFileFormat(),
            CTiff::GetFileFormatString(m.tag, m.bigEndian ? 0x4D4D : 0x4949));
  Raster expected;
  if (m.pillow) {
    if (!HavePillow()) GTEST_SKIP() << "Pillow is missing: install python3-pil";
    ASSERT_TRUE(PillowDecode(path, image.GetWidth(), image.GetHeight(), m.planes, &expected));
  } else {
    ASSERT_TRUE(
        MagickDecode(path, image.GetWidth(), image.GetHeight(), m.planes, m.bits, &expected));
  }
  EXPECT_TRUE(SameSamples(Samples(image), expected));
}

INSTANTIATE_TEST_SUITE_P(Kinds, TiffMadeFileTest, ::testing::ValuesIn(MadeFiles()),
                         [](const auto& info) { return std::string(info.param.name); });

class TiffOrientationTest : public TiffTest, public ::testing::WithParamInterface<int> {};

TEST_P(TiffOrientationTest, RowZeroIsTheTopOfThePicture) {
  if (!HaveMagick() || !IsExecutable(kTiffset))
    GTEST_SKIP() << "ImageMagick or libtiff's tools are missing: install imagemagick and "
                    "libtiff-tools";
  for (int planes : {1, 3}) {
    const std::string path = Written("o.tif", 16, planes, TIF_COMPRESS_LZW, 1, 23, 9);
    ASSERT_TRUE(RunTool({kTiffset, "-s", "274", std::to_string(GetParam()), path}));
    CImage image;
    ASSERT_EQ(CTiff::Read(image, path), FIO_OK);
    const bool turned = GetParam() >= 5;
    EXPECT_EQ(image.GetWidth(), turned ? 9 : 23);
    EXPECT_EQ(image.GetHeight(), turned ? 23 : 9);
    EXPECT_EQ(image.GetOrgWidth(), image.GetWidth());
    Raster expected;
    ASSERT_TRUE(MagickDecode(path, image.GetWidth(), image.GetHeight(), planes, 16, &expected,
                             {"-auto-orient"}));
    EXPECT_TRUE(SameSamples(Samples(image), expected)) << "orientation " << GetParam();
  }
}

INSTANTIATE_TEST_SUITE_P(Tags, TiffOrientationTest, ::testing::Range(1, 9));

// ---------------------------------------------------------------- damaged and hostile files

// A little-endian TIFF of one strip from directory entries (tag, type, value), each with
// one value, followed by the strip's bytes.
std::string HandMade(std::vector<std::tuple<int, int, std::uint32_t>> entries,
                     const std::string& strip) {
  auto le = [](std::uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i));
    return s;
  };
  const std::uint32_t ifd = 8;
  const std::uint32_t data = ifd + 2 + 12 * (static_cast<std::uint32_t>(entries.size()) + 2) + 4;
  entries.push_back({273, 4, data});                                      // StripOffsets
  entries.push_back({279, 4, static_cast<std::uint32_t>(strip.size())});  // StripByteCounts
  std::sort(entries.begin(), entries.end());
  std::string out =
      "II*" + std::string(1, '\0') + le(ifd, 4) + le(static_cast<std::uint32_t>(entries.size()), 2);
  for (auto [tag, type, value] : entries)
    out += le(static_cast<std::uint32_t>(tag), 2) + le(static_cast<std::uint32_t>(type), 2) +
           le(1, 4) + le(value, type == 3 ? 2 : 4) + (type == 3 ? std::string(2, '\0') : "");
  out += le(0, 4);
  return out + strip;
}

std::vector<std::tuple<int, int, std::uint32_t>> Entries(std::uint32_t w, std::uint32_t h, int bits,
                                                         int samples, int compression,
                                                         int format = 1) {
  return {{256, 4, w},
          {257, 4, h},
          {258, 3, static_cast<std::uint32_t>(bits)},
          {259, 3, static_cast<std::uint32_t>(compression)},
          {262, 3, samples == 3 ? 2u : 1u},
          {277, 3, static_cast<std::uint32_t>(samples)},
          {278, 4, h},
          {339, 3, static_cast<std::uint32_t>(format)}};
}

TEST_F(TiffTest, AHandMadeFileIsRead) {
  // The builder itself must make a valid file for the refusals below to mean anything.
  const std::string path =
      Put("hand.tif", HandMade(Entries(3, 2, 8, 1, 1), std::string("\x01\x02\x03\x04\x05\x06", 6)));
  CImage image;
  ASSERT_EQ(CTiff::Read(image, path), FIO_OK);
  EXPECT_EQ(image.GetPixel(2, 1), 6.0);
}

TEST_F(TiffTest, AHeaderClaimingMorePixelsThanTheFileHoldsIsRefusedBeforeAllocating) {
  CImage image;
  // Uncompressed: the file is shorter than its data.
  EXPECT_EQ(CTiff::Read(image, Put("huge.tif", HandMade(Entries(100000, 100000, 16, 3, 1),
                                                        std::string(64, '\0')))),
            FIO_ERR_SHORT);
  EXPECT_TRUE(image.IsEmpty());
  // Compressed: no LZW or PackBits stream of 64 bytes holds 60 GB.
  for (int compression : {5, 32773, 8}) {
    EXPECT_EQ(
        CTiff::Read(image, Put("huge.tif", HandMade(Entries(100000, 100000, 16, 3, compression),
                                                    std::string(64, '\0')))),
        FIO_ERR_FORMAT)
        << compression;
    EXPECT_TRUE(image.IsEmpty());
  }
  // The header alone describes the image without allocating it.
  EXPECT_EQ(CTiff::ReadHeader(image, dir_.File("huge.tif")), FIO_OK);
  EXPECT_EQ(image.GetWidth(), 100000);
  EXPECT_TRUE(image.IsEmpty());
}

TEST_F(TiffTest, SamplesThatAreNotUnsignedIntegersOfEightOrSixteenBitsAreRefused) {
  const std::string strip(256, '\0');
  CImage image;
  EXPECT_EQ(CTiff::Read(image, Put("f.tif", HandMade(Entries(4, 4, 32, 1, 1, 3), strip))),
            FIO_ERR_FORMAT);
  EXPECT_EQ(CTiff::Read(image, Put("s.tif", HandMade(Entries(4, 4, 16, 1, 1, 2), strip))),
            FIO_ERR_FORMAT);
  EXPECT_EQ(CTiff::Read(image, Put("i.tif", HandMade(Entries(4, 4, 32, 1, 1, 1), strip))),
            FIO_ERR_FORMAT);
}

TEST_F(TiffTest, EveryTruncationGivesTheShortCode) {
  for (int compression : {TIF_COMPRESS_NONE, TIF_COMPRESS_LZW}) {
    const std::string whole =
        ReadFileOrEmpty(Written("whole.tif", 8, 3, compression, TIF_ORDER_BIG_ENDIAN));
    ASSERT_GT(whole.size(), 500u);
    for (std::size_t n = 0; n < whole.size(); n += 97) {
      CImage image;
      EXPECT_EQ(CTiff::Read(image, Put("cut.tif", Truncated(whole, n))), FIO_ERR_SHORT)
          << "cut at " << n << " of " << whole.size();
    }
  }
}

TEST_F(TiffTest, FlippedBytesGiveACodeOrAPictureAndNeverACrash) {
  for (int compression : {TIF_COMPRESS_LZW, TIF_COMPRESS_PACKBITS}) {
    const std::string whole =
        ReadFileOrEmpty(Written("whole.tif", 16, 3, compression, TIF_ORDER_LITTLE_ENDIAN, 20, 40));
    int refused = 0;
    for (std::size_t at = 0; at < whole.size(); ++at) {
      CImage image;
      const int rc = CTiff::Read(image, Put("flip.tif", Flipped(whole, at)));
      EXPECT_TRUE(rc == FIO_OK || rc == FIO_ERR_FORMAT || rc == FIO_ERR_SHORT)
          << "byte " << at << " gave " << rc;
      if (rc != FIO_OK) {
        ++refused;
      } else {
        EXPECT_FALSE(image.IsEmpty());
      }
    }
    EXPECT_GT(refused, 0);
  }
}

TEST_F(TiffTest, FilesThatCannotBeReadGiveTheirCodes) {
  CImage image;
  EXPECT_EQ(CTiff::Read(image, dir_.File("none.tif")), FIO_ERR_OPEN);
  EXPECT_EQ(CTiff::Read(image, dir_.path()), FIO_ERR_FOLDER);
  EXPECT_EQ(CTiff::Read(image, Put("empty.tif", "")), FIO_ERR_SHORT);
  EXPECT_EQ(CTiff::Read(image, Put("start.tif", "MM")), FIO_ERR_SHORT);
  EXPECT_EQ(CTiff::Read(image, Put("png.tif", "\x89PNG\r\n\x1a\n0000")), FIO_ERR_FORMAT);
  const std::string snake = kImages + "/snake.tiff";  // a JPEG file under a TIFF name
  if (std::filesystem::exists(snake)) {
    EXPECT_EQ(CTiff::Read(image, snake), FIO_ERR_FORMAT);
  }
}

TEST_F(TiffTest, ReadHeaderDescribesTheFileWithoutPixels) {
  const std::string path = Written("h.tif", 16, 3, TIF_COMPRESS_PACKBITS, TIF_ORDER_BIG_ENDIAN);
  CImage image;
  ASSERT_EQ(CTiff::ReadHeader(image, path), FIO_OK);
  EXPECT_TRUE(image.IsEmpty());
  EXPECT_EQ(image.GetWidth(), 61);
  EXPECT_EQ(image.GetHeight(), 157);
  EXPECT_EQ(image.GetPlanes(), 3);
  EXPECT_EQ(image.GetBitsPixel(), 16);
  EXPECT_EQ(image.GetOrgFileFormat(), "TIFF (Packbits圧縮, Macintosh形式)");
}

TEST_F(TiffTest, ReadingAndWritingReportProgress) {
  CImage image(8, 30, 40, 1, 1.0, 0.0, 0);
  FillPattern(image);
  RecordingProgress writing;
  ASSERT_EQ(CTiff::Write(image, dir_.File("p.tif"), 1, 0, &writing, "ファイルの保存中..."), FIO_OK);
  RecordingProgress reading;
  CImage read;
  ASSERT_EQ(CTiff::Read(read, dir_.File("p.tif"), &reading, "ファイルの読み込み中..."), FIO_OK);
  for (const RecordingProgress* p : {&writing, &reading}) {
    ASSERT_GE(p->events.size(), 3u);
    EXPECT_EQ(p->events.front().kind, RecordingProgress::Kind::kBegin);
    EXPECT_EQ(p->events[p->events.size() - 2].percent, 100);
    EXPECT_EQ(p->events.back().kind, RecordingProgress::Kind::kEnd);
  }
  EXPECT_EQ(writing.events.front().caption, "ファイルの保存中...");
}

// ---------------------------------------------------------------- writing

struct Refusal {
  const char* name;
  int bits;
  int planes;
  int isSigned;
  int compression;
  int order;
};

class TiffRefusalTest : public TiffTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(TiffRefusalTest, IsRefusedAndWritesNothing) {
  const Refusal& c = GetParam();
  CImage image(c.bits, 4, 4, c.planes, 1.0, 0.0, c.isSigned);
  EXPECT_EQ(CTiff::Write(image, dir_.File("no.tif"), c.compression, c.order), FIO_ERR_FORMAT);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

INSTANTIATE_TEST_SUITE_P(Cases, TiffRefusalTest,
                         ::testing::Values(Refusal{"Float", -32, 1, 1, 0, 0},
                                           Refusal{"Int32", 32, 1, 0, 0, 0},
                                           Refusal{"Signed16", 16, 1, 1, 0, 0},
                                           Refusal{"TwoPlanes", 8, 2, 0, 0, 0},
                                           Refusal{"CompressionThree", 8, 1, 0, 3, 0},
                                           Refusal{"CompressionTag", 8, 1, 0, 5, 0},
                                           Refusal{"ByteOrderTwo", 8, 3, 0, 0, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TiffTest, AnEmptyImageIsRefused) {
  CImage empty;
  EXPECT_EQ(CTiff::Write(empty, dir_.File("e.tif"), 0, 0), FIO_ERR_FORMAT);
}

int FailRename(const char* stage) {
  return std::string(stage) == "rename" ? EIO : 0;
}
int FailSync(const char* stage) {
  return std::string(stage) == "sync" ? ENOSPC : 0;
}

TEST_F(TiffTest, AFailedSaveLeavesTheOldFileAsItWas) {
  const std::string path = Written("keep.tif", 8, 1, TIF_COMPRESS_LZW, 0);
  const std::string before = ReadFileOrEmpty(path);
  CImage other(16, 5, 5, 3, 1.0, 0.0, 0);
  FillPattern(other);
  for (SaveFaultHook hook : {FailRename, FailSync}) {
    SetSaveFaultHook(hook);
    const int rc = CTiff::Write(other, path, TIF_COMPRESS_NONE, TIF_ORDER_BIG_ENDIAN);
    SetSaveFaultHook(nullptr);
    EXPECT_EQ(rc, FIO_ERR_WRITE);
    EXPECT_EQ(ReadFileOrEmpty(path), before);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(TiffTest, AFolderThatDoesNotExistCannotBeCreated) {
  CImage image(8, 4, 4, 1, 1.0, 0.0, 0);
  FillPattern(image);
  EXPECT_EQ(CTiff::Write(image, dir_.File("missing/a.tif"), 0, 0), FIO_ERR_CREATE);
}

}  // namespace

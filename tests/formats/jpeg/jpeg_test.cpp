#include "formats/jpeg/jpegfile.h"

#include <gtest/gtest.h>

// jpeglib.h needs size_t and FILE declared before it.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "imagemodel/image.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "tests/formats/png/raster_test_support.h"
#include "tests/support/temp_dir.h"

using namespace raster_test;

namespace {

const std::string kImages = "/usr/share/doc/libsixel-examples/examples/images";

class JpegTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, const std::string& bytes) {
    std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  std::string Written(const std::string& name, int planes, int quality, int progressive) {
    CImage image(8, 64, 48, planes, 1.0, 0.0, 0);
    FillSmooth(image);
    const std::string path = dir_.File(name);
    EXPECT_EQ(CJpeg::Write(image, path, quality, progressive), FIO_OK);
    return path;
  }

  ScopedConfigHome home_;
  TempDir dir_;
};

struct Error {
  double mean = 0;
  int max = 0;
};
Error Compare(const Raster& a, const Raster& b) {
  Error e;
  for (std::size_t i = 0; i < a.samples.size(); ++i) {
    const int d = std::abs(static_cast<int>(a.samples[i]) - static_cast<int>(b.samples[i]));
    e.mean += d;
    e.max = std::max(e.max, d);
  }
  e.mean /= static_cast<double>(a.samples.size());
  return e;
}

// ---------------------------------------------------------------- round trips

struct RoundTrip {
  int planes;
  int quality;
  int progressive;
  double meanError;  // bound on the mean absolute difference of a smooth picture
  int maxError;      // and on the largest one
};

class JpegRoundTripTest : public JpegTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(JpegRoundTripTest, ReadsBackWithinTheLossOfItsQuality) {
  const RoundTrip& c = GetParam();
  for (auto [w, h] : {std::pair{64, 48}, {37, 23}, {1, 1}}) {
    CImage written(8, w, h, c.planes, 1.0, 0.0, 0);
    FillSmooth(written);
    const std::string path = dir_.File("round.jpg");
    ASSERT_EQ(CJpeg::Write(written, path, c.quality, c.progressive), FIO_OK);

    CImage read;
    ASSERT_EQ(CJpeg::Read(read, path), FIO_OK);
    ASSERT_EQ(read.GetWidth(), w);
    ASSERT_EQ(read.GetHeight(), h);
    ASSERT_EQ(read.GetPlanes(), c.planes);
    EXPECT_EQ(read.GetBitsPixel(), 8);
    EXPECT_EQ(read.GetDimension(), c.planes == 1 ? 2 : 3);
    const Error e = Compare(Samples(read), Samples(written));
    EXPECT_LE(e.mean, c.meanError) << w << "x" << h;
    EXPECT_LE(e.max, c.maxError) << w << "x" << h;

    EXPECT_EQ(read.GetOrgFileFormat(),
              c.progressive ? kJpegProgressiveFormatText : kJpegFormatText);
    EXPECT_EQ(CJpeg::GetProgressiveMode(read.GetOrgFileFormat()), c.progressive);
    EXPECT_EQ(read.GetOrgBitsPixel(), 8);
    EXPECT_EQ(read.GetOrgPlanes(), c.planes);
    EXPECT_EQ(read.GetOrgWidth(), w);
    EXPECT_EQ(read.GetOrgHeight(), h);
    EXPECT_EQ(read.IsSaveableFormat(), 1);

    // Another decoder sees exactly the same pixels in the file.
    if (HavePillow()) {
      Raster other;
      ASSERT_TRUE(PillowDecode(path, w, h, c.planes, &other));
      EXPECT_TRUE(SameSamples(Samples(read), other));
    }
  }
  if (!HavePillow())
    GTEST_SKIP() << "Pillow is missing (install python3-pil): the file was not "
                    "checked with another decoder";
}

INSTANTIATE_TEST_SUITE_P(
    Options, JpegRoundTripTest,
    ::testing::Values(RoundTrip{1, 100, 0, 0.6, 3}, RoundTrip{1, 100, 1, 0.6, 3},
                      RoundTrip{1, 90, 0, 1.0, 4}, RoundTrip{1, 70, 1, 2.0, 8},
                      RoundTrip{1, 10, 0, 6.0, 30}, RoundTrip{3, 100, 0, 1.0, 4},
                      RoundTrip{3, 100, 1, 1.0, 4}, RoundTrip{3, 90, 1, 1.5, 6},
                      RoundTrip{3, 70, 0, 2.5, 10}, RoundTrip{3, 10, 1, 8.0, 40}),
    [](const auto& info) {
      return std::string(info.param.planes == 1 ? "Grey" : "Rgb") + "Quality" +
             std::to_string(info.param.quality) + (info.param.progressive ? "Progressive" : "");
    });

TEST_F(JpegTest, LowerQualityWritesSmallerFiles) {
  CImage image(8, 256, 192, 3, 1.0, 0.0, 0);
  FillPattern(image);
  ASSERT_EQ(CJpeg::Write(image, dir_.File("q10.jpg"), 10, 0), FIO_OK);
  ASSERT_EQ(CJpeg::Write(image, dir_.File("q100.jpg"), 100, 0), FIO_OK);
  EXPECT_LT(std::filesystem::file_size(dir_.File("q10.jpg")) * 3,
            std::filesystem::file_size(dir_.File("q100.jpg")));
}

TEST_F(JpegTest, ReadHeaderGivesTheProgressiveModeWithoutPixels) {
  for (int progressive : {0, 1}) {
    const std::string path = Written("h.jpg", 3, 75, progressive);
    CImage image;
    int mode = -1;
    ASSERT_EQ(CJpeg::ReadHeader(image, path, &mode), FIO_OK);
    EXPECT_EQ(mode, progressive);
    EXPECT_TRUE(image.IsEmpty());
    EXPECT_EQ(image.GetWidth(), 64);
    EXPECT_EQ(image.GetHeight(), 48);
    EXPECT_EQ(image.GetPlanes(), 3);
    EXPECT_EQ(image.GetOrgFileFormat(), progressive ? kJpegProgressiveFormatText : kJpegFormatText);
  }
}

TEST_F(JpegTest, FormatNamesGiveTheProgressiveMode) {
  EXPECT_EQ(CJpeg::GetProgressiveMode("JPEG (ﾌﾟﾛｸﾞﾚｯｼﾌﾞ)"), 1);
  EXPECT_EQ(CJpeg::GetProgressiveMode("JPEG"), 0);
  EXPECT_EQ(CJpeg::GetProgressiveMode("FITS"), 0);
  EXPECT_EQ(CJpeg::GetProgressiveMode(""), 0);
}

// ---------------------------------------------------------------- real files

struct RealFile {
  const char* name;
  const char* file;
  int planes;
  int progressive;
};

class JpegRealFileTest : public JpegTest, public ::testing::WithParamInterface<RealFile> {};

TEST_P(JpegRealFileTest, ReadsTheValuesPillowReads) {
  const RealFile& c = GetParam();
  const std::string path = kImages + "/" + c.file;
  if (!std::filesystem::exists(path))
    GTEST_SKIP() << path << " is missing: install libsixel-examples";
  if (!HavePillow()) GTEST_SKIP() << "Pillow is missing: install python3-pil";
  CImage image;
  ASSERT_EQ(CJpeg::Read(image, path), FIO_OK);
  EXPECT_EQ(image.GetPlanes(), c.planes);
  EXPECT_EQ(CJpeg::GetProgressiveMode(image.GetOrgFileFormat()), c.progressive);
  Raster expected;
  ASSERT_TRUE(PillowDecode(path, image.GetWidth(), image.GetHeight(), c.planes, &expected));
  EXPECT_TRUE(SameSamples(Samples(image), expected));
  double lo, hi;
  ASSERT_TRUE(image.GetMinMax(0, &lo, &hi));
  EXPECT_EQ(image.GetLevelMin(0), lo);
  EXPECT_EQ(image.GetLevelMax(0), hi);
}

INSTANTIATE_TEST_SUITE_P(Files, JpegRealFileTest,
                         ::testing::Values(RealFile{"Snake", "snake.jpg", 3, 0},
                                           RealFile{"SnakeGrey", "snake-grayscale.jpg", 1, 0},
                                           RealFile{"SnakeProgressive", "snake-progressive.jpg", 3,
                                                    1},
                                           RealFile{"Egret", "egret.jpg", 3, 0},
                                           // A JPEG file under a TIFF name.
                                           RealFile{"SnakeTiffName", "snake.tiff", 3, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- damaged and hostile files

TEST_F(JpegTest, EveryTruncationGivesTheShortCode) {
  for (int progressive : {0, 1}) {
    const std::string whole = ReadFileOrEmpty(Written("whole.jpg", 3, 90, progressive));
    ASSERT_GT(whole.size(), 200u);
    // The last two bytes are the end marker, which the reader does without.
    for (std::size_t n = 0; n + 2 < whole.size(); n += 5) {
      CImage image;
      EXPECT_EQ(CJpeg::Read(image, Put("cut.jpg", Truncated(whole, n))), FIO_ERR_SHORT)
          << "cut at " << n << (progressive ? " (progressive)" : "");
    }
  }
}

TEST_F(JpegTest, FlippedBytesGiveACodeOrAPictureAndNeverACrash) {
  const std::string whole = ReadFileOrEmpty(Written("whole.jpg", 3, 90, 1));
  int refused = 0;
  for (std::size_t at = 0; at < whole.size(); ++at) {
    CImage image;
    const int rc = CJpeg::Read(image, Put("flip.jpg", Flipped(whole, at)));
    // Damaged entropy-coded data still decodes, to a damaged picture, as other readers do.
    EXPECT_TRUE(rc == FIO_OK || rc == FIO_ERR_FORMAT || rc == FIO_ERR_SHORT)
        << "byte " << at << " gave " << rc;
    if (rc != FIO_OK) {
      ++refused;
    } else {
      EXPECT_FALSE(image.IsEmpty());
    }
  }
  EXPECT_GT(refused, 0);
  CImage image;
  EXPECT_EQ(CJpeg::Read(image, Put("soi.jpg", Flipped(whole, 1))), FIO_ERR_FORMAT);
}

// Offset of the frame header's height in a baseline or progressive file.
std::size_t FrameSizeOffset(const std::string& bytes) {
  for (std::size_t i = 2; i + 9 < bytes.size(); ++i)
    if (static_cast<unsigned char>(bytes[i]) == 0xFF &&
        (static_cast<unsigned char>(bytes[i + 1]) == 0xC0 ||
         static_cast<unsigned char>(bytes[i + 1]) == 0xC2))
      return i + 5;
  return 0;
}

TEST_F(JpegTest, AHeaderClaimingMorePixelsThanTheFileCanHoldIsRefusedBeforeAllocating) {
  for (int progressive : {0, 1}) {
    std::string bytes = ReadFileOrEmpty(Written("small.jpg", 3, 75, progressive));
    const std::size_t at = FrameSizeOffset(bytes);
    ASSERT_NE(at, 0u);
    bytes[at] = bytes[at + 2] = static_cast<char>(0xFD);  // 65000 × 65000
    bytes[at + 1] = bytes[at + 3] = static_cast<char>(0xE8);
    CImage image;
    EXPECT_EQ(CJpeg::Read(image, Put("huge.jpg", bytes)), FIO_ERR_SHORT);
    EXPECT_TRUE(image.IsEmpty());
    EXPECT_EQ(CJpeg::ReadHeader(image, dir_.File("huge.jpg")), FIO_OK);
    EXPECT_EQ(image.GetWidth(), 65000);
  }
}

// A four-component file, written with libjpeg itself.
std::string CmykFile(const std::string& path) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  jpeg_stdio_dest(&cinfo, f);
  cinfo.image_width = 8;
  cinfo.image_height = 8;
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<JSAMPLE> row(32, 100);
  JSAMPROW rows[1] = {row.data()};
  for (int y = 0; y < 8; ++y) jpeg_write_scanlines(&cinfo, rows, 1);
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::fclose(f);
  return path;
}

TEST_F(JpegTest, FilesThatCannotBeReadGiveTheirCodes) {
  CImage image;
  EXPECT_EQ(CJpeg::Read(image, dir_.File("none.jpg")), FIO_ERR_OPEN);
  EXPECT_EQ(CJpeg::Read(image, dir_.path()), FIO_ERR_FOLDER);
  EXPECT_EQ(CJpeg::Read(image, Put("empty.jpg", "")), FIO_ERR_SHORT);
  EXPECT_EQ(CJpeg::Read(image, Put("png.jpg", "\x89PNG\r\n\x1a\n0000")), FIO_ERR_FORMAT);
  EXPECT_EQ(CJpeg::Read(image, CmykFile(dir_.File("cmyk.jpg"))), FIO_ERR_FORMAT);
}

TEST_F(JpegTest, ReadingReportsProgressFromBeginToEnd) {
  const std::string path = Written("p.jpg", 1, 75, 1);
  RecordingProgress progress;
  CImage image;
  ASSERT_EQ(CJpeg::Read(image, path, &progress, "ファイルの読み込み中..."), FIO_OK);
  ASSERT_GE(progress.events.size(), 3u);
  EXPECT_EQ(progress.events.front().kind, RecordingProgress::Kind::kBegin);
  EXPECT_EQ(progress.events.front().caption, "ファイルの読み込み中...");
  EXPECT_EQ(progress.events[progress.events.size() - 2].percent, 100);
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
}

// ---------------------------------------------------------------- writing

struct Refusal {
  const char* name;
  int bits;
  int width;
  int planes;
  int quality;
};

class JpegRefusalTest : public JpegTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(JpegRefusalTest, IsRefusedAndWritesNothing) {
  const Refusal& c = GetParam();
  CImage image(c.bits, c.width, 2, c.planes, 1.0, 0.0, 0);
  const std::string path = dir_.File("no.jpg");
  EXPECT_EQ(CJpeg::Write(image, path, c.quality, 0), FIO_ERR_FORMAT);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegRefusalTest,
                         ::testing::Values(Refusal{"Sixteen", 16, 4, 1, 75},
                                           Refusal{"Float", -32, 4, 3, 75},
                                           Refusal{"TwoPlanes", 8, 4, 2, 75},
                                           Refusal{"QualityZero", 8, 4, 1, 0},
                                           Refusal{"QualityAbove100", 8, 4, 3, 101},
                                           Refusal{"TooWide", 8, 65501, 1, 75}),
                         [](const auto& info) { return std::string(info.param.name); });

int FailRename(const char* stage) {
  return std::string(stage) == "rename" ? EIO : 0;
}

TEST_F(JpegTest, AFailedSaveLeavesTheOldFileAsItWas) {
  const std::string path = Written("keep.jpg", 3, 75, 0);
  const std::string before = ReadFileOrEmpty(path);
  CImage other(8, 5, 5, 1, 1.0, 0.0, 0);
  FillSmooth(other);
  SetSaveFaultHook(FailRename);
  const int rc = CJpeg::Write(other, path, 75, 1);
  SetSaveFaultHook(nullptr);
  EXPECT_EQ(rc, FIO_ERR_WRITE);
  EXPECT_EQ(ReadFileOrEmpty(path), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(JpegTest, AFolderThatDoesNotExistCannotBeCreated) {
  CImage image(8, 4, 4, 1, 1.0, 0.0, 0);
  FillSmooth(image);
  EXPECT_EQ(CJpeg::Write(image, dir_.File("missing/a.jpg"), 75, 0), FIO_ERR_CREATE);
}

}  // namespace

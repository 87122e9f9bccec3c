#include "formats/gif/giffile.h"

#include <fcntl.h>
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "tests/formats/png/raster_test_support.h"
#include "tests/support/temp_dir.h"

using namespace raster_test;

namespace {

constexpr int kWidth = 40, kHeight = 30;

// Pillow writes a palette picture as GIF87a, or GIF89a when it carries a comment, and
// interlaced or not as asked.
bool PillowWrite(const std::string& path, bool gif89, bool interlace) {
  const std::string script =
      "import sys\n"
      "from PIL import Image\n"
      "w, h = 40, 30\n"
      "im = Image.new('P', (w, h))\n"
      "im.putpalette([(i * 37 + c * 85) % 256 for i in range(256) for c in range(3)])\n"
      "im.putdata([(x * 7 + y * 13 + x * y) % 256 for y in range(h) for x in range(w)])\n"
      "extra = {'comment': b'made by the test'} if sys.argv[2] == '1' else {}\n"
      "im.save(sys.argv[1], interlace=sys.argv[3] == '1', optimize=False, **extra)\n";
  return RunTool(
      {"/usr/bin/python3", "-c", script, path, gif89 ? "1" : "0", interlace ? "1" : "0"});
}

class GifTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
  TempDir dir_;
};

struct Variant {
  bool gif89;
  bool interlace;
};

class GifPillowTest : public GifTest, public ::testing::WithParamInterface<Variant> {};

TEST_P(GifPillowTest, ReadsAsPillowDoes) {
  if (!HavePillow()) GTEST_SKIP() << "Pillow not installed";
  const Variant& v = GetParam();
  const std::string path = dir_.File("in.gif");
  ASSERT_TRUE(PillowWrite(path, v.gif89, v.interlace));
  const std::string bytes = ReadFileOrEmpty(path);
  ASSERT_EQ(bytes.substr(0, 6), v.gif89 ? "GIF89a" : "GIF87a");

  CImage image;
  ASSERT_EQ(CGif::Read(image, path), FIO_OK);
  Raster oracle;
  ASSERT_TRUE(PillowDecode(path, kWidth, kHeight, 3, &oracle));
  EXPECT_TRUE(SameSamples(Samples(image), oracle));
  const int variant = (v.gif89 ? 2 : 0) + (v.interlace ? 1 : 0);
  EXPECT_EQ(image.GetOrgFileFormat(), CGif::GetTypeString(variant));
  EXPECT_EQ(CGif::GetType(image.GetOrgFileFormat()), variant);
  EXPECT_EQ(image.GetOrgBitsPixel(), 8);
  EXPECT_EQ(image.GetLevelMax(2), 255.0);
  EXPECT_EQ(image.HasOwnLevel(), 1);

  CImage header;
  ASSERT_EQ(CGif::ReadHeader(header, path), FIO_OK);
  EXPECT_EQ(header.GetWidth(), kWidth);
  EXPECT_EQ(header.GetOrgPlanes(), 3);

  // Damaged copies give a code or an image, never a crash.
  const std::string bad = dir_.File("bad.gif");
  for (std::size_t n = 0; n < bytes.size(); n += (n < 820 ? 7 : 1)) {
    WriteFileOrDie(bad, Truncated(bytes, n));
    CImage damaged;
    const int rc = CGif::Read(damaged, bad);
    EXPECT_TRUE(rc == FIO_OK || rc == FIO_ERR_FORMAT) << n << ": " << rc;
  }
  for (std::size_t at = 0; at < 14; ++at) {
    WriteFileOrDie(bad, Flipped(bytes, at));
    CImage damaged;
    (void)CGif::Read(damaged, bad);
    (void)CGif::ReadHeader(damaged, bad);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, GifPillowTest,
                         ::testing::Values(Variant{false, false}, Variant{false, true},
                                           Variant{true, false}, Variant{true, true}),
                         [](const auto& info) {
                           return std::string(info.param.gif89 ? "Gif89a" : "Gif87a") +
                                  (info.param.interlace ? "Interlaced" : "Plain");
                         });

// A screen of 10 × 8 in background colour 2 with an image of 4 × 2 at (2, 3), written with
// giflib itself.
TEST_F(GifTest, AnImageSmallerThanItsScreenLiesOnTheBackground) {
  const std::string path = dir_.File("small.gif");
  {
    int error = 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    GifFileType* gif = EGifOpenFileHandle(fd, &error);
    ASSERT_NE(gif, nullptr);
    GifColorType colours[4] = {{0, 0, 0}, {200, 100, 50}, {10, 20, 30}, {255, 255, 255}};
    ColorMapObject* map = GifMakeMapObject(4, colours);
    ASSERT_EQ(EGifPutScreenDesc(gif, 10, 8, 2, 2, map), GIF_OK);
    ASSERT_EQ(EGifPutImageDesc(gif, 2, 3, 4, 2, false, nullptr), GIF_OK);
    GifPixelType line[4] = {1, 1, 3, 1};
    ASSERT_EQ(EGifPutLine(gif, line, 4), GIF_OK);
    ASSERT_EQ(EGifPutLine(gif, line, 4), GIF_OK);
    GifFreeMapObject(map);
    ASSERT_EQ(EGifCloseFile(gif, &error), GIF_OK);
  }
  CImage image;
  ASSERT_EQ(CGif::Read(image, path), FIO_OK);
  ASSERT_EQ(image.GetWidth(), 10);
  ASSERT_EQ(image.GetHeight(), 8);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 10; ++x) {
      const bool inside = x >= 2 && x < 6 && y >= 3 && y < 5;
      const double want = !inside ? 10.0 : x == 4 ? 255.0 : 200.0;
      ASSERT_EQ(image.GetPixel(x, y, 0), want) << x << "," << y;
    }
  // The same image said to reach past the screen is refused.
  std::string bytes = ReadFileOrEmpty(path);
  const std::size_t desc = bytes.find(',');  // the image separator 0x2C
  ASSERT_NE(desc, std::string::npos);
  bytes[desc + 1] = 9;  // left 9: 9 + 4 > 10
  WriteFileOrDie(path, bytes);
  EXPECT_EQ(CGif::Read(image, path), FIO_ERR_FORMAT);
  EXPECT_EQ(CGif::ReadHeader(image, path), FIO_ERR_HEADER);
}

// A global map of two entries, the image's indices 0 … 3 and the screen's background
// index 3: an index at or beyond the size of the map has no colour there and reads as
// black. giflib writes the file with a map of four entries (its encoder keeps only the
// bits of the map's size of each index); the map is then cut to its first two entries
// in the bytes, the code size of the data (2 bits, the least there is) staying as it was.
TEST_F(GifTest, IndicesBeyondATwoEntryMapReadAsBlack) {
  const std::string path = dir_.File("two.gif");
  const GifColorType colours[4] = {{200, 100, 50}, {10, 20, 30}, {1, 2, 3}, {4, 5, 6}};
  {
    int error = 0;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    GifFileType* gif = EGifOpenFileHandle(fd, &error);
    ASSERT_NE(gif, nullptr);
    GifColorType copy[4] = {colours[0], colours[1], colours[2], colours[3]};
    ColorMapObject* map = GifMakeMapObject(4, copy);
    ASSERT_EQ(EGifPutScreenDesc(gif, 6, 3, 2, 3, map), GIF_OK);
    ASSERT_EQ(EGifPutImageDesc(gif, 1, 1, 4, 2, false, nullptr), GIF_OK);
    GifPixelType rows[2][4] = {{0, 1, 2, 3}, {3, 2, 1, 0}};
    ASSERT_EQ(EGifPutLine(gif, rows[0], 4), GIF_OK);
    ASSERT_EQ(EGifPutLine(gif, rows[1], 4), GIF_OK);
    GifFreeMapObject(map);
    ASSERT_EQ(EGifCloseFile(gif, &error), GIF_OK);
  }
  std::string bytes = ReadFileOrEmpty(path);
  ASSERT_GT(bytes.size(), 25u);
  ASSERT_EQ(bytes[10] & 0x87, 0x81);                 // a global map of 2^(1 + 1) entries
  bytes[10] = static_cast<char>(bytes[10] & ~0x07);  // now 2^(0 + 1)
  bytes.erase(13 + 6, 6);
  ASSERT_EQ(bytes[13 + 6], ',');  // the image descriptor follows the shorter map
  WriteFileOrDie(path, bytes);

  CImage image;
  ASSERT_EQ(CGif::Read(image, path), FIO_OK);
  ASSERT_EQ(image.GetWidth(), 6);
  ASSERT_EQ(image.GetHeight(), 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 6; ++x) {
      const bool inside = x >= 1 && x < 5 && y >= 1;
      const int index = !inside ? 3 : y == 1 ? x - 1 : 4 - x;
      for (int c = 0; c < 3; ++c) {
        const GifColorType& e = colours[index];
        const int want = index >= 2 ? 0 : c == 0 ? e.Red : c == 1 ? e.Green : e.Blue;
        EXPECT_EQ(image.GetPixel(x, y, c), want) << x << "," << y << " plane " << c;
      }
    }
}

// Writing every variant of a colour and a grey image; Pillow and ImageMagick read the
// pixels we read back.
class GifWriteTest : public GifTest, public ::testing::WithParamInterface<int> {};

TEST_P(GifWriteTest, OthersReadOurFilesAsWeDo) {
  const int variant = GetParam();
  for (int planes : {1, 3}) {
    CRalImage image(kWidth, kHeight, 8, planes, 1.0, 0.0, 0);
    FillPattern(image);
    for (int p = 0; p < planes; ++p) image.SetLevel(p, 0.0, 255.0);
    const std::string path = dir_.File("out.gif");
    ASSERT_EQ(CGif::Write(image, path, variant), FIO_OK);
    const std::string bytes = ReadFileOrEmpty(path);
    EXPECT_EQ(bytes.substr(0, 6), variant >= 2 ? "GIF89a" : "GIF87a");
    // Screen (13 bytes), the global map of 256 colours, then the image descriptor whose
    // last byte holds the interlace flag.
    ASSERT_GT(bytes.size(), 13u + 768 + 10);
    ASSERT_EQ(bytes[13 + 768], ',');
    EXPECT_EQ((bytes[13 + 768 + 9] & 0x40) != 0, variant == 1 || variant == 3);

    CImage back;
    ASSERT_EQ(CGif::Read(back, path), FIO_OK);
    EXPECT_EQ(back.GetOrgFileFormat(), CGif::GetTypeString(variant));
    const Raster ours = Samples(back);
    if (planes == 1) {
      // A grey image keeps its values on the grey ramp.
      for (int p = 0; p < 3; ++p)
        for (int y = 0; y < kHeight; y += 7)
          for (int x = 0; x < kWidth; x += 3)
            ASSERT_EQ(ours.At(x, y, p), image.GetPixel(x, y)) << x << "," << y;
    }
    Raster oracle;
    if (HavePillow()) {
      ASSERT_TRUE(PillowDecode(path, kWidth, kHeight, 3, &oracle));
      EXPECT_TRUE(SameSamples(ours, oracle)) << "Pillow, planes " << planes;
    }
    if (HaveMagick()) {
      ASSERT_TRUE(MagickDecode(path, kWidth, kHeight, 3, 8, &oracle));
      EXPECT_TRUE(SameSamples(ours, oracle)) << "ImageMagick, planes " << planes;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, GifWriteTest, ::testing::Values(0, 1, 2, 3));

TEST_F(GifTest, TheDispatcherSavesWithTheRememberedVariantAndReads) {
  CRalImage image(kWidth, kHeight, 8, 3, 1.0, 0.0, 0);
  FillPattern(image);
  for (int p = 0; p < 3; ++p) image.SetLevel(p, 0.0, 255.0);
  image.SetOrgFileFormat(kGif87aInterlacedText);
  const std::string path = dir_.File("saved.gif");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, path, 0), 1);
  EXPECT_EQ(image.GetOrgFileFormat(), kGif87aInterlacedText);
  CRalImage back;
  CReadParam param;
  param.SetFileTypeDefaulted(path);
  ASSERT_EQ(CRalImageIO::ReadImageFile(back, path, &param), 1);
  EXPECT_EQ(back.GetOrgFileFormat(), kGif87aInterlacedText);
  EXPECT_EQ(back.GetPlanes(), 3);
}

}  // namespace

namespace {

const std::string kSixelImages = "/usr/share/doc/libsixel-examples/examples/images";

// The GIF files that Debian's libsixel examples ship, read as Pillow reads their first
// image.
TEST_F(GifTest, DebianSampleFilesReadAsPillowReadsThem) {
  const std::vector<std::string> files = FilesIn(kSixelImages, ".gif");
  if (files.empty() || !HavePillow()) GTEST_SKIP() << "libsixel-examples or Pillow missing";
  for (const std::string& path : files) {
    CImage image;
    ASSERT_EQ(CGif::Read(image, path), FIO_OK) << path;
    Raster oracle;
    ASSERT_TRUE(PillowDecode(path, image.GetWidth(), image.GetHeight(), 3, &oracle)) << path;
    EXPECT_TRUE(SameSamples(Samples(image), oracle)) << path;
  }
}

// Every other picture of that package, the PNG suite's corrupted files included, given
// to the GIF reader: a code, never a crash.
TEST_F(GifTest, OtherFormatsAndCorruptFilesGiveCodes) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(
           kSixelImages, std::filesystem::directory_options::skip_permission_denied))
    if (e.is_regular_file() && e.path().extension() != ".gif") files.push_back(e.path().string());
  if (files.empty()) GTEST_SKIP() << "libsixel-examples missing";
  for (const std::string& path : files) {
    CImage image;
    EXPECT_EQ(CGif::Read(image, path), FIO_ERR_FORMAT) << path;
    EXPECT_EQ(CGif::ReadHeader(image, path), FIO_ERR_HEADER) << path;
  }
}

}  // namespace

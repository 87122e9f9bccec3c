#include "formats/bmp/bmpfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/ralimageio.h"
#include "fileio/readparam.h"
#include "tests/formats/png/raster_test_support.h"
#include "tests/support/temp_dir.h"

using namespace raster_test;
using namespace dibbytes;

namespace {

// A bitmap file written by the test: what layout it has and what it shows.
struct Kind {
  const char* name;
  int bits;
  std::uint32_t compression;
  bool topDown = false;
  bool core = false;
  bool greyTable = false;
};

constexpr int kWidth = 37, kHeight = 11;

RGBQUAD Entry(int i, bool grey) {
  if (grey)
    return RGBQUAD{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i),
                   static_cast<std::uint8_t>(i), 0};
  return RGBQUAD{static_cast<std::uint8_t>(255 - i * 13 % 256),
                 static_cast<std::uint8_t>(i * 91 % 256), static_cast<std::uint8_t>(i * 37 % 256),
                 0};
}

// Palette index of a picture pixel (row 0 the top): runs of four, broken up here and
// there, so run-length coding uses both runs and literals.
int IndexAt(int x, int y, int colors) {
  const int v = x / 4 * 7 + y * 3 + (x % 4 == 3 ? x : 0);
  return v % colors;
}

// One stored row of a direct-colour or uncompressed palette bitmap.
std::string PlainRow(const Kind& k, int y) {
  std::string row;
  int acc = 0, nbits = 0;
  for (int x = 0; x < kWidth; ++x) {
    const int r = (x * 7 + y * 20) & 255, g = (x * 3 + y * 41) & 255, b = (255 - x * 5) & 255;
    switch (k.bits) {
      case 1:
      case 4:
      case 8:
        acc = (acc << k.bits) | IndexAt(x, y, 1 << k.bits);
        nbits += k.bits;
        if (nbits == 8) {
          row += static_cast<char>(acc);
          acc = nbits = 0;
        }
        break;
      case 16: {
        const int p = (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3);
        row += static_cast<char>(p & 255);
        row += static_cast<char>(p >> 8);
        break;
      }
      default:
        row += static_cast<char>(b);
        row += static_cast<char>(g);
        row += static_cast<char>(r);
        if (k.bits == 32) row += '\x7f';
    }
  }
  if (nbits) row += static_cast<char>(acc << (8 - nbits));
  while (row.size() % 4) row += '\0';
  return row;
}

// Run-length coded rows: runs where a value repeats, literals of three or more where it
// does not, and with delta a move of 3 to the right at the start of the top row.
std::string RleData(const Kind& k, bool delta) {
  const bool four = k.bits == 4;
  const int colors = 1 << k.bits;
  std::string out;
  for (int s = 0; s < kHeight; ++s) {
    const int y = kHeight - 1 - s;  // bottom-up
    int x = 0;
    if (y == 0 && delta) {
      out += std::string("\0\2\3\0", 4);
      x = 3;
    }
    while (x < kWidth) {
      int run = 1;
      while (x + run < kWidth && run < 255 && IndexAt(x + run, y, colors) == IndexAt(x, y, colors))
        ++run;
      if (run >= 2) {
        const int v = IndexAt(x, y, colors);
        out += static_cast<char>(run);
        out += static_cast<char>(four ? v << 4 | v : v);
        x += run;
        continue;
      }
      int lit = 1;
      while (x + lit < kWidth && lit < 255 &&
             IndexAt(x + lit, y, colors) != IndexAt(x + lit - 1, y, colors))
        ++lit;
      if (lit < 3) {
        out += '\1';
        out += static_cast<char>(four ? IndexAt(x, y, colors) << 4 : IndexAt(x, y, colors));
        ++x;
        continue;
      }
      out += '\0';
      out += static_cast<char>(lit);
      std::string bytes;
      for (int i = 0; i < lit; ++i) {
        const int v = IndexAt(x + i, y, colors);
        if (!four)
          bytes += static_cast<char>(v);
        else if (i % 2 == 0)
          bytes += static_cast<char>(v << 4);
        else
          bytes.back() = static_cast<char>(bytes.back() | v);
      }
      if (bytes.size() % 2) bytes += '\0';
      out += bytes;
      x += lit;
    }
    out += std::string("\0\0", 2);
  }
  out += std::string("\0\1", 2);
  return out;
}

std::string Le16(int v) {
  std::string s(2, '\0');
  Put16(reinterpret_cast<std::uint8_t*>(s.data()), static_cast<std::uint16_t>(v));
  return s;
}
std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  Put32(reinterpret_cast<std::uint8_t*>(s.data()), v);
  return s;
}

std::string MakeFile(const Kind& k, bool fileHeader = true, bool delta = false) {
  const bool rle = k.compression == BI_RLE4 || k.compression == BI_RLE8;
  std::string bits;
  if (rle) {
    bits = RleData(k, delta);
  } else {
    for (int s = 0; s < kHeight; ++s) bits += PlainRow(k, k.topDown ? s : kHeight - 1 - s);
  }
  std::string info, table;
  const int colors = k.bits <= 8 ? 1 << k.bits : 0;
  for (int i = 0; i < colors; ++i) {
    const RGBQUAD q = Entry(i, k.greyTable);
    table += static_cast<char>(q.rgbBlue);
    table += static_cast<char>(q.rgbGreen);
    table += static_cast<char>(q.rgbRed);
    if (!k.core) table += '\0';
  }
  if (k.core) {
    info = Le32(12) + Le16(kWidth) + Le16(kHeight) + Le16(1) + Le16(k.bits);
  } else {
    info = Le32(40) + Le32(kWidth) +
           Le32(static_cast<std::uint32_t>(k.topDown ? -kHeight : kHeight)) + Le16(1) +
           Le16(k.bits) + Le32(k.compression) +
           Le32(rle ? static_cast<std::uint32_t>(bits.size()) : 0) + Le32(2835) + Le32(2835) +
           Le32(0) + Le32(0);
  }
  const std::size_t offset = 14 + info.size() + table.size();
  std::string head = "BM" + Le32(static_cast<std::uint32_t>(offset + bits.size())) + Le32(0) +
                     Le32(static_cast<std::uint32_t>(offset));
  return (fileHeader ? head : std::string()) + info + table + bits;
}

const Kind kKinds[] = {
    {"Bits1", 1, BI_RGB},
    {"Bits4", 4, BI_RGB},
    {"Bits8", 8, BI_RGB},
    {"Bits8Grey", 8, BI_RGB, false, false, true},
    {"Bits16", 16, BI_RGB},
    {"Bits24", 24, BI_RGB},
    {"Bits32", 32, BI_RGB},
    {"Rle4", 4, BI_RLE4},
    {"Rle8", 8, BI_RLE8},
    {"Rle8Grey", 8, BI_RLE8, false, false, true},
    {"TopDown8", 8, BI_RGB, true},
    {"TopDown24", 24, BI_RGB, true},
    {"Core8", 8, BI_RGB, false, true},
    {"Core24", 24, BI_RGB, false, true},
};

// Our image as RGB samples (a grey image repeated in three planes).
Raster AsRgb(const CImage& image) {
  Raster r = Samples(image);
  if (r.planes == 1) {
    const std::vector<std::uint16_t> grey = r.samples;
    for (int i = 0; i < 2; ++i) r.samples.insert(r.samples.end(), grey.begin(), grey.end());
    r.planes = 3;
  }
  return r;
}

class BmpKindTest : public ::testing::TestWithParam<Kind> {
 protected:
  ScopedConfigHome home_;
  TempDir dir_;
};

TEST_P(BmpKindTest, ReadsAsPillowDoes) {
  if (!HavePillow()) GTEST_SKIP() << "Pillow not installed";
  const Kind& k = GetParam();
  const std::string path = dir_.File("in.bmp");
  WriteFileOrDie(path, MakeFile(k));
  CImage image;
  ASSERT_EQ(CBmp::Read(image, path), FIO_OK);
  Raster oracle;
  ASSERT_TRUE(PillowDecode(path, kWidth, kHeight, 3, &oracle));
  if (k.bits == 16) {
    // Pillow widens 5 bits by 255 / 31; the bitmap import multiplies them by 8.
    for (auto& v : oracle.samples) v = static_cast<std::uint16_t>((v * 31 + 127) / 255 * 8);
  }
  EXPECT_TRUE(SameSamples(AsRgb(image), oracle));
  EXPECT_EQ(image.GetPlanes(), k.greyTable ? 1 : 3);
  const bool rle = k.compression != BI_RGB;
  EXPECT_EQ(image.GetOrgFileFormat(), rle ? kBmpRleFormatText : kBmpFormatText);
  EXPECT_EQ(image.GetOrgBitsPixel(), k.bits);
  EXPECT_EQ(image.GetOrgFileName(), path);

  // The same bitmap without its file header reads the same.
  const std::string bare = dir_.File("bare.dib");
  WriteFileOrDie(bare, MakeFile(k, false));
  CImage fromBare;
  ASSERT_EQ(CBmp::Read(fromBare, bare), FIO_OK);
  EXPECT_TRUE(SameSamples(Samples(fromBare), Samples(image)));

  CImage header;
  ASSERT_EQ(CBmp::ReadHeader(header, path), FIO_OK);
  EXPECT_EQ(header.GetWidth(), kWidth);
  EXPECT_EQ(header.GetHeight(), kHeight);

  // Damaged copies give a code or an image, never a crash: every cut, and header bytes
  // inverted one at a time.
  const std::string bytes = MakeFile(k);
  const std::string bad = dir_.File("bad.bmp");
  for (std::size_t n = 0; n < bytes.size(); n += (n < 80 ? 1 : 37)) {
    WriteFileOrDie(bad, Truncated(bytes, n));
    CImage damaged;
    const int rc = CBmp::Read(damaged, bad);
    EXPECT_TRUE(rc == FIO_OK || rc == FIO_ERR_SHORT || rc == FIO_ERR_FORMAT || rc == FIO_ERR_MEMORY)
        << n << ": " << rc;
  }
  for (std::size_t at = 0; at < 60 && at < bytes.size(); ++at) {
    WriteFileOrDie(bad, Flipped(bytes, at));
    CImage damaged;
    (void)CBmp::Read(damaged, bad);
    (void)CBmp::ReadHeader(damaged, bad);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, BmpKindTest, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

class BmpTest : public ::testing::Test {
 protected:
  ScopedConfigHome home_;
  TempDir dir_;
};

// Pillow reads the two bytes of a move twice, so moves are checked against ImageMagick.
TEST_F(BmpTest, RleMovesReadAsImageMagickReadsThem) {
  if (!HaveMagick()) GTEST_SKIP() << "ImageMagick not installed";
  for (const Kind& k : {Kind{"Rle4", 4, BI_RLE4}, Kind{"Rle8", 8, BI_RLE8}}) {
    const std::string path = dir_.File("moved.bmp");
    WriteFileOrDie(path, MakeFile(k, true, true));
    CImage image;
    ASSERT_EQ(CBmp::Read(image, path), FIO_OK);
    Raster oracle;
    ASSERT_TRUE(MagickDecode(path, kWidth, kHeight, 3, 8, &oracle));
    EXPECT_TRUE(SameSamples(AsRgb(image), oracle)) << k.name;
    EXPECT_EQ(image.GetPixel(2, 0, 1), Entry(0, false).rgbGreen);  // passed over: index 0
  }
}

TEST_F(BmpTest, CoreAndInfoHeadersWithTheSameColoursReadTheSame) {
  WriteFileOrDie(dir_.File("core.bmp"), MakeFile({"c", 8, BI_RGB, false, true}));
  WriteFileOrDie(dir_.File("info.bmp"), MakeFile({"i", 8, BI_RGB}));
  CImage core, info;
  ASSERT_EQ(CBmp::Read(core, dir_.File("core.bmp")), FIO_OK);
  ASSERT_EQ(CBmp::Read(info, dir_.File("info.bmp")), FIO_OK);
  EXPECT_TRUE(SameSamples(Samples(core), Samples(info)));
}

TEST_F(BmpTest, TruncatedBitsReadWhatIsThere) {
  const std::string full = MakeFile({"t", 24, BI_RGB});
  const std::size_t stride = (kWidth * 3 + 3) / 4 * 4;
  // The last three stored rows, the picture's top three, are missing.
  WriteFileOrDie(dir_.File("full.bmp"), full);
  WriteFileOrDie(dir_.File("cut.bmp"), full.substr(0, full.size() - 3 * stride));
  CImage whole, cut;
  ASSERT_EQ(CBmp::Read(whole, dir_.File("full.bmp")), FIO_OK);
  ASSERT_EQ(CBmp::Read(cut, dir_.File("cut.bmp")), FIO_OK);
  for (int y = 0; y < kHeight; ++y)
    for (int p = 0; p < 3; ++p)
      EXPECT_EQ(cut.GetPixel(5, y, p), y < 3 ? 0.0 : whole.GetPixel(5, y, p)) << y;
}

TEST_F(BmpTest, HeaderCodes) {
  std::string v4 = MakeFile({"v", 24, BI_RGB});
  Put32(reinterpret_cast<std::uint8_t*>(v4.data()) + 14, 108);
  WriteFileOrDie(dir_.File("v4.bmp"), v4);
  CImage image;
  EXPECT_EQ(CBmp::Read(image, dir_.File("v4.bmp")), FIO_ERR_FORMAT);
  std::string flat = MakeFile({"z", 24, BI_RGB});
  Put32(reinterpret_cast<std::uint8_t*>(flat.data()) + 18, 0);  // width 0
  WriteFileOrDie(dir_.File("flat.bmp"), flat);
  EXPECT_EQ(CBmp::ReadHeader(image, dir_.File("flat.bmp")), FIO_ERR_HEADER);
  std::string huge = MakeFile({"h", 24, BI_RGB});
  Put32(reinterpret_cast<std::uint8_t*>(huge.data()) + 18, 0x7FFFFFFF);
  Put32(reinterpret_cast<std::uint8_t*>(huge.data()) + 22, 0x7FFFFFFF);
  WriteFileOrDie(dir_.File("huge.bmp"), huge);
  EXPECT_EQ(CBmp::Read(image, dir_.File("huge.bmp")), FIO_ERR_MEMORY);
  EXPECT_EQ(CBmp::Read(image, dir_.File("missing.bmp")), FIO_ERR_OPEN);
  EXPECT_EQ(CBmp::Read(image, dir_.path()), FIO_ERR_FOLDER);
}

// Writing: the displayed image in 8 or 24 bits, read back by us, Pillow and ImageMagick.
struct WriteCase {
  int planes;
  int bits;
};

class BmpWriteTest : public BmpTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(BmpWriteTest, OthersReadOurFilesAsWeDo) {
  const WriteCase& c = GetParam();
  CRalImage image(kWidth, kHeight, 8, c.planes, 1.0, 0.0, 0);
  FillPattern(image);
  for (int p = 0; p < c.planes; ++p) image.SetLevel(p, 0.0, 255.0);
  const std::string path = dir_.File("out.bmp");
  ASSERT_EQ(CBmp::Write(image, path, c.bits), FIO_OK);
  CImage back;
  ASSERT_EQ(CBmp::Read(back, path), FIO_OK);
  EXPECT_EQ(back.GetOrgBitsPixel(), c.bits);
  // 24 bits, and 8 bits of a grey image, keep the pixels; 8-bit colour is dithered.
  if (c.bits == 24 || c.planes == 1) {
    EXPECT_TRUE(SameSamples(AsRgb(back), AsRgb(image)));
  }
  Raster ours = AsRgb(back), oracle;
  if (HavePillow()) {
    // The file's headers as Pillow and struct read them: the image size is that of the
    // rows at the bit count written (padded to 4 bytes), and the file ends after them.
    const std::string script =
        "import os, struct, sys\n"
        "from PIL import Image\n"
        "path, bits, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])\n"
        "data = open(path, 'rb').read()\n"
        "sig, size, _, _, offset = struct.unpack_from('<2sIHHI', data, 0)\n"
        "hsize, width, height, planes, count, comp, image = struct.unpack_from("
        "'<IiiHHII', data, 14)\n"
        "assert sig == b'BM' and hsize == 40 and comp == 0, (sig, hsize, comp)\n"
        "assert (width, height, count) == (w, h, bits), (width, height, count)\n"
        "assert image == (bits * w + 31) // 32 * 4 * h, image\n"
        "assert size == len(data) == offset + image, (size, len(data), offset, image)\n"
        "im = Image.open(path)\n"
        "im.load()\n"
        "modes = ('P', 'L') if bits == 8 else ('RGB',)\n"
        "assert im.size == (w, h) and im.mode in modes, (im.size, im.mode)\n";
    EXPECT_TRUE(RunTool({"/usr/bin/python3", "-c", script, path, std::to_string(c.bits),
                         std::to_string(kWidth), std::to_string(kHeight)}))
        << "the headers of the file written";
    ASSERT_TRUE(PillowDecode(path, kWidth, kHeight, 3, &oracle));
    EXPECT_TRUE(SameSamples(ours, oracle)) << "Pillow";
  }
  if (HaveMagick()) {
    ASSERT_TRUE(MagickDecode(path, kWidth, kHeight, 3, 8, &oracle));
    EXPECT_TRUE(SameSamples(ours, oracle)) << "ImageMagick";
  }
}

INSTANTIATE_TEST_SUITE_P(Bits, BmpWriteTest,
                         ::testing::Values(WriteCase{1, 8}, WriteCase{1, 24}, WriteCase{3, 8},
                                           WriteCase{3, 24}),
                         [](const auto& info) {
                           return std::string(info.param.planes == 1 ? "Grey" : "Rgb") +
                                  std::to_string(info.param.bits);
                         });

TEST_F(BmpTest, TheDispatcherReadsAndSavesBitmaps) {
  CRalImage image(kWidth, kHeight, 16, 1, 1.0, 32768.0, 0);
  FillPattern(image);
  image.SetLevel(0, 0.0, 65535.0);
  const std::string path = dir_.File("saved.bmp");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, path, 0), 1);
  EXPECT_EQ(image.GetOrgFileFormat(), kBmpFormatText);
  CRalImage back;
  CReadParam param;
  param.SetFileTypeDefaulted(path);
  ASSERT_EQ(CRalImageIO::ReadImageFile(back, path, &param), 1);
  EXPECT_EQ(back.GetPlanes(), 1);
  EXPECT_EQ(back.GetWidth(), kWidth);
}

}  // namespace

namespace {

// The pictures of Debian's libsixel examples, the PNG suite's corrupted files included,
// given to the BMP reader: a code, never a crash. Its one bitmap has a 124-byte header,
// a layout this reader does not take.
TEST(BmpForeignFiles, GiveCodes) {
  const std::string folder = "/usr/share/doc/libsixel-examples/examples/images";
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder, ec))
    if (e.is_regular_file()) files.push_back(e.path().string());
  if (files.empty()) GTEST_SKIP() << "libsixel-examples missing";
  for (const std::string& path : files) {
    CImage image;
    const int rc = CBmp::Read(image, path);
    EXPECT_TRUE(rc == FIO_ERR_FORMAT || rc == FIO_ERR_SHORT || rc == FIO_ERR_MEMORY) << path << rc;
    if (path.ends_with(".bmp")) {
      EXPECT_EQ(rc, FIO_ERR_FORMAT) << path;
    }
  }
}

}  // namespace

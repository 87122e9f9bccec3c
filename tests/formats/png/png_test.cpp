#include "formats/png/pngfile.h"

#include <gtest/gtest.h>
#include <zlib.h>

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

const std::string kSuiteDir = "/usr/share/doc/libsixel-examples/examples/images/pngsuite";

class PngTest : public ::testing::Test {
 protected:
  std::string Put(const std::string& name, const std::string& bytes) {
    std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }

  ScopedConfigHome home_;
  TempDir dir_;
};

// ---------------------------------------------------------------- round trips

struct RoundTrip {
  int bits;
  int planes;
  int level;
  int interlace;
  int width;
  int height;
};

std::string Name(const RoundTrip& c) {
  return std::string(c.planes == 1 ? "Grey" : "Rgb") + std::to_string(c.bits) + "Level" +
         std::to_string(c.level) + (c.interlace ? "Adam7" : "Plain") + std::to_string(c.width) +
         "x" + std::to_string(c.height);
}

class PngRoundTripTest : public PngTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(PngRoundTripTest, WritesAndReadsBackTheSamePixels) {
  const RoundTrip& c = GetParam();
  CImage written(c.bits, c.width, c.height, c.planes, 1.0, 0.0, 0);
  FillPattern(written);
  const std::string path = dir_.File("round.png");
  ASSERT_EQ(CPng::Write(written, path, c.level, c.interlace, c.bits), FIO_OK);

  CImage read;
  ASSERT_EQ(CPng::Read(read, path), FIO_OK);
  EXPECT_EQ(read.GetBitsPixel(), c.bits);
  EXPECT_EQ(read.IsSigned(), 0);
  EXPECT_EQ(read.GetPlanes(), c.planes);
  EXPECT_EQ(read.GetDimension(), c.planes == 1 ? 2 : 3);
  EXPECT_EQ(read.GetBscale(), 1.0);
  EXPECT_EQ(read.GetBzero(), 0.0);
  EXPECT_TRUE(SameSamples(Samples(read), Samples(written)));

  EXPECT_EQ(read.GetOrgFileFormat(), c.interlace ? kPngInterlacedFormatText : kPngFormatText);
  EXPECT_EQ(CPng::GetInterlaceMode(read.GetOrgFileFormat()), c.interlace);
  EXPECT_EQ(read.GetOrgFileName(), path);
  EXPECT_EQ(read.GetOrgBitsPixel(), c.bits);
  EXPECT_EQ(read.GetOrgPlanes(), c.planes);
  EXPECT_EQ(read.GetOrgWidth(), c.width);
  EXPECT_EQ(read.GetOrgHeight(), c.height);
  EXPECT_EQ(read.IsSaveableFormat(), 1);
  EXPECT_EQ(read.IsSaveableFile(), 1);
  for (int p = 0; p < c.planes; ++p) {
    double lo, hi;
    ASSERT_TRUE(written.GetMinMax(p, &lo, &hi));
    EXPECT_EQ(read.GetLevelMin(p), lo);
    EXPECT_EQ(read.GetLevelMax(p), hi > lo ? hi : lo + 1);
  }
}

std::vector<RoundTrip> RoundTrips() {
  std::vector<RoundTrip> out;
  for (int bits : {8, 16})
    for (int planes : {1, 3})
      for (int level : {0, 6, 9})
        for (int interlace : {0, 1}) out.push_back({bits, planes, level, interlace, 37, 23});
  // Adam7 passes without pixels in images smaller than the 8 × 8 pattern.
  for (int bits : {8, 16})
    for (int planes : {1, 3})
      for (auto [w, h] : {std::pair{1, 1}, {3, 2}, {2, 9}})
        out.push_back({bits, planes, 5, 1, w, h});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Options, PngRoundTripTest, ::testing::ValuesIn(RoundTrips()),
                         [](const auto& info) { return Name(info.param); });

TEST_F(PngTest, HigherLevelsWriteSmallerFiles) {
  CImage image(8, 256, 256, 1, 1.0, 0.0, 0);
  FillSmooth(image);
  ASSERT_EQ(CPng::Write(image, dir_.File("l0.png"), 0, 0, 8), FIO_OK);
  ASSERT_EQ(CPng::Write(image, dir_.File("l9.png"), 9, 0, 8), FIO_OK);
  EXPECT_LT(std::filesystem::file_size(dir_.File("l9.png")) * 4,
            std::filesystem::file_size(dir_.File("l0.png")));
}

TEST_F(PngTest, AHighlyCompressedImageIsStillRead) {
  CImage image(8, 2000, 2000, 1, 1.0, 0.0, 0);
  for (int y = 0; y < 2000; ++y)
    std::fill_n(static_cast<std::uint8_t*>(image.GetImageAdr(0, y)), 2000, 0);
  ASSERT_EQ(CPng::Write(image, dir_.File("flat.png"), 9, 0, 8), FIO_OK);
  CImage read;
  ASSERT_EQ(CPng::Read(read, dir_.File("flat.png")), FIO_OK);
  EXPECT_EQ(read.GetPixel(1999, 1999), 0.0);
  EXPECT_EQ(read.GetLevelMax(0), 1.0);  // a flat image gets maximum = minimum + 1
}

// ---------------------------------------------------------------- the PNG test suite

// Colour type and bit depth are in the suite's names: "basn3p04" is type 3, 4 bits.
struct SuiteKind {
  int planes;
  int bits;
};
SuiteKind KindOf(const std::string& path) {
  const std::string name = std::filesystem::path(path).stem().string();
  const int type = name[4] - '0';
  const int depth = std::stoi(name.substr(6, 2));
  return {type == 0 || type == 4 ? 1 : 3, depth == 16 ? 16 : 8};
}

std::vector<std::string> SuiteFiles() {
  std::vector<std::string> out;
  for (const char* group : {"basic", "interlacing", "odd", "filter", "palette", "transparency",
                            "zlib", "background", "order", "gamma", "chunk"})
    for (const std::string& f : FilesIn(kSuiteDir + "/" + group, ".png")) out.push_back(f);
  if (out.empty()) out.push_back("missing");
  return out;
}

std::vector<std::string> CorruptedFiles() {
  std::vector<std::string> out = FilesIn(kSuiteDir + "/corrupted", ".png");
  if (out.empty()) out.push_back("missing");
  return out;
}

std::string Stem(const std::string& path) {
  return std::filesystem::path(path).stem().string();
}

class PngSuiteTest : public PngTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(PngSuiteTest, ReadsTheValuesImageMagickReads) {
  if (GetParam() == "missing")
    GTEST_SKIP() << "the PNG test suite is missing: install libsixel-examples";
  if (!HaveMagick()) GTEST_SKIP() << "ImageMagick's convert is missing: install imagemagick";
  const SuiteKind kind = KindOf(GetParam());
  CImage image;
  ASSERT_EQ(CPng::Read(image, GetParam()), FIO_OK);
  EXPECT_EQ(image.GetPlanes(), kind.planes);
  EXPECT_EQ(image.GetBitsPixel(), kind.bits);
  Raster expected;
  ASSERT_TRUE(MagickDecode(GetParam(), image.GetWidth(), image.GetHeight(), kind.planes, kind.bits,
                           &expected));
  EXPECT_TRUE(SameSamples(Samples(image), expected));
  const bool interlaced = Stem(GetParam())[3] == 'i';
  EXPECT_EQ(CPng::GetInterlaceMode(image.GetOrgFileFormat()), interlaced ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Files, PngSuiteTest, ::testing::ValuesIn(SuiteFiles()),
                         [](const auto& info) { return Stem(info.param); });

class PngCorruptedSuiteTest : public PngTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(PngCorruptedSuiteTest, IsRefusedWithACode) {
  if (GetParam() == "missing")
    GTEST_SKIP() << "the PNG test suite is missing: install libsixel-examples";
  CImage image;
  EXPECT_EQ(CPng::Read(image, GetParam()), FIO_ERR_FORMAT);
}

INSTANTIATE_TEST_SUITE_P(Files, PngCorruptedSuiteTest, ::testing::ValuesIn(CorruptedFiles()),
                         [](const auto& info) { return Stem(info.param); });

// ---------------------------------------------------------------- damaged and hostile files

std::string Chunk(const std::string& type, const std::string& data) {
  auto be32 = [](std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
  };
  std::string body = type + data;
  const auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
  return be32(static_cast<std::uint32_t>(data.size())) + body + be32(crc);
}

std::string Ihdr(std::uint32_t w, std::uint32_t h, int depth, int type) {
  std::string d;
  for (std::uint32_t v : {w, h})
    for (int s = 24; s >= 0; s -= 8) d += static_cast<char>(v >> s);
  d += static_cast<char>(depth);
  d += static_cast<char>(type);
  d += std::string(3, '\0');
  return Chunk("IHDR", d);
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

std::string WrittenFile(const std::string& path, int interlace) {
  CImage image(16, 40, 30, 3, 1.0, 0.0, 0);
  FillPattern(image);
  EXPECT_EQ(CPng::Write(image, path, 6, interlace, 16), FIO_OK);
  return ReadFileOrEmpty(path);
}

TEST_F(PngTest, AHeaderClaimingMorePixelsThanTheFileCanHoldIsRefusedBeforeAllocating) {
  std::string idat;
  {
    std::vector<Bytef> out(64);
    uLongf n = out.size();
    const Bytef zero[2] = {0, 0};
    ASSERT_EQ(compress(out.data(), &n, zero, 2), Z_OK);
    idat.assign(reinterpret_cast<const char*>(out.data()), n);
  }
  const std::string bytes =
      kSignature + Ihdr(1000000, 1000000, 16, 2) + Chunk("IDAT", idat) + Chunk("IEND", "");
  CImage image;
  EXPECT_EQ(CPng::Read(image, Put("huge.png", bytes)), FIO_ERR_SHORT);
  EXPECT_TRUE(image.IsEmpty());
  // The header alone is fine: it describes the image without allocating it.
  EXPECT_EQ(CPng::ReadHeader(image, dir_.File("huge.png")), FIO_OK);
  EXPECT_EQ(image.GetWidth(), 1000000);
  EXPECT_TRUE(image.IsEmpty());
}

TEST_F(PngTest, SidesBeyondTheLimitAreRefused) {
  const std::string bytes = kSignature + Ihdr(2000000, 1, 8, 0) + Chunk("IEND", "");
  CImage image;
  EXPECT_EQ(CPng::ReadHeader(image, Put("wide.png", bytes)), FIO_ERR_FORMAT);
}

TEST_F(PngTest, EveryTruncationGivesTheShortCode) {
  for (int interlace : {0, 1}) {
    const std::string whole = WrittenFile(dir_.File("whole.png"), interlace);
    ASSERT_GT(whole.size(), 100u);
    // Past the signature every cut leaves a chunk or the image data unfinished; the
    // trailing IEND is not needed for the pixels.
    for (std::size_t n = 8; n + 12 < whole.size(); n += 7) {
      CImage image;
      EXPECT_EQ(CPng::Read(image, Put("cut.png", Truncated(whole, n))), FIO_ERR_SHORT)
          << "cut at " << n << (interlace ? " (interlaced)" : "");
    }
  }
}

TEST_F(PngTest, FlippedBytesGiveACodeAndNeverACrash) {
  const std::string whole = WrittenFile(dir_.File("whole.png"), 1);
  // The closing IEND chunk (12 bytes) is not read: the pixels are complete before it.
  const std::size_t end = whole.size() - 12;
  ASSERT_EQ(whole.substr(end + 4, 4), "IEND");
  for (std::size_t at = 0; at < whole.size(); at += 3) {
    CImage image;
    const int rc = CPng::Read(image, Put("flip.png", Flipped(whole, at)));
    if (at >= end) {
      EXPECT_EQ(rc, FIO_OK) << "byte " << at;
      continue;
    }
    // The checksums catch every change to a chunk; the signature and lengths fail on
    // their own.
    EXPECT_TRUE(rc == FIO_ERR_FORMAT || rc == FIO_ERR_SHORT) << "byte " << at << " gave " << rc;
  }
}

TEST_F(PngTest, FilesThatCannotBeReadGiveTheirCodes) {
  CImage image;
  EXPECT_EQ(CPng::Read(image, dir_.File("none.png")), FIO_ERR_OPEN);
  EXPECT_EQ(CPng::Read(image, dir_.path()), FIO_ERR_FOLDER);
  EXPECT_EQ(CPng::Read(image, Put("empty.png", "")), FIO_ERR_SHORT);
  EXPECT_EQ(CPng::Read(image, Put("sig.png", kSignature.substr(0, 5))), FIO_ERR_SHORT);
  EXPECT_EQ(CPng::Read(image, Put("gif.png", "GIF89a\x01\x00\x01\x00")), FIO_ERR_FORMAT);
  EXPECT_EQ(CPng::Read(image, Put("sig-only.png", kSignature)), FIO_ERR_SHORT);
}

TEST_F(PngTest, ReadHeaderDescribesTheFileWithoutPixels) {
  const std::string path = dir_.File("h.png");
  WrittenFile(path, 1);
  CImage image;
  ASSERT_EQ(CPng::ReadHeader(image, path), FIO_OK);
  EXPECT_TRUE(image.IsEmpty());
  EXPECT_EQ(image.GetWidth(), 40);
  EXPECT_EQ(image.GetHeight(), 30);
  EXPECT_EQ(image.GetPlanes(), 3);
  EXPECT_EQ(image.GetBitsPixel(), 16);
  EXPECT_EQ(image.GetOrgFileFormat(), kPngInterlacedFormatText);
}

TEST_F(PngTest, AReadOnlyFileIsNotSaveableAsItsFile) {
  const std::string path = dir_.File("ro.png");
  WrittenFile(path, 0);
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
  CImage image;
  ASSERT_EQ(CPng::Read(image, path), FIO_OK);
  EXPECT_EQ(image.IsSaveableFormat(), 1);
  if (::geteuid() != 0) {
    EXPECT_EQ(image.IsSaveableFile(), 0);  // root may write anyway
  }
}

TEST_F(PngTest, ReadingReportsProgressFromBeginToEnd) {
  const std::string path = dir_.File("p.png");
  WrittenFile(path, 1);
  RecordingProgress progress;
  CImage image;
  ASSERT_EQ(CPng::Read(image, path, &progress, "ファイルの読み込み中..."), FIO_OK);
  ASSERT_GE(progress.events.size(), 3u);
  EXPECT_EQ(progress.events.front().kind, RecordingProgress::Kind::kBegin);
  EXPECT_EQ(progress.events.front().caption, "ファイルの読み込み中...");
  EXPECT_EQ(progress.events.back().kind, RecordingProgress::Kind::kEnd);
  EXPECT_EQ(progress.events[progress.events.size() - 2].percent, 100);
}

// ---------------------------------------------------------------- writing

struct Refusal {
  const char* name;
  int bits;
  int planes;
  int isSigned;
  int level;
  int argBits;
};

class PngRefusalTest : public PngTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PngRefusalTest, IsRefusedAndWritesNothing) {
  const Refusal& c = GetParam();
  CImage image(c.bits, 4, 4, c.planes, 1.0, 0.0, c.isSigned);
  const std::string path = dir_.File("no.png");
  EXPECT_EQ(CPng::Write(image, path, c.level, 0, c.argBits), FIO_ERR_FORMAT);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PngRefusalTest,
    ::testing::Values(Refusal{"Float", -32, 1, 1, 6, 8}, Refusal{"Int32", 32, 1, 0, 6, 16},
                      Refusal{"Signed16", 16, 1, 1, 6, 16}, Refusal{"TwoPlanes", 8, 2, 0, 6, 8},
                      Refusal{"BitsDiffer", 8, 1, 0, 6, 16}, Refusal{"LevelTen", 8, 1, 0, 10, 8},
                      Refusal{"LevelNegative", 8, 3, 0, -1, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PngTest, AnEmptyImageIsRefused) {
  CImage empty;
  EXPECT_EQ(CPng::Write(empty, dir_.File("e.png"), 6, 0, 8), FIO_ERR_FORMAT);
}

TEST_F(PngTest, AFolderThatDoesNotExistCannotBeCreated) {
  CImage image(8, 4, 4, 1, 1.0, 0.0, 0);
  FillPattern(image);
  EXPECT_EQ(CPng::Write(image, dir_.File("missing/a.png"), 6, 0, 8), FIO_ERR_CREATE);
}

int FailRename(const char* stage) {
  return std::string(stage) == "rename" ? EIO : 0;
}
int FailSync(const char* stage) {
  return std::string(stage) == "sync" ? ENOSPC : 0;
}

TEST_F(PngTest, AFailedSaveLeavesTheOldFileAsItWas) {
  const std::string path = dir_.File("keep.png");
  const std::string before = WrittenFile(path, 0);
  CImage other(8, 5, 5, 1, 1.0, 0.0, 0);
  FillPattern(other);
  for (SaveFaultHook hook : {FailRename, FailSync}) {
    SetSaveFaultHook(hook);
    const int rc = CPng::Write(other, path, 6, 0, 8);
    SetSaveFaultHook(nullptr);
    EXPECT_EQ(rc, FIO_ERR_WRITE);
    EXPECT_EQ(ReadFileOrEmpty(path), before);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(PngTest, SavingOverAnImageReplacesIt) {
  const std::string path = dir_.File("over.png");
  WrittenFile(path, 1);
  CImage small(8, 3, 2, 1, 1.0, 0.0, 0);
  FillPattern(small);
  ASSERT_EQ(CPng::Write(small, path, 6, 0, 8), FIO_OK);
  CImage read;
  ASSERT_EQ(CPng::Read(read, path), FIO_OK);
  EXPECT_TRUE(SameSamples(Samples(read), Samples(small)));
}

}  // namespace

// FITS files as observatories ship them: images in extensions (picked by "file[unit]",
// by the unit question, or the only one there is), gzip-packed and tile-compressed files.
// astropy's own test files and our compressed saves are judged by astropy and fitsverify
// (fits_units_check.py); malformed compressed input must give its code, never a crash.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/fitssource.h"
#include "fileio/prompts.h"
#include "fileio/ralimageio.h"
#include "fits/fileiocodes.h"
#include "formats/fio/fileiomsg.h"
#include "formats/fitscomp/fitscomp.h"
#include "formats/fitscomp/gzipstream.h"
#include "formats/fitscomp/tilelayout.h"
#include "imagemodel/vmmanager.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/temp_dir.h"

namespace {

int Shell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buffer;
  std::size_t n;
  std::string text;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) text.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HavePeers() {
  static const bool have =
      Shell("/usr/bin/python3 -c 'import astropy.io.fits, numpy' && command -v fitsverify") == 0;
  return have;
}

std::string Card(std::string text) {
  text.resize(80, ' ');
  return text;
}
std::string Key(const std::string& k, const std::string& v) {
  std::string key = k;
  key.resize(8, ' ');
  return Card(key + "= " + std::string(v.size() < 20 ? 20 - v.size() : 0, ' ') + v);
}
std::string Padded(std::string bytes, char fill) {
  bytes.resize((bytes.size() + 2879) / 2880 * 2880, fill);
  return bytes;
}

// One unit: a header (primary when xtension is empty) and big-endian data.
std::string Unit(const std::string& xtension, int bitpix, int width, int height,
                 const std::vector<double>& values, const std::vector<std::string>& extra = {}) {
  std::string h = xtension.empty() ? Key("SIMPLE", "T") : Key("XTENSION", "'" + xtension + "'");
  h += Key("BITPIX", std::to_string(bitpix));
  h += Key("NAXIS", width > 0 ? "2" : "0");
  if (width > 0) h += Key("NAXIS1", std::to_string(width)) + Key("NAXIS2", std::to_string(height));
  if (!xtension.empty()) h += Key("PCOUNT", "0") + Key("GCOUNT", "1");
  for (const std::string& c : extra) h += c;
  h += Card("END");
  std::string d;
  for (double v : values) {
    std::uint64_t bits = 0;
    int bytes = std::abs(bitpix) / 8;
    if (bitpix == -32) {
      const float f = static_cast<float>(v);
      std::uint32_t u;
      std::memcpy(&u, &f, 4);
      bits = u;
    } else if (bitpix == -64) {
      std::memcpy(&bits, &v, 8);
    } else {
      bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    }
    for (int b = bytes - 1; b >= 0; --b) d += static_cast<char>((bits >> (8 * b)) & 0xFF);
  }
  return Padded(h, ' ') + Padded(d, '\0');
}

class FitsUnitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CVmManager::Restart();
    CRalImageIO::ClearLastError();
  }
  void TearDown() override { CVmManager::Restart(); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  static int Read(CRalImage& image, const std::string& name) {
    CReadParam param;
    param.SetFileType(FILETYPE_FITS);
    return CRalImageIO::ReadFile(image, name, &param, -64, nullptr);
  }
  // The first plane in file order (FITS row 0 first) as physical doubles.
  static std::vector<double> Pixels(const CRalImage& image) {
    const int w = image.GetWidth(), h = image.GetHeight();
    std::vector<double> all(static_cast<std::size_t>(w) * h);
    for (int r = 0; r < h; ++r)
      EXPECT_TRUE(image.GetPhysicalRow(h - 1 - r, 0, all.data() + static_cast<std::size_t>(r) * w));
    return all;
  }
  static void Dump(const std::string& path, const std::vector<double>& values) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(values.data()),
              static_cast<std::streamsize>(values.size() * sizeof(double)));
  }

  // Opens every image unit of path as the program does, and has astropy judge the values.
  void ExpectUnitsAsAstropy(const std::string& path) {
    AcceptingPrompts accept;  // a cube opens at its first plane
    ScopedUserPrompts scoped(&accept);
    std::vector<FitsHdu> units;
    std::ofstream list(dir_.File("units.txt"));
    int opened = 0;
    if (ListFitsUnits(path, &units) == FIO_OK) {
      for (const FitsHdu& unit : units) {
        if (!unit.IsImage()) continue;
        CRalImage image;
        ASSERT_EQ(Read(image, path + "[" + std::to_string(unit.index) + "]"), 1)
            << "unit " << unit.index << " code " << CRalImageIO::GetLastError();
        list << unit.index << ' ' << image.GetWidth() << ' ' << image.GetHeight() << '\n';
        Dump(dir_.File(std::to_string(unit.index) + ".phys"), Pixels(image));
        ++opened;
      }
    }
    if (opened == 0) {
      // The file as named: refused with a code that says why.
      CRalImage image;
      EXPECT_EQ(Read(image, path), 0);
      const int code = CRalImageIO::GetLastError();
      EXPECT_TRUE(code == FIO_ERR_NO_IMAGE || code == FIO_ERR_FORMAT || code == FIO_ERR_SHORT)
          << code;
      list << "none " << code << '\n';
    }
    list.close();
    std::string output;
    EXPECT_EQ(
        Shell("/usr/bin/python3 '" FITS_UNITS_SCRIPT "' units '" + path + "' '" + dir_.path() + "'",
              &output),
        0)
        << output;
  }

  ScopedConfigHome home_;
  TempDir dir_;
  RecordingMessageBox box_;
  ScopedMessageBox scopedBox_{&box_};
};

// ---- astropy's test files: every image unit opens with astropy's values

std::vector<std::string> AstropyFiles() {
  std::string listing;
  std::vector<std::string> files;
  if (Shell("dpkg -L python3-astropy", &listing) != 0) return {""};
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);)
    if (line.ends_with(".fits") || line.ends_with(".fits.gz")) files.push_back(line);
  return files.empty() ? std::vector<std::string>{""} : files;
}

class AstropyFileTest : public FitsUnitsTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(AstropyFileTest, ImageUnitsOpenWithAstropysValues) {
  if (GetParam().empty() || !HavePeers()) GTEST_SKIP() << "python3-astropy or fitsverify missing";
  ExpectUnitsAsAstropy(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Astropy, AstropyFileTest, ::testing::ValuesIn(AstropyFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = std::to_string(info.index) + "_" +
                                              info.param.substr(info.param.rfind('/') + 1);
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// ---- choosing among the units of a file made here

// An empty primary (with keywords its extensions share), two SCI images, a table.
std::string ThreeUnitFile() {
  std::vector<double> a(12), b(12);
  for (int i = 0; i < 12; ++i) {
    a[static_cast<std::size_t>(i)] = i * 3 - 7;
    b[static_cast<std::size_t>(i)] = 0.25 * i;
  }
  return Unit("", 8, 0, 0, {},
              {Key("EXTEND", "T"), Key("TELESCOP", "'SHARED  '"), Key("OBJECT", "'PRIMARY '")}) +
         Unit("IMAGE", 16, 4, 3, a, {Key("EXTNAME", "'SCI     '"), Key("EXTVER", "1")}) +
         Unit("BINTABLE", 8, 4, 1, {1, 2, 3, 4},
              {Key("TFIELDS", "1"), Key("TFORM1", "'4B      '"), Key("EXTNAME", "'TAB     '")}) +
         Unit("IMAGE", -32, 4, 3, b,
              {Key("EXTNAME", "'SCI     '"), Key("EXTVER", "2"), Key("OBJECT", "'OWN     '")});
}

struct ChoiceCase {
  const char* suffix;  // appended to the file name
  int answer;          // the entry the unit question is answered with; -1: not asked
  int code;            // the dispatcher's code
  double firstPixel;   // of the unit opened
};

class UnitChoiceTest : public FitsUnitsTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(UnitChoiceTest, OpensTheUnitNamedOrChosen) {
  const ChoiceCase& c = GetParam();
  const std::string path = Write("mef.fits", ThreeUnitFile());
  ScriptedPrompts prompts;
  FitsUnitPrompt asked;
  if (c.answer >= 0)
    prompts.Expect(std::string(FitsUnitPrompt::kKind), [&](Prompt& p) {
      auto& q = static_cast<FitsUnitPrompt&>(p);
      asked = q;
      q.choice = c.answer;
      return true;
    });
  ScopedUserPrompts scoped(&prompts);
  CRalImage image;
  EXPECT_EQ(Read(image, path + c.suffix), c.code == FIO_OK ? 1 : 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), c.code);
  EXPECT_TRUE(prompts.unexpected().empty());
  if (c.answer >= 0) {
    ASSERT_EQ(asked.entries.size(), 2u);
    EXPECT_EQ(asked.entries[0].unit, 1);
    EXPECT_EQ(asked.entries[1].unit, 3);
    EXPECT_EQ(asked.entries[1].extName, "SCI");
    EXPECT_EQ(asked.entries[1].extVer, 2);
    EXPECT_EQ(asked.entries[1].size, "4 x 3");
    EXPECT_EQ(asked.entries[1].type, "-32");
  }
  if (c.code != FIO_OK) return;
  EXPECT_EQ(Pixels(image).front(), c.firstPixel);
  EXPECT_EQ(image.GetOrgFileName(), path);
  // The primary's keywords come along where the unit lacks them; its own win.
  const CFitsHeader& header = image.m_FitsHeader;
  ASSERT_GE(header.Find("TELESCOP"), 0);
  EXPECT_NE(header.GetAt(header.Find("OBJECT")).find(c.firstPixel == 0 ? "OWN" : "PRIMARY"),
            std::string::npos);
  EXPECT_LT(header.Find("XTENSION"), 0);
  // Not the file: a save over it is refused, one elsewhere is a simple FITS file.
  EXPECT_EQ(CRalImageIO::WriteImageFile(image, path, 0), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_OVERWRITE);
  const std::string copy = dir_.File("copy.fits");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, copy, 0), 1);
  std::vector<FitsHdu> units;
  ASSERT_EQ(ListFitsUnits(copy, &units), FIO_OK);
  ASSERT_EQ(units.size(), 1u);
  CRalImage again;
  ASSERT_EQ(Read(again, copy), 1);
  EXPECT_EQ(Pixels(again), Pixels(image));
}

INSTANTIATE_TEST_SUITE_P(
    Names, UnitChoiceTest,
    ::testing::Values(ChoiceCase{"", 1, FIO_OK, 0.0},          // asked: the second SCI
                      ChoiceCase{"", 0, FIO_OK, -7.0},         // asked: the first
                      ChoiceCase{"[SCI,2]", -1, FIO_OK, 0.0},  // named with its version
                      ChoiceCase{"[sci]", -1, FIO_OK, -7.0},   // the first of that name
                      ChoiceCase{"[3]", -1, FIO_OK, 0.0},      // by index
                      ChoiceCase{"[SCI,3]", -1, FIO_ERR_NO_UNIT, 0.0},
                      ChoiceCase{"[7]", -1, FIO_ERR_NO_UNIT, 0.0},
                      ChoiceCase{"[TAB]", -1, FIO_ERR_NO_IMAGE, 0.0},
                      ChoiceCase{"[0]", -1, FIO_ERR_NO_IMAGE, 0.0}));

TEST_F(FitsUnitsTest, CancellingTheUnitQuestionOpensNothing) {
  const std::string path = Write("mef.fits", ThreeUnitFile());
  DecliningPrompts decline;
  ScopedUserPrompts scoped(&decline);
  CRalImage image;
  EXPECT_EQ(Read(image, path), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_CANCELLED);
  EXPECT_TRUE(box_.shown.empty());
}

// ---- compressed saves read back by astropy and by us

struct PackedCase {
  int bitpix, w, h;
  bool parallel = false;  // unpacked by several processes, however small
};

class PackedRoundTripTest : public FitsUnitsTest,
                            public ::testing::WithParamInterface<PackedCase> {};

TEST_P(PackedRoundTripTest, GzipAndRiceSavesReadBackTheSame) {
  const int bitpix = GetParam().bitpix;
  const int w = GetParam().w, h = GetParam().h;
  const unsigned long long threshold =
      fitscomp::SetParallelUnpackBytes(GetParam().parallel ? 0 : ~0ull);
  std::mt19937 random(bitpix + 100);
  std::normal_distribution<double> noise(1000.0, 10.0);
  std::vector<double> values(static_cast<std::size_t>(w) * h);
  for (double& v : values) v = bitpix > 0 ? std::round(noise(random)) : noise(random);
  if (bitpix == 16) values[5] = -32768, values[6] = 32767;
  if (bitpix == 32) values[5] = -2147483648.0, values[6] = 2147483647.0;
  const std::string source = Write("source.fits", Unit("", bitpix, w, h, values));
  CRalImage image;
  ASSERT_EQ(Read(image, source), 1);
  const std::vector<double> read = Pixels(image);
  for (const char* name : {"saved.fits.gz", "saved.fits.fz"}) {
    const std::string path = dir_.File(name);
    ASSERT_EQ(CRalImageIO::WriteImageFile(image, path, 0), 1) << name;
    CRalImage back;
    ASSERT_EQ(Read(back, path), 1) << name;
    const std::vector<double> again = Pixels(back);
    ASSERT_EQ(again.size(), read.size());
    double worst = 0;
    for (std::size_t i = 0; i < read.size(); ++i)
      worst = std::max(worst, std::abs(again[i] - read[i]));
    // Integers are lossless; reals are quantised to a quarter of the noise.
    EXPECT_LE(worst, bitpix > 0 ? 0.0 : 10.0 / 4) << name;
  }
  (void)fitscomp::SetParallelUnpackBytes(threshold);
  std::remove(source.c_str());
  Dump(dir_.File("source.phys"), read);
  WriteFileOrDie(dir_.File("shape.txt"), std::to_string(h) + " " + std::to_string(w));
  WriteFileOrDie(dir_.File("tolerance.txt"), bitpix > 0 ? "0" : "2.5");
  if (!HavePeers()) GTEST_SKIP() << "python3-astropy or fitsverify missing";
  std::string output;
  EXPECT_EQ(Shell("/usr/bin/python3 '" FITS_UNITS_SCRIPT "' packed '" + dir_.path() + "'", &output),
            0)
      << output;
}

// Sizes that are no multiple of any tile or block; the last two unpacked by several
// processes side by side.
INSTANTIATE_TEST_SUITE_P(Types, PackedRoundTripTest,
                         ::testing::Values(PackedCase{8, 67, 45}, PackedCase{16, 67, 45},
                                           PackedCase{32, 67, 45}, PackedCase{-32, 67, 45},
                                           PackedCase{-64, 67, 45}, PackedCase{16, 67, 45, true},
                                           PackedCase{-32, 67, 45, true}));

// ---- an image from an extension keeps the file's measurement tables when saved

// An ASCII table of one row, its columns ten characters wide.
std::string AsciiTable(const std::string& name, const std::vector<std::string>& columns,
                       const std::string& row) {
  const std::size_t width = columns.size() * 10;
  std::string h = Card("XTENSION= 'TABLE   '") + Key("BITPIX", "8") + Key("NAXIS", "2") +
                  Key("NAXIS1", std::to_string(width)) + Key("NAXIS2", "1") + Key("PCOUNT", "0") +
                  Key("GCOUNT", "1") + Key("TFIELDS", std::to_string(columns.size()));
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::string n = std::to_string(i + 1);
    h += Key("TTYPE" + n, "'" + columns[i] + "'") + Key("TBCOL" + n, std::to_string(i * 10 + 1)) +
         Key("TFORM" + n, "'A10     '");
  }
  h += Key("EXTNAME", "'" + name + "'") + Card("END");
  std::string data = row;
  data.resize(width, ' ');
  return Padded(h, ' ') + Padded(data, ' ');
}

class OwnTablesTest : public FitsUnitsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OwnTablesTest, ImageFromAnExtensionSavesWithThem) {
  const bool compressed = GetParam();
  std::vector<double> values(6 * 5);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i * 11) - 40;
  const std::string tables =
      AsciiTable("Vantorel Phot data", {"NO", "X", "Y"}, "1         2.5       3.25") +
      AsciiTable("CATALOG", {"ID"}, "77") +
      AsciiTable("Vantorel Pos data", {"NO", "X"}, "1         4.5");
  std::string path;
  if (compressed) {
    // Our RICE save puts the image in the first extension and the tables behind it.
    const std::string plain =
        Write("plain.fits", Unit("", 16, 6, 5, values, {Key("EXTEND", "T")}) + tables);
    path = dir_.File("mef.fits.fz");
    ASSERT_EQ(fitscomp::RiceCompressFile(plain, path), FIO_OK);
  } else {
    path = Write("mef.fits", Unit("", 8, 0, 0, {}, {Key("EXTEND", "T")}) +
                                 Unit("IMAGE", 16, 6, 5, values, {Key("EXTNAME", "'SCI     '")}) +
                                 tables);
  }
  CRalImage image;
  ASSERT_EQ(Read(image, path), 1) << CRalImageIO::GetLastError();
  ASSERT_EQ(image.m_FitsExtensions.size(), 2u);
  EXPECT_NE(image.m_FitsExtensions[0].GetExtName().find("'Vantorel Phot data'"), std::string::npos);
  EXPECT_NE(image.m_FitsExtensions[1].GetExtName().find("'Vantorel Pos data'"), std::string::npos);
  // Still not the file: a save over it stays refused.
  EXPECT_EQ(CRalImageIO::WriteImageFile(image, path, 0), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_OVERWRITE);
  const std::string copy = dir_.File("copy.fits");
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, copy, 0), 1);
  CRalImage again;
  ASSERT_EQ(Read(again, copy), 1);
  EXPECT_EQ(again.m_FitsExtensions.size(), 2u);
  EXPECT_EQ(Pixels(again), values);
  if (!HavePeers()) GTEST_SKIP() << "python3-astropy or fitsverify missing";
  std::string output;
  EXPECT_EQ(Shell("/usr/bin/python3 '" FITS_UNITS_SCRIPT "' tables '" + path + "' '" + copy + "'",
                  &output),
            0)
      << output;
}

INSTANTIATE_TEST_SUITE_P(Units, OwnTablesTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

// ---- gzip-packed files read from the stream

// Random bytes of a few unpacking chunks, packed: any range reads back as it was, forward,
// backward and across chunks; past the end, or in a stream cut short, it does not.
TEST_F(FitsUnitsTest, GzipReaderReadsAnyRangeOfTheStream) {
  std::mt19937 random(7);
  std::string plain(3 * (1 << 20) + 12345, '\0');
  for (char& c : plain) c = static_cast<char>(random() % 23);  // compressible, not trivially
  const std::string packed = dir_.File("bytes.gz");
  ASSERT_EQ(fitscomp::GzipFile(Write("bytes", plain), packed), FIO_OK);
  fitscomp::GzipReader reader;
  ASSERT_EQ(reader.Open(packed), FIO_OK);
  const std::size_t mb = 1 << 20;
  const std::pair<std::size_t, std::size_t> ranges[] = {
      {0, 2880},         {mb - 7, 14},          {5, 100},  // backward: the stream again
      {2 * mb, mb + 77}, {plain.size() - 1, 1}, {0, plain.size()}};
  for (const auto& [offset, n] : ranges) {
    std::string got(n, '\x55');
    ASSERT_TRUE(reader.Read(got.data(), n, offset)) << offset << " " << n;
    EXPECT_TRUE(got == plain.substr(offset, n)) << offset << " " << n;
  }
  std::string tail(2, '\0');
  EXPECT_FALSE(reader.Read(tail.data(), 2, plain.size() - 1));
  const std::string cut = Write("cut.gz", ReadFileOrEmpty(packed).substr(0, 2000));
  fitscomp::GzipReader short_;
  ASSERT_EQ(short_.Open(cut), FIO_OK);
  std::string head(100, '\0');
  EXPECT_TRUE(short_.Read(head.data(), 100, 0));
  EXPECT_FALSE(short_.Read(tail.data(), 2, plain.size() - 10));
}

// A file that ends inside its image's data is refused packed as it is plain.
TEST_F(FitsUnitsTest, GzipOfAFileCutInsideItsDataGivesThePlainFilesCode) {
  const std::string whole = Unit("", 16, 300, 200, std::vector<double>(300 * 200, 5.0));
  const std::string cut = Write("cut.fits", whole.substr(0, whole.size() - 3 * 2880));
  ASSERT_EQ(fitscomp::GzipFile(cut, dir_.File("cut.fits.gz")), FIO_OK);
  CRalImage plain, packed;
  EXPECT_EQ(Read(plain, cut), 0);
  const int code = CRalImageIO::GetLastError();
  EXPECT_NE(code, FIO_OK);
  EXPECT_EQ(Read(packed, dir_.File("cut.fits.gz")), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), code);
}

struct GzipCase {
  const char* what;
  std::string (*make)();
};

class GzipStreamTest : public FitsUnitsTest, public ::testing::WithParamInterface<GzipCase> {};

// Every image unit of a packed file opens with astropy's values of the packed file, while
// the unpacked file in memory holds the headers and not the image's data, unless the read
// wants a whole file.
TEST_P(GzipStreamTest, ImagesReadFromTheStreamAsAstropyReadsThem) {
  AcceptingPrompts accept;  // of several images, the first
  ScopedUserPrompts scoped(&accept);
  const std::string plain = GetParam().make();
  const std::string packed = dir_.File("packed.fits.gz");
  ASSERT_EQ(fitscomp::GzipFile(Write("plain.fits", plain), packed), FIO_OK);
  FitsSource streamed;
  ASSERT_EQ(ResolveFitsSource(packed, &streamed, FitsSourceRead::kStream), FIO_OK);
  ASSERT_NE(streamed.unpacked, nullptr);
  struct stat st {};
  ASSERT_EQ(::fstat(streamed.unpacked->fd(), &st), 0);
  ASSERT_EQ(static_cast<std::size_t>(st.st_size), plain.size());
  const FitsHdu& image = streamed.hdus[static_cast<std::size_t>(streamed.unit)];
  EXPECT_EQ(streamed.hole.unit, streamed.unit);
  // Pages at the edges of the data aside, the data take no memory.
  EXPECT_LE(static_cast<std::uint64_t>(st.st_blocks) * 512, plain.size() - image.dataBytes + 8192);
  // What is there is the file's, headers and other units alike.
  const std::string held = ReadFileOrEmpty(streamed.unpacked->path());
  for (const FitsHdu& unit : streamed.hdus)
    EXPECT_EQ(held.substr(unit.headerStart, unit.dataStart - unit.headerStart),
              plain.substr(unit.headerStart, unit.dataStart - unit.headerStart));
  FitsSource whole;
  ASSERT_EQ(ResolveFitsSource(packed, &whole, FitsSourceRead::kWhole), FIO_OK);
  EXPECT_TRUE(ReadFileOrEmpty(whole.unpacked->path()) == plain);
  if (!HavePeers()) GTEST_SKIP() << "python3-astropy or fitsverify missing";
  ExpectUnitsAsAstropy(packed);
}

std::vector<double> Ramp(std::size_t n, double step, double from) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = from + step * static_cast<double>(i % 5003);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Files, GzipStreamTest,
    ::testing::Values(
        // Larger than a chunk of the stream, scaled, with a table behind it.
        GzipCase{"PrimaryWithATable",
                 [] {
                   return Unit("", 16, 700, 500, Ramp(700 * 500, 7, -17000),
                               {Key("EXTEND", "T"), Key("BZERO", "32768"), Key("BSCALE", "0.5")}) +
                          Unit("BINTABLE", 8, 4, 1, {1, 2, 3, 4},
                               {Key("TFIELDS", "1"), Key("TFORM1", "'4B      '")});
                 }},
        // Two images in extensions: the first is left out of memory, the second read from it.
        GzipCase{"Extensions", ThreeUnitFile},
        // Doubles, whose read goes over the stream's data in runs of rows.
        GzipCase{"Doubles", [] { return Unit("", -64, 301, 211, Ramp(301 * 211, 0.125, -3)); }}),
    [](const ::testing::TestParamInfo<GzipCase>& info) { return std::string(info.param.what); });

struct GzipHeaderCase {
  const char* what;
  std::string (*make)();
  const char* suffix;  // the unit named after the file
};
void PrintTo(const GzipHeaderCase& c, std::ostream* os) {
  *os << c.what << c.suffix;
}

class GzipHeaderTest : public FitsUnitsTest,
                       public ::testing::WithParamInterface<GzipHeaderCase> {};

// A read of headers alone leaves the data of a packed file's image unpacked nowhere: the
// hole stays described and its bytes unwritten, while the header read is the plain
// file's. Pixels read through the gate of such a source after all are the file's, never
// the zeros that the in-memory file holds in their place.
TEST_P(GzipHeaderTest, HeadersAloneLeaveTheImageDataPacked) {
  AcceptingPrompts accept;  // of several images, the first
  ScopedUserPrompts scoped(&accept);
  const std::string bytes = GetParam().make();
  const std::string plain = Write("plain.fits", bytes) + GetParam().suffix;
  const std::string packed = dir_.File("packed.fits.gz");
  ASSERT_EQ(fitscomp::GzipFile(dir_.File("plain.fits"), packed), FIO_OK);

  FitsSource source;
  ASSERT_EQ(ResolveFitsSource(packed + GetParam().suffix, &source, FitsSourceRead::kHeaders),
            FIO_OK);
  ASSERT_NE(source.unpacked, nullptr);
  const fitscomp::GzipHole hole = source.hole;
  ASSERT_GE(hole.unit, 0);
  const FitsHdu& first = source.hdus[static_cast<std::size_t>(hole.unit)];
  EXPECT_EQ(hole.start, first.dataStart);
  EXPECT_EQ(hole.length, first.dataBytes);
  const std::string data = bytes.substr(hole.start, hole.length);
  ASSERT_NE(data, std::string(data.size(), '\0'));  // or unwritten would look written
  const std::string held = ReadFileOrEmpty(source.unpacked->path());
  ASSERT_EQ(held.size(), bytes.size());
  EXPECT_TRUE(held.substr(hole.start, hole.length) == std::string(hole.length, '\0'));
  EXPECT_TRUE(held.substr(0, hole.start) == bytes.substr(0, hole.start));
  EXPECT_TRUE(held.substr(hole.start + hole.length) == bytes.substr(hole.start + hole.length));

  // The dispatcher's header read of the packed file is that of the plain one.
  CReadParam param;
  param.SetFileType(FILETYPE_FITS);
  CRalImage fromPacked, fromPlain;
  ASSERT_EQ(CRalImageIO::ReadHeader(fromPacked, packed + GetParam().suffix, &param), 1);
  ASSERT_EQ(CRalImageIO::ReadHeader(fromPlain, plain, &param), 1);
  EXPECT_EQ(fromPacked.m_FitsHeader.Cards(), fromPlain.m_FitsHeader.Cards());
  EXPECT_EQ(fromPacked.GetWidth(), fromPlain.GetWidth());
  EXPECT_EQ(fromPacked.GetHeight(), fromPlain.GetHeight());

  CRalImage throughGate, direct;
  {
    FitsSourceGate gate(source);
    ASSERT_EQ(CFits::Read(throughGate, source.unpacked->path(), 1, 0, 0, 1, 2, nullptr, "", 1, -64,
                          hole.unit),
              FITS_OK);
  }
  ASSERT_EQ(
      CFits::Read(direct, dir_.File("plain.fits"), 1, 0, 0, 1, 2, nullptr, "", 1, -64, hole.unit),
      FITS_OK);
  EXPECT_EQ(Pixels(throughGate), Pixels(direct));
}

INSTANTIATE_TEST_SUITE_P(
    Files, GzipHeaderTest,
    ::testing::Values(GzipHeaderCase{"Primary",
                                     [] {
                                       return Unit("", 16, 700, 500, Ramp(700 * 500, 7, -17000),
                                                   {Key("EXTEND", "T"), Key("BZERO", "32768")}) +
                                              Unit("BINTABLE", 8, 4, 1, {1, 2, 3, 4},
                                                   {Key("TFIELDS", "1"),
                                                    Key("TFORM1", "'4B      '")});
                                     },
                                     ""},
                      // The unit read is the one left out, then one behind it.
                      GzipHeaderCase{"FirstExtension", ThreeUnitFile, ""},
                      GzipHeaderCase{"SecondExtension", ThreeUnitFile, "[SCI,2]"}),
    [](const ::testing::TestParamInfo<GzipHeaderCase>& info) {
      return std::string(info.param.what);
    });

class TileHeaderTest : public FitsUnitsTest, public ::testing::WithParamInterface<bool> {};

// A read of headers alone gets the header of a tile-compressed image, packed with gzip
// or not, from its table without decompressing a tile: the header the whole unpacking
// writes, the pixels' bytes left unwritten. Pixels read through the gate of such a source
// are refused rather than taken as the zeros that stand in their place.
TEST_P(TileHeaderTest, HeadersAloneDecompressNoTile) {
  const std::string plain = Write(
      "plain.fits", Unit("", 16, 300, 200, Ramp(300 * 200, 3, 11), {Key("OBJECT", "'NGC 1'")}));
  std::string path = dir_.File("rice.fits.fz");
  ASSERT_EQ(fitscomp::RiceCompressFile(plain, path), FIO_OK);
  if (GetParam()) {
    ASSERT_EQ(fitscomp::GzipFile(path, path + ".gz"), FIO_OK);
    path += ".gz";
  }
  FitsSource headers, whole;
  ASSERT_EQ(ResolveFitsSource(path, &headers, FitsSourceRead::kHeaders), FIO_OK);
  ASSERT_EQ(ResolveFitsSource(path, &whole, FitsSourceRead::kWhole), FIO_OK);
  ASSERT_NE(headers.decompressed, nullptr);
  EXPECT_TRUE(headers.pixelsLeftOut);
  EXPECT_EQ(headers.unpacking, nullptr);
  const std::string held = ReadFileOrEmpty(headers.decompressed->path());
  const std::string unpacked = ReadFileOrEmpty(whole.decompressed->path());
  std::vector<FitsHdu> units;
  ASSERT_EQ(ListFitsHdus(whole.decompressed->path(), &units), FITS_OK);
  ASSERT_EQ(units.size(), 1u);
  const std::size_t dataStart = units[0].dataStart;
  ASSERT_EQ(held.size(), unpacked.size());
  EXPECT_TRUE(held.substr(0, dataStart) == unpacked.substr(0, dataStart));
  ASSERT_NE(unpacked.substr(dataStart), std::string(unpacked.size() - dataStart, '\0'));
  EXPECT_TRUE(held.substr(dataStart) == std::string(held.size() - dataStart, '\0'));

  CReadParam param;
  param.SetFileType(FILETYPE_FITS);
  // The dispatcher reads that header, the file's keywords and size in it.
  CRalImage header;
  ASSERT_EQ(CRalImageIO::ReadHeader(header, path, &param), 1);
  EXPECT_NE(header.m_FitsHeader.Find("OBJECT"), -1);
  EXPECT_EQ(header.GetWidth(), 300);
  EXPECT_EQ(header.GetHeight(), 200);

  CRalImage none;
  FitsSourceGate gate(headers);
  EXPECT_NE(
      CFits::Read(none, headers.readPath, 1, 0, 0, 1, 2, nullptr, "", 1, -64, headers.readHdu),
      FITS_OK);
}

INSTANTIATE_TEST_SUITE_P(Files, TileHeaderTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Gzipped" : "Plain"; });

// ---- 64-bit integers: read into doubles, judged by astropy

struct Int64Case {
  const char* values;
  const char* compression = "";  // tile-compressed so, or the plain file
};

class Int64Test : public FitsUnitsTest, public ::testing::WithParamInterface<Int64Case> {};

TEST_P(Int64Test, ReadIntoDoublesWithANoteWhenRounded) {
  if (!HavePeers()) GTEST_SKIP() << "python3-astropy or fitsverify missing";
  const std::string script = "/usr/bin/python3 '" FITS_UNITS_SCRIPT "' int64 ";
  const std::string compression = GetParam().compression;
  std::string output;
  ASSERT_EQ(Shell(script + "make " + GetParam().values + " '" + dir_.path() + "' " + compression,
                  &output),
            0)
      << output;
  CRalImage image;
  ASSERT_EQ(Read(image, dir_.File(compression.empty() ? "int64.fits" : "int64.fits.fz")), 1)
      << CRalImageIO::GetLastError();
  EXPECT_EQ(image.GetBitsPixel(), -64);
  EXPECT_EQ(image.GetOrgBitsPixel(), 64);
  // The user hears of rounding exactly when some value is no double.
  const bool rounded = ReadFileOrEmpty(dir_.File("rounded.txt")) == "1";
  ASSERT_EQ(box_.shown.size(), rounded ? 1u : 0u);
  if (rounded) {
    EXPECT_NE(box_.shown[0].text.find(kFioMsgInt64Rounded), std::string::npos)
        << box_.shown[0].text;
  }
  Dump(dir_.File("read.phys"), Pixels(image));
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, dir_.File("saved.fits"), 0), 1);
  EXPECT_EQ(Shell(script + "check '" + dir_.path() + "'", &output), 0) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Int64Test,
    ::testing::Values(Int64Case{"small"}, Int64Case{"big"}, Int64Case{"scaled"},
                      Int64Case{"unsigned"}, Int64Case{"blank"}, Int64Case{"big", "GZIP_1"},
                      Int64Case{"scaled", "GZIP_1"}, Int64Case{"unsigned", "GZIP_2"},
                      Int64Case{"blank", "GZIP_2"}),
    [](const ::testing::TestParamInfo<Int64Case>& info) {
      return std::string(info.param.values) +
             (*info.param.compression ? std::string("_") + info.param.compression : "");
    });

// ---- malformed compressed input

struct BadCase {
  const char* what;
  // Makes the bad file from a good .fits.fz and .fits.gz of the same image.
  std::string (*make)(const std::string& fz, const std::string& gz);
  int code;
  // For a table that lies: what the check of the table, before any decompression, finds.
  const char* why = nullptr;
};

// The offset of the data unit of the compressed image (the second unit) in fz.
std::size_t CompressedData(const std::string& fz) {
  const std::size_t second = fz.find("XTENSION= 'BINTABLE'");
  return fz.find("END     ", second) / 2880 * 2880 + 2880;
}
std::string ReplaceCard(std::string fz, const std::string& key, const std::string& value) {
  const std::size_t at = fz.find(Key(key, "").substr(0, 10), fz.find("XTENSION= 'BINTABLE'"));
  const std::string card = Key(key, value);
  fz.replace(at, 80, card);
  return fz;
}

class MalformedTest : public FitsUnitsTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(MalformedTest, IsRefusedWithItsCode) {
  std::vector<double> values(64 * 64);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i % 977);
  const std::string source = Write("good.fits", Unit("", 16, 64, 64, values));
  CRalImage image;
  ASSERT_EQ(Read(image, source), 1);
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, dir_.File("good.fits.fz"), 0), 1);
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, dir_.File("good.fits.gz"), 0), 1);
  const std::string bad =
      Write("bad.fits", GetParam().make(ReadFileOrEmpty(dir_.File("good.fits.fz")),
                                        ReadFileOrEmpty(dir_.File("good.fits.gz"))));
  box_.shown.clear();
  CRalImage broken;
  EXPECT_EQ(Read(broken, bad), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), GetParam().code);
  EXPECT_EQ(box_.shown.size(), 1u);
  if (GetParam().why) {
    fitscomp::TileLayout layout;
    std::string why;
    EXPECT_EQ(fitscomp::ReadTileLayout(bad, 1, ~0ull, &layout, &why), FIO_ERR_COMPRESSED);
    EXPECT_NE(why.find(GetParam().why), std::string::npos) << why;
  }
}

// Sets the descriptor (count, then heap offset, 32 bits each) of row `row` of the table.
std::string SetDescriptor(std::string fz, std::size_t row, std::uint32_t count,
                          std::uint32_t offset) {
  const std::size_t at = CompressedData(fz) + row * 8;
  for (int i = 0; i < 4; ++i) {
    fz[at + static_cast<std::size_t>(i)] = static_cast<char>(count >> (24 - 8 * i));
    fz[at + 4 + static_cast<std::size_t>(i)] = static_cast<char>(offset >> (24 - 8 * i));
  }
  return fz;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedTest,
    ::testing::Values(BadCase{"TruncatedGzip",
                              [](const std::string&, const std::string& gz) {
                                return gz.substr(0, gz.size() / 2);
                              },
                              FIO_ERR_COMPRESSED},
                      BadCase{"GzipWithoutItsTrailer",
                              [](const std::string&, const std::string& gz) {
                                return gz.substr(0, gz.size() - 4);
                              },
                              FIO_ERR_COMPRESSED},
                      BadCase{"GarbledGzip",
                              [](const std::string&, const std::string& gz) {
                                // The gzip header, then bytes that are no deflate stream.
                                std::string g = gz;
                                return g.substr(0, 10) + std::string(32, '\x03');
                              },
                              FIO_ERR_COMPRESSED},
                      BadCase{"LyingImageWidth",
                              [](const std::string& fz, const std::string&) {
                                return ReplaceCard(fz, "ZNAXIS1", "100000");
                              },
                              FIO_ERR_COMPRESSED},
                      BadCase{"HugeImage",
                              [](const std::string& fz, const std::string&) {
                                return ReplaceCard(ReplaceCard(fz, "ZNAXIS1", "2000000000"),
                                                   "ZTILE1", "2000000000");
                              },
                              FIO_ERR_COMPRESSED},
                      BadCase{"ZeroTileWidth",
                              [](const std::string& fz, const std::string&) {
                                return ReplaceCard(fz, "ZTILE1", "0");
                              },
                              FIO_ERR_COMPRESSED},
                      // An image without pixels leaves the file without an image.
                      BadCase{"ZeroImageWidth",
                              [](const std::string& fz, const std::string&) {
                                return ReplaceCard(fz, "ZNAXIS1", "0");
                              },
                              FIO_ERR_NO_IMAGE},
                      BadCase{"TileBeyondTheHeap",
                              [](const std::string& fz, const std::string&) {
                                std::string f = fz;
                                // The first row's descriptor: the tile's length and its place in
                                // the heap.
                                const std::size_t at = CompressedData(f);
                                for (int i = 0; i < 8; ++i)
                                  f[at + static_cast<std::size_t>(i)] = '\x7f';
                                return f;
                              },
                              FIO_ERR_COMPRESSED, "outside a heap"},
                      // A tile that claims 2 GB of bytes: refused before a decompressor
                      // would allocate them.
                      BadCase{"TileLongerThanTheHeap",
                              [](const std::string& fz, const std::string&) {
                                return SetDescriptor(fz, 0, 0x7fffffffu, 0);
                              },
                              FIO_ERR_COMPRESSED, "tile 1: COMPRESSED_DATA of 2147483647 bytes"},
                      BadCase{"LastTileBehindTheHeap",
                              [](const std::string& fz, const std::string&) {
                                return SetDescriptor(fz, 63, 16, 0x00100000u);
                              },
                              FIO_ERR_COMPRESSED, "tile 64:"},
                      BadCase{"TileWiderThanTheImage",
                              [](const std::string& fz, const std::string&) {
                                return ReplaceCard(fz, "ZTILE1", "100000");
                              },
                              FIO_ERR_COMPRESSED, "ZTILE1 100000"},
                      BadCase{"TableRowsNotTheTiles",
                              [](const std::string& fz, const std::string&) {
                                return ReplaceCard(fz, "ZTILE2", "2");
                              },
                              FIO_ERR_COMPRESSED, "table rows 64 for 32 tiles"},
                      // 64-bit integers cannot be RICE-compressed.
                      BadCase{"RiceInt64",
                              [](const std::string& fz, const std::string&) {
                                return ReplaceCard(fz, "ZBITPIX", "64");
                              },
                              FIO_ERR_COMPRESSED, "64-bit integers compressed with RICE_1"},
                      BadCase{"GarbledTiles",
                              [](const std::string& fz, const std::string&) {
                                std::string f = fz;
                                const std::size_t heap = CompressedData(f) + 64 * 8;
                                for (std::size_t i = heap; i < f.size() && i < heap + 400; ++i)
                                  f[i] = static_cast<char>(i * 37);
                                return f;
                              },
                              FIO_ERR_COMPRESSED}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.what); });

}  // namespace

// Extensions the reader does not interpret survive a plain open-and-save byte for byte:
// a binary table with a heap, an image extension, another program's table, and every
// extension of a cube read in colour. astropy and fitsverify judge the copies; large data
// units that stay in their source file are followed through renames and changes in place.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "engine/ralimage.h"
#include "fits/fits.h"
#include "tests/fits/fits_test_support.h"

using namespace fitstest;

namespace {

// One HDU as the file holds it, and how many of its bytes come before the padding.
struct Hdu {
  std::string bytes;
  std::size_t used;
};

Hdu MakeHdu(const std::vector<std::string>& cards, const std::string& data, char fill) {
  const std::string header = Header(cards);
  return {header + PadRecord(data, fill), header.size() + data.size()};
}

// Three rows of an integer and 1, 2 and 3 floats kept in the heap behind the table.
Hdu BinaryTableWithHeap() {
  std::string table, heap;
  for (std::int32_t row = 0; row < 3; ++row) {
    table += BigEndian(
        std::vector<std::int32_t>{row + 1, row + 1, static_cast<std::int32_t>(heap.size())});
    std::vector<float> flux;
    for (int k = 0; k <= row; ++k) flux.push_back(static_cast<float>(row * 10 + k) + 0.5f);
    heap += BigEndian(flux);
  }
  return MakeHdu(
      {Key("XTENSION", "'BINTABLE'"), Key("BITPIX", 8), Key("NAXIS", 2), Key("NAXIS1", 12),
       Key("NAXIS2", 3), Key("PCOUNT", static_cast<long long>(heap.size())), Key("GCOUNT", 1),
       Key("TFIELDS", 2), Key("TTYPE1", "'ID'"), Key("TFORM1", "'1J'"), Key("TTYPE2", "'FLUX'"),
       Key("TFORM2", "'1PE(3)'"), Key("EXTNAME", "'EVENTS'")},
      table + heap, '\0');
}

Hdu ImageExtension(int width, int height) {
  std::vector<std::int16_t> v(static_cast<std::size_t>(width) * height);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int16_t>(i * 37 - 900);
  return MakeHdu(
      {Key("XTENSION", "'IMAGE   '"), Key("BITPIX", 16), Key("NAXIS", 2), Key("NAXIS1", width),
       Key("NAXIS2", height), Key("PCOUNT", 0), Key("GCOUNT", 1), Key("EXTNAME", "'SCI'")},
      BigEndian(v), '\0');
}

Hdu Table(const std::string& extname, const std::vector<std::string>& names,
          const std::vector<std::string>& rows) {
  const std::string bytes = AsciiTable(extname, names, rows);
  const std::size_t data = names.size() * 10 * rows.size();
  return {bytes, bytes.size() - PadRecord(std::string(data, ' '), ' ').size() + data};
}

std::string Primary(int planes, bool extend = true) {
  std::vector<long long> axes = {5, 4};
  if (planes > 1) axes.push_back(planes);
  std::vector<std::int16_t> v(static_cast<std::size_t>(5 * 4 * planes));
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<std::int16_t>(i * 3 - 20);
  return Header(ImageCards(16, axes, extend)) + PadRecord(BigEndian(v), '\0');
}

// The extensions of every test file, in file order: EVENTS, SCI, our photometry, CATALOG.
std::vector<Hdu> Extensions() {
  return {BinaryTableWithHeap(), ImageExtension(3, 2),
          Table("'Vantorel Phot data'", {"NO", "X", "Y"}, {"1         12.5      7.25"}),
          Table("'CATALOG'", {"NAME", "MAG"}, {"alpha     1.5", "beta      2.25"})};
}

template <typename Extension>
std::vector<std::string> Names(const std::vector<Extension>& v) {
  std::vector<std::string> names;
  for (const Extension& e : v) names.push_back(e.GetExtName());
  return names;
}

struct KeptCase {
  const char* name;
  int planes, color, plane0, plane1, plane2;
  const char* primaryPlanes;  // the source planes the copy's primary array holds
  bool extend = true;         // the primary header says EXTEND = T
  friend std::ostream& operator<<(std::ostream& os, const KeptCase& c) { return os << c.name; }
};

class FitsKeptTest : public FitsTest, public ::testing::WithParamInterface<KeptCase> {
 protected:
  // Runs a shell command: its exit status, and what it printed.
  int Run(const std::string& command, std::string* text = nullptr) {
    const std::string log = dir_.File("command.log");
    const int status = std::system((command + " > '" + log + "' 2>&1").c_str());
    if (text) *text = ReadFileOrEmpty(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // fitsverify's verdict: empty when it found no error and no warning.
  std::string Verify(const std::string& path) {
    std::string text;
    Run("fitsverify '" + path + "'", &text);
    return text.find("found 0 warning(s) and 0 error(s)") != std::string::npos ? "" : text;
  }
};

TEST_P(FitsKeptTest, PlainSaveCarriesEveryExtensionByteForByte) {
  const KeptCase& c = GetParam();
  const std::vector<Hdu> ext = Extensions();
  std::string file = Primary(c.planes, c.extend);
  for (const Hdu& h : ext) file += h.bytes;
  const std::string source = Put("source.fits", file);

  CRalImage img;
  ASSERT_EQ(CFits::Read(img, source, 1, c.color, c.plane0, c.plane1, c.plane2, nullptr, "", 0),
            FITS_OK);
  // Only our own table is interpreted, and not when a cube is read in colour nor when
  // the header does not announce extensions; the rest are kept in file order.
  const bool colour = (c.color && c.planes > 1) || !c.extend;
  const std::vector<std::size_t> order =
      colour ? std::vector<std::size_t>{0, 1, 2, 3} : std::vector<std::size_t>{2, 0, 1, 3};
  using Strings = std::vector<std::string>;
  const Strings interpreted = colour ? Strings{} : Strings{"'Vantorel Phot data'"};
  const Strings kept = colour ? Strings{"'EVENTS'", "'SCI'", "'Vantorel Phot data'", "'CATALOG'"}
                              : Strings{"'EVENTS'", "'SCI'", "'CATALOG'"};
  EXPECT_EQ(Names(img.m_FitsExtensions), interpreted);
  EXPECT_EQ(Names(img.m_KeptExtensions), kept);

  const std::string copy = dir_.File("copy.fits");
  ASSERT_EQ(CFits::Write(img, copy, nullptr, ""), FITS_OK);
  const std::string written = ReadFileOrEmpty(copy);
  std::string tail;
  for (std::size_t i : order) tail += ext[i].bytes;
  ASSERT_GT(written.size(), tail.size());
  EXPECT_EQ(written.size() % kRecord, 0u);
  EXPECT_TRUE(written.compare(written.size() - tail.size(), tail.size(), tail) == 0)
      << "the extensions behind the primary array are not the source's bytes";

  if (Run("/usr/bin/python3 -c 'import astropy.io.fits, numpy'") != 0 ||
      Run("command -v fitsverify") != 0)
    GTEST_SKIP() << "astropy (python3-astropy) or fitsverify is missing";
  EXPECT_EQ(Verify(source), "") << "the test's own file";
  EXPECT_EQ(Verify(copy), "");
  std::string order1, text;
  for (std::size_t i : order) order1 += (order1.empty() ? "" : ",") + std::to_string(i + 1);
  EXPECT_EQ(Run(std::string("/usr/bin/python3 '") + FITS_KEPT_SCRIPT + "' '" + source + "' '" +
                    copy + "' " + order1 + " " + c.primaryPlanes,
                &text),
            0)
      << text;
}

INSTANTIATE_TEST_SUITE_P(Files, FitsKeptTest,
                         ::testing::Values(KeptCase{"Plane", 1, 0, 0, 0, 0, "0"},
                                           KeptCase{"CubeAsOnePlane", 3, 0, 1, 0, 0, "1"},
                                           KeptCase{"CubeInColour", 3, 1, 2, 1, 0, "2,1,0"},
                                           KeptCase{"NoExtendCard", 1, 0, 0, 0, 0, "0", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Lowers the size above which kept data units stay in their source file.
class KeptLimit {
 public:
  explicit KeptLimit(std::uint64_t bytes) : previous_(CFits::SetKeptInMemoryLimit(bytes)) {}
  ~KeptLimit() { CFits::SetKeptInMemoryLimit(previous_); }

 private:
  std::uint64_t previous_;
};

class FitsKeptLargeTest : public FitsTest {
 protected:
  // A file whose SCI data unit (14400 bytes with padding) is above the lowered limit and
  // whose EVENTS table is below it; its time is set in the past, so that any later
  // write shows in the modification time.
  std::string PutLarge(const std::string& name) {
    const std::string path = Put(name, Primary(1) + large_.bytes + small_.bytes);
    const timespec past[2] = {{1600000000, 0}, {1600000000, 0}};
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
    return path;
  }
  std::string Tail() const { return large_.bytes + small_.bytes; }
  static bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  }

  KeptLimit limit_{4000};
  Hdu large_ = ImageExtension(100, 60);
  Hdu small_ = BinaryTableWithHeap();
};

TEST_F(FitsKeptLargeTest, LargeDataStayInTheSourceAndCopiesShareTheBytes) {
  const std::string source = PutLarge("large.fits");
  CRalImage img;
  ASSERT_EQ(CFits::Read(img, source, 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  ASSERT_EQ(img.m_KeptExtensions.size(), 2u);
  const CFitsKeptExtension& large = img.m_KeptExtensions[0];
  const CFitsKeptExtension& small = img.m_KeptExtensions[1];
  EXPECT_EQ(large.GetData(), nullptr);
  ASSERT_NE(large.GetSourceFile(), nullptr);
  EXPECT_EQ(large.GetDataLength(), 14400u);
  EXPECT_NE(small.GetData(), nullptr);
  EXPECT_EQ(small.GetSourceFile(), nullptr);

  const CImage constructed(img);
  CImage created;
  ASSERT_EQ(created.Create(img), 1);
  const CImage* const copies[] = {&constructed, &created};
  for (const CImage* copy : copies) {
    ASSERT_EQ(copy->m_KeptExtensions.size(), 2u);
    EXPECT_EQ(copy->m_KeptExtensions[0].GetSourceFile(), large.GetSourceFile());
    EXPECT_EQ(copy->m_KeptExtensions[0].GetHeader().data(), large.GetHeader().data());
    EXPECT_EQ(copy->m_KeptExtensions[1].GetData(), small.GetData());
  }

  // Another file renamed over the source leaves the bytes that were read where they were.
  const std::string other = Put("other.fits", Primary(1));
  ASSERT_EQ(::rename(other.c_str(), source.c_str()), 0);
  const std::string copy = dir_.File("copy.fits");
  ASSERT_EQ(CFits::Write(constructed, copy, nullptr, ""), FITS_OK);
  EXPECT_TRUE(EndsWith(ReadFileOrEmpty(copy), Tail()));
  // So does our own save over the source, and saving again after it.
  ASSERT_EQ(CFits::Write(img, source, nullptr, ""), FITS_OK);
  EXPECT_TRUE(EndsWith(ReadFileOrEmpty(source), Tail()));
  ASSERT_EQ(CFits::Write(img, copy, nullptr, ""), FITS_OK);
  EXPECT_TRUE(EndsWith(ReadFileOrEmpty(copy), Tail()));
}

TEST_F(FitsKeptLargeTest, SourceChangedInPlaceFailsTheSaveAndLeavesTheTarget) {
  struct Change {
    const char* name;
    off_t at;  // where bytes are written into the source
    std::string bytes;
  };
  const off_t sciData = static_cast<off_t>(Primary(1).size() + kRecord);
  const Change changes[] = {{"pixels rewritten", sciData + 100, "\x7f\x7f\x7f\x7f"},
                            {"bytes appended", -1, std::string(kRecord, '\0')},
                            {"same bytes written again", 0, "SIMPLE  =                    T"}};
  for (const Change& change : changes) {
    SCOPED_TRACE(change.name);
    const std::string source = PutLarge("inplace.fits");
    CRalImage img;
    ASSERT_EQ(CFits::Read(img, source, 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
    const int fd = ::open(source.c_str(), O_WRONLY | (change.at < 0 ? O_APPEND : 0));
    ASSERT_GE(fd, 0);
    const ssize_t n = change.at < 0
                          ? ::write(fd, change.bytes.data(), change.bytes.size())
                          : ::pwrite(fd, change.bytes.data(), change.bytes.size(), change.at);
    EXPECT_EQ(n, static_cast<ssize_t>(change.bytes.size()));
    ::close(fd);

    const std::string target = Put("target.fits", "what was there");
    EXPECT_EQ(CFits::Write(img, target, nullptr, ""), FITS_WRITE_FAILED);
    EXPECT_EQ(ReadFileOrEmpty(target), "what was there");
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      EXPECT_EQ(entry.path().filename().string().rfind(".target.fits", 0), std::string::npos)
          << "left behind: " << entry.path();
  }
}

class FitsKeptCutTest : public FitsTest {};

// A file that ends inside an extension, interpreted or kept, opens with the primary image
// and the whole extensions before it; the cut one is left out and noted with its place
// and name, and a save writes the rest.
TEST_F(FitsKeptCutTest, FileEndingInsideAnExtensionOpensWithoutIt) {
  const std::vector<Hdu> ext = Extensions();
  const char* const names[] = {"EVENTS", "SCI", "Vantorel Phot data", "CATALOG"};
  const std::string primary = Primary(1);
  std::string file = primary;
  std::vector<std::size_t> starts;
  for (const Hdu& h : ext) {
    starts.push_back(file.size());
    file += h.bytes;
  }
  // Every 331st byte, and in each extension: inside its first card, just after it (no
  // EXTNAME yet), at the end of its header record, inside its data, one byte short of
  // its data and with its data whole but no padding.
  std::vector<std::size_t> sizes;
  for (std::size_t size = primary.size(); size <= file.size(); size += 331) sizes.push_back(size);
  for (std::size_t i = 0; i < ext.size(); ++i) {
    const std::size_t o = starts[i], used = o + ext[i].used;
    for (std::size_t size : {o + 5, o + 80, o + kRecord, o + kRecord + 1, used - 1, used})
      sizes.push_back(size);
  }
  for (std::size_t size : sizes) {
    SCOPED_TRACE(size);
    // The extension the file ends inside (1-based), and how many come whole before it.
    int cut = 0;
    std::size_t whole = 0;
    for (std::size_t i = 0; i < ext.size(); ++i) {
      if (size >= starts[i] + ext[i].used)
        whole = i + 1;
      else if (size > starts[i] && cut == 0)
        cut = static_cast<int>(i) + 1;
    }
    CRalImage img;
    ASSERT_EQ(
        CFits::Read(img, Put("cut.fits", file.substr(0, size)), 1, 0, 0, 0, 0, nullptr, "", 0),
        FITS_OK);
    const FitsCutExtension noted = CFits::GetCutExtension();
    EXPECT_EQ(noted.number, cut);
    // The name shows once its card is in the file.
    if (cut > 0 && size >= starts[static_cast<std::size_t>(cut) - 1] + kRecord) {
      EXPECT_EQ(noted.name, names[cut - 1]);
    }
    EXPECT_EQ(img.m_FitsExtensions.size() + img.m_KeptExtensions.size(), whole);
    // Each kept extension is a whole one, at most short of its padding.
    for (const CFitsKeptExtension& kept : img.m_KeptExtensions) {
      std::string bytes(kept.GetHeader());
      bytes.append(reinterpret_cast<const char*>(kept.GetData()), kept.GetDataLength());
      EXPECT_TRUE(std::any_of(ext.begin(), ext.end(), [&](const Hdu& h) {
        return bytes.size() >= h.used && h.bytes.compare(0, bytes.size(), bytes) == 0;
      })) << kept.GetExtName();
    }
    ASSERT_EQ(CFits::Write(img, dir_.File("cut-copy.fits"), nullptr, ""), FITS_OK);
    EXPECT_EQ(ReadFileOrEmpty(dir_.File("cut-copy.fits")).size() % kRecord, 0u);
  }
  // A whole file notes nothing.
  CRalImage img;
  ASSERT_EQ(CFits::Read(img, Put("whole.fits", file), 1, 0, 0, 0, 0, nullptr, "", 0), FITS_OK);
  EXPECT_EQ(CFits::GetCutExtension().number, 0);
}

}  // namespace

// What unpacking a packed FITS file may cost the program: a decoding child caught in a
// damaged tile is stopped at the time limit and the file reported damaged; temporary files
// leave memory for the pager's swap folder beyond their share of its budget, content and
// holes intact, while the images read from them stay the plain file's; gzip streams keep
// no bytes a reader cannot use; tile tables that claim more than their heap holds are
// refused; and a packed save leaves nothing in its folder but its target.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/ralimage.h"
#include "fileio/fitssource.h"
#include "fileio/ralimageio.h"
#include "fits/fileiocodes.h"
#include "fits/fits.h"
#include "formats/fio/fileiomsg.h"
#include "formats/fitscomp/cfitsiolib.h"
#include "formats/fitscomp/fitscomp.h"
#include "formats/fitscomp/gzipstream.h"
#include "formats/fitscomp/tilelayout.h"
#include "imagemodel/vmmanager.h"
#include "platform/messagebox.h"
#include "platform/userprompts.h"
#include "tests/support/temp_dir.h"

namespace {

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
// A 16-bit image of w x h with values that compress but not to nothing.
std::string Image16(int w, int h, const std::vector<std::string>& extra = {}) {
  std::string head = Key("SIMPLE", "T") + Key("BITPIX", "16") + Key("NAXIS", "2") +
                     Key("NAXIS1", std::to_string(w)) + Key("NAXIS2", std::to_string(h));
  for (const std::string& card : extra) head += card;
  std::string data;
  for (int i = 0; i < w * h; ++i) {
    const int v = (i * 37 + i / w * 11) % 4001;
    data += static_cast<char>(v >> 8);
    data += static_cast<char>(v & 0xFF);
  }
  return Padded(head + Card("END"), ' ') + Padded(data, '\0');
}
// A binary table of one byte column, n rows of bytes that do not repeat simply.
std::string Table(std::size_t n) {
  std::string head = Card("XTENSION= 'BINTABLE'") + Key("BITPIX", "8") + Key("NAXIS", "2") +
                     Key("NAXIS1", "1") + Key("NAXIS2", std::to_string(n)) + Key("PCOUNT", "0") +
                     Key("GCOUNT", "1") + Key("TFIELDS", "1") + Key("TFORM1", "'1B      '");
  std::string data(n, '\0');
  std::uint32_t s = 99;
  for (char& c : data) c = static_cast<char>((s = s * 1664525u + 1013904223u) >> 24);
  return Padded(head + Card("END"), ' ') + Padded(data, '\0');
}

// Tile-compresses the primary image of plain into out with cfitsio and method (tiles of
// one row), as other programs' files are made.
void Compress(const std::string& plain, const std::string& out, int method) {
  const fitscomp::CfitsioApi* lib = fitscomp::Cfitsio();
  ASSERT_NE(lib, nullptr);
  int status = 0;
  fitsfile *in = nullptr, *packed = nullptr;
  ASSERT_EQ(lib->open_diskfile(&in, plain.c_str(), READONLY, &status), 0);
  ASSERT_EQ(lib->create_diskfile(&packed, out.c_str(), &status), 0);
  lib->set_compression_type(packed, method, &status);
  EXPECT_EQ(lib->img_compress(in, packed, &status), 0);
  lib->close_file(packed, &status);
  lib->close_file(in, &status);
  ASSERT_EQ(status, 0);
}

// The compressed table of a file made by Compress: its data start and row width, and the
// offset of a row's COMPRESSED_DATA descriptor (count, heap offset; 32 bits each).
struct TablePlace {
  std::size_t data = 0, width = 0, heap = 0;
};
TablePlace PlaceOf(const std::string& fz) {
  const std::size_t second = fz.find("XTENSION= 'BINTABLE'");
  EXPECT_NE(second, std::string::npos);
  auto value = [&](const std::string& key) {
    const std::size_t at = fz.find(Key(key, "").substr(0, 10), second);
    return static_cast<std::size_t>(std::stoull(fz.substr(at + 10, 20)));
  };
  EXPECT_NE(fz.find(Key("TTYPE1", "").substr(0, 10) + "'COMPRESSED_DATA", second),
            std::string::npos);
  std::size_t end = second;
  while (fz.compare(end, 8, "END     ") != 0) end += 80;
  TablePlace place;
  place.data = (end / 2880 + 1) * 2880;
  place.width = value("NAXIS1");
  place.heap = value("PCOUNT");
  return place;
}
std::uint32_t Get32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v = v << 8 | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
  return v;
}
void Set32(std::string& s, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    s[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

class PackedLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CVmManager::Restart();
    CRalImageIO::ClearLastError();
  }
  void TearDown() override {
    (void)fitscomp::SetInMemoryLimit(0);
    (void)fitscomp::SetUnpackTimeLimit(fitscomp::UnpackTimeLimit{});
    CVmManager::Restart();
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.File(name);
    WriteFileOrDie(path, bytes);
    return path;
  }
  static int Read(CRalImage& image, const std::string& path) {
    CReadParam param;
    param.SetFileType(FILETYPE_FITS);
    return CRalImageIO::ReadFile(image, path, &param, -64, nullptr);
  }
  static std::vector<double> Pixels(const CRalImage& image) {
    const int w = image.GetWidth(), h = image.GetHeight();
    std::vector<double> all(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (int r = 0; r < h; ++r)
      EXPECT_TRUE(image.GetPhysicalRow(r, 0, all.data() + static_cast<std::size_t>(r) * w));
    return all;
  }
  // The pixels of the file at path as the program opens it; empty when it does not.
  static std::vector<double> Opened(const std::string& path) {
    CRalImage image;
    if (Read(image, path) != 1) return {};
    return Pixels(image);
  }

  ScopedConfigHome home_;
  TempDir dir_;
  RecordingMessageBox box_;
  ScopedMessageBox scopedBox_{&box_};
  AcceptingPrompts accept_;
  ScopedUserPrompts scopedPrompts_{&accept_};
};

// ---- the time limit

// A GZIP_1 tile whose stream is cut in half sends cfitsio's tile reader round for ever:
// the child is stopped at the limit set, and the file is reported as damaged, once, with
// the damaged-file message. The whole file opens under the same limit as its plain self.
TEST_F(PackedLimitsTest, ChildCaughtInADamagedTileIsStoppedAtTheLimit) {
  const std::string plain = Write("plain.fits", Image16(96, 64));
  const std::string good = dir_.File("good.fits.fz");
  Compress(plain, good, GZIP_1);
  std::string bytes = ReadFileOrEmpty(good);
  const TablePlace place = PlaceOf(bytes);
  Set32(bytes, place.data, Get32(bytes, place.data) / 2);
  const std::string bad = Write("bad.fits.fz", bytes);

  (void)fitscomp::SetUnpackTimeLimit({300, 1u << 30});
  EXPECT_EQ(fitscomp::UnpackTimeLimitMs(1 << 20, 1 << 20), 300u);
  const std::vector<double> expected = Opened(plain);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(Opened(good), expected);

  box_.shown.clear();
  CRalImage image;
  EXPECT_EQ(Read(image, bad), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_COMPRESSED);
  ASSERT_EQ(box_.shown.size(), 1u);
  EXPECT_NE(box_.shown[0].text.find(kFioMsgCompressed), std::string::npos) << box_.shown[0].text;

  // The unpacking itself says that its time ran out.
  FitsSource source;
  ASSERT_EQ(ResolveFitsSource(bad, &source, FitsSourceRead::kStream), FIO_OK);
  ASSERT_NE(source.unpacking, nullptr);
  EXPECT_EQ(source.unpacking->Finish(), FIO_ERR_COMPRESSED);
  EXPECT_TRUE(source.unpacking->timedOut());
}

// ---- temporary files and the pager's budget

// A file in memory that is to hold more than its share moves to disk under the same
// descriptor and path, what it held and where its holes were intact.
TEST_F(PackedLimitsTest, TempFileMovesToDiskWithItsContentAndHoles) {
  (void)fitscomp::SetInMemoryLimit(1 << 20);
  EXPECT_EQ(fitscomp::InMemoryLimit(), 1u << 20);
  fitscomp::TempFile file;
  ASSERT_TRUE(file.CreateInMemory());
  ASSERT_TRUE(file.inMemory());
  const std::string head(5000, 'h'), tail(3000, 't');
  const std::uint64_t far = std::uint64_t{64} << 20;
  ASSERT_EQ(::pwrite(file.fd(), head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
  ASSERT_EQ(::pwrite(file.fd(), tail.data(), tail.size(), static_cast<off_t>(far)),
            static_cast<ssize_t>(tail.size()));
  const int fd = file.fd();
  const std::string path = file.path();
  EXPECT_TRUE(file.Reserve(512 << 10));
  EXPECT_TRUE(file.inMemory());
  ASSERT_TRUE(file.Reserve(2 << 20));
  EXPECT_FALSE(file.inMemory());
  EXPECT_EQ(file.fd(), fd);
  EXPECT_EQ(file.path(), path);
  struct stat st {};
  ASSERT_EQ(::fstat(file.fd(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), far + tail.size());
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, std::uint64_t{1} << 20);
  const std::string held = ReadFileOrEmpty(path);
  ASSERT_EQ(held.size(), far + tail.size());
  EXPECT_TRUE(held.substr(0, head.size()) == head);
  EXPECT_TRUE(held.substr(head.size(), 4096) == std::string(4096, '\0'));
  EXPECT_TRUE(held.substr(far) == tail);
}

// The image of a tile-compressed file larger than the share unpacks on disk, the units of
// a gzip-packed file beside its image likewise; either reads as the plain file does, and
// one within the share stays in memory.
TEST_F(PackedLimitsTest, LargeUnpackedFilesGoToDiskAndReadTheSame) {
  const std::string plainBytes = Image16(700, 500, {Key("EXTEND", "T")}) + Table(900000);
  const std::string plain = Write("plain.fits", plainBytes);
  const std::string fz = dir_.File("image.fits.fz"), gz = dir_.File("image.fits.gz");
  ASSERT_EQ(fitscomp::RiceCompressFile(plain, fz), FIO_OK);
  ASSERT_EQ(fitscomp::GzipFile(plain, gz), FIO_OK);
  const std::vector<double> expected = Opened(plain);
  ASSERT_EQ(expected.size(), 700u * 500u);

  for (const std::uint64_t limit : {std::uint64_t{256} << 10, std::uint64_t{64} << 20}) {
    (void)fitscomp::SetInMemoryLimit(limit);
    const bool small = limit > plainBytes.size();
    FitsSource tiles, packed, whole;
    ASSERT_EQ(ResolveFitsSource(fz, &tiles, FitsSourceRead::kStream), FIO_OK);
    ASSERT_NE(tiles.decompressed, nullptr);
    EXPECT_EQ(tiles.decompressed->inMemory(), small) << limit;
    EXPECT_EQ(tiles.unpacking->Finish(), FIO_OK);
    ASSERT_EQ(ResolveFitsSource(gz, &packed, FitsSourceRead::kStream), FIO_OK);
    ASSERT_NE(packed.unpacked, nullptr);
    EXPECT_EQ(packed.unpacked->inMemory(), small) << limit;
    ASSERT_EQ(ResolveFitsSource(gz, &whole, FitsSourceRead::kWhole), FIO_OK);
    EXPECT_EQ(whole.unpacked->inMemory(), small) << limit;
    EXPECT_TRUE(ReadFileOrEmpty(whole.unpacked->path()) == plainBytes);
    EXPECT_EQ(Opened(fz), expected) << limit;
    EXPECT_EQ(Opened(gz), expected) << limit;
  }
}

// ---- gzip streams

// Bytes behind the last unit that begin no extension are unpacked and counted but not
// kept, and the file opens as its plain self; a stream whose first header has no END in
// the records a reader reads is refused at once with the plain file's code.
TEST_F(PackedLimitsTest, GzipKeepsOnlyWhatAReaderUses) {
  const std::string image = Image16(40, 30);
  const std::string plain = Write("trailing.fits", image + std::string(8 << 20, '\0'));
  ASSERT_EQ(fitscomp::GzipFile(plain, dir_.File("trailing.fits.gz")), FIO_OK);
  fitscomp::TempFile out;
  ASSERT_TRUE(out.CreateInMemory());
  fitscomp::GzipHole hole;
  ASSERT_EQ(fitscomp::GunzipAroundImage(dir_.File("trailing.fits.gz"), out, &hole), FIO_OK);
  struct stat st {};
  ASSERT_EQ(::fstat(out.fd(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), image.size() + (8u << 20));
  EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, image.size() + 8192);
  EXPECT_EQ(Opened(dir_.File("trailing.fits.gz")), Opened(plain));

  const std::string text = Write("notfits", "hello" + std::string(2880 * 10001, '\0'));
  ASSERT_EQ(fitscomp::GzipFile(text, dir_.File("notfits.fits.gz")), FIO_OK);
  fitscomp::TempFile refused;
  ASSERT_TRUE(refused.CreateInMemory());
  EXPECT_EQ(fitscomp::GunzipAroundImage(dir_.File("notfits.fits.gz"), refused, &hole),
            FIO_ERR_FORMAT);
  CRalImage a, b;
  EXPECT_EQ(Read(a, text), 0);
  const int code = CRalImageIO::GetLastError();
  EXPECT_EQ(Read(b, dir_.File("notfits.fits.gz")), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), code);
}

// ---- tile tables

struct TableCase {
  const char* what;
  int method;
  int width;  // of the 64 rows of the image, one tile each
  // Changes the table of a file made with method; place is where its table lies.
  void (*damage)(std::string& fz, const TablePlace& place);
  const char* why;
};

class TileTableTest : public PackedLimitsTest, public ::testing::WithParamInterface<TableCase> {};

TEST_P(TileTableTest, IsRefusedBeforeAnyTileIsDecoded) {
  const std::string plain = Write("plain.fits", Image16(GetParam().width, 64));
  const std::string good = dir_.File("good.fits.fz");
  Compress(plain, good, GetParam().method);
  std::string bytes = ReadFileOrEmpty(good);
  GetParam().damage(bytes, PlaceOf(bytes));
  const std::string bad = Write("bad.fits.fz", bytes);
  fitscomp::TileLayout layout;
  std::string why;
  EXPECT_EQ(fitscomp::ReadTileLayout(good, 1, ~0ull, &layout, &why), FIO_OK) << why;
  EXPECT_EQ(fitscomp::ReadTileLayout(bad, 1, ~0ull, &layout, &why), FIO_ERR_COMPRESSED);
  EXPECT_NE(why.find(GetParam().why), std::string::npos) << why;
  CRalImage image;
  EXPECT_EQ(Read(image, bad), 0);
  EXPECT_EQ(CRalImageIO::GetLastError(), FIO_ERR_COMPRESSED);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TileTableTest,
    ::testing::Values(
        // Every row pointing at the first half of the heap: each within it, all together
        // 32 heaps' worth.
        TableCase{"SharedBytes", RICE_1, 96,
                  [](std::string& fz, const TablePlace& p) {
                    for (std::size_t row = 0; row < 64; ++row) {
                      Set32(fz, p.data + row * p.width, static_cast<std::uint32_t>(p.heap / 2));
                      Set32(fz, p.data + row * p.width + 4, 0);
                    }
                  },
                  "tiles claim more than the heap"},
        // 96 pixels of 16 bits take at least 4 bytes in RICE: the first pixel, then a code
        // length of 4 bits for each block of 32.
        TableCase{"RiceTileOfOneByte", RICE_1, 96,
                  [](std::string& fz, const TablePlace& p) { Set32(fz, p.data, 1); },
                  "tile 1: 1 bytes cannot hold 96 pixels in RICE_1"},
        // Deflate makes no more than 1032 bytes of one: 8000 bytes of pixels take 7.
        TableCase{"GzipTileOfTwoBytes", GZIP_1, 4000,
                  [](std::string& fz, const TablePlace& p) { Set32(fz, p.data + 9 * p.width, 2); },
                  "tile 10: 2 bytes cannot hold 4000 pixels in GZIP_1"}),
    [](const ::testing::TestParamInfo<TableCase>& info) { return std::string(info.param.what); });

// ---- packed saves

// A packed save leaves its target alone in the folder: the plain file it packs from and
// the packed file before the rename are temporaries of the target's, gone when it ends.
// ".vtl-fitscomp-*" files that earlier saves left go with it, unless one is held locked
// (a reader's file, made by TempFile::Create, is).
TEST_F(PackedLimitsTest, PackedSaveLeavesOnlyItsTarget) {
  const std::string folder = dir_.File("out");
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  WriteFileOrDie(folder + "/.vtl-fitscomp-Ab12Cd", std::string(4096, 'x'));
  fitscomp::TempFile held;
  ASSERT_TRUE(held.Create(folder));
  const std::string heldName = held.path().substr(folder.size() + 1);
  const std::string plain = Write("plain.fits", Image16(300, 200));
  CRalImage image;
  ASSERT_EQ(Read(image, plain), 1);
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, folder + "/a.fits.gz", 0), 1);
  ASSERT_EQ(CRalImageIO::WriteImageFile(image, folder + "/b.fits.fz", 0), 1);
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"a.fits.gz", "b.fits.fz", heldName}));
  std::vector<FitsHdu> units;
  EXPECT_EQ(ListFitsHdus(folder + "/b.fits.fz", &units), FITS_OK);
  EXPECT_EQ(Opened(folder + "/a.fits.gz"), Opened(plain));
  EXPECT_EQ(Opened(folder + "/b.fits.fz"), Opened(plain));
}

}  // namespace

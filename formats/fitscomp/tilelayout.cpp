// Reads a compressed image's table with our own card parser and pread, never through the
// decompressor: its descriptors (count and heap offset of each tile's bytes, 32-bit pairs
// for 'P' columns and 64-bit pairs for 'Q') are checked against the heap the table
// declares, which itself lies inside the file.
#include "formats/fitscomp/tilelayout.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fits/fileiocodes.h"
#include "fits/fitscards.h"
#include "fits/fitshdu.h"
#include "platform/files.h"

using namespace fitscards;

namespace fitscomp {

namespace {

const std::string* FindCard(const std::vector<std::string>& cards, std::string_view key) {
  for (const std::string& card : cards) {
    if (IsKeyword(card, "END")) break;
    if (IsKeyword(card, key) && card.size() >= 10 && card.compare(8, 2, "= ") == 0) return &card;
  }
  return nullptr;
}

std::string Keyed(const char* stem, int n) {
  return std::string(stem) + std::to_string(n);
}

std::string StringOf(const std::string& card) {
  std::string_view v = Trim(Value(card));
  if (v.empty() || v.front() != '\'') return std::string(v);
  v.remove_prefix(1);
  const std::size_t close = ClosingQuote(v);
  return std::string(TrimRight(v.substr(0, close == std::string_view::npos ? v.size() : close)));
}

// One column of the table: its width in a row, and for a variable-length column the
// size of the descriptor's count and offset (4 for 'P', 8 for 'Q') and of its elements.
struct Column {
  std::string name;
  std::uint64_t width = 0;
  int descriptor = 0;  // 0: a fixed column
  int element = 0;
};

// Parses a TFORM value ("1PB(4520)", "1QB", "D", "2J"). False for a form not in the
// standard.
bool ParseForm(std::string form, Column* column) {
  std::size_t i = 0;
  std::uint64_t repeat = 0;
  bool digits = false;
  while (i < form.size() && form[i] >= '0' && form[i] <= '9') {
    if (!MulOk(repeat, 10, &repeat) ||
        !AddOk(repeat, static_cast<unsigned>(form[i] - '0'), &repeat))
      return false;
    digits = true;
    ++i;
  }
  if (!digits) repeat = 1;
  if (i >= form.size()) return false;
  auto size = [](char type) -> int {
    switch (type) {
      case 'L':
      case 'B':
      case 'A':
        return 1;
      case 'I':
        return 2;
      case 'J':
      case 'E':
        return 4;
      case 'K':
      case 'D':
      case 'C':
        return 8;
      case 'M':
        return 16;
      default:
        return 0;
    }
  };
  const char type = form[i];
  if (type == 'P' || type == 'Q') {
    if (i + 1 >= form.size() || repeat > 1) return false;
    column->descriptor = type == 'P' ? 4 : 8;
    column->element = size(form[i + 1]);
    if (column->element == 0) return false;
    column->width = repeat * 2 * static_cast<std::uint64_t>(column->descriptor);
    return true;
  }
  if (type == 'X') {
    column->width = (repeat + 7) / 8;
    return true;
  }
  const int bytes = size(type);
  return bytes != 0 && MulOk(repeat, static_cast<std::uint64_t>(bytes), &column->width);
}

std::uint64_t BigEndian(const unsigned char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

int Refuse(std::string* why, const std::string& text) {
  if (why) *why = text;
  return FIO_ERR_COMPRESSED;
}

}  // namespace

int ReadTileLayout(const std::string& path, int hdu, std::uint64_t maxImageBytes,
                   TileLayout* layout, std::string* why) {
  *layout = TileLayout{};
  int raw = -1;
  if (int e = OpenRegularFile(path, raw)) return FioOpenCode(e);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{raw};
  std::vector<FitsHdu> hdus;
  if (ListFitsHdus(raw, &hdus) != 0 || hdu < 0 || hdu >= static_cast<int>(hdus.size()))
    return Refuse(why, "no such unit");
  const FitsHdu& unit = hdus[static_cast<std::size_t>(hdu)];
  if (!unit.compressed) return Refuse(why, "not a compressed image");
  std::vector<std::string> cards;
  if (ReadUnitCards(path, hdu, &cards) != 0) return Refuse(why, "header cannot be read");
  auto integer = [&](std::string_view key, std::int64_t fallback, bool* present = nullptr) {
    const std::string* card = FindCard(cards, key);
    if (present) *present = card != nullptr;
    return card ? Int64Value(*card) : fallback;
  };

  // The image.
  layout->bitpix = static_cast<int>(integer("ZBITPIX", 0));
  const int bitpix = layout->bitpix;
  if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != 64 && bitpix != -32 && bitpix != -64)
    return Refuse(why, "ZBITPIX " + std::to_string(bitpix));
  const std::int64_t naxis = integer("ZNAXIS", 0);
  if (naxis < 1 || naxis > 999) return Refuse(why, "ZNAXIS " + std::to_string(naxis));
  // Axes beyond the third must have length 1, as in an uncompressed image: the image is
  // then that of the first three. A longer one makes more than three dimensions.
  for (int i = 4; i <= naxis; ++i)
    if (integer(Keyed("ZNAXIS", i), 0) > 1) {
      if (why) *why = Keyed("ZNAXIS", i) + " above 1";
      return FIO_ERR_EXTRA_AXIS;
    }
  std::uint64_t pixels = 1, tilePixels = 1, tiles = 1;
  for (int i = 1; i <= naxis; ++i) {
    const std::int64_t n = integer(Keyed("ZNAXIS", i), 0);
    bool given = false;
    const std::int64_t t = integer(Keyed("ZTILE", i), i == 1 ? n : 1, &given);
    if (n <= 0) return Refuse(why, Keyed("ZNAXIS", i) + " not above 0");
    // A tile larger than the image would make the decompressor allocate for pixels that
    // are not there.
    if (t <= 0 || t > n) return Refuse(why, Keyed("ZTILE", i) + " " + std::to_string(t));
    layout->axes.push_back(n);
    layout->tile.push_back(t);
    const auto un = static_cast<std::uint64_t>(n), ut = static_cast<std::uint64_t>(t);
    if (!MulOk(pixels, un, &pixels) || !MulOk(tilePixels, ut, &tilePixels) ||
        !MulOk(tiles, (un + ut - 1) / ut, &tiles))
      return Refuse(why, "image size overflows");
  }
  const auto pixelBytes = static_cast<std::uint64_t>(std::abs(bitpix) / 8);
  if (!MulOk(pixels, pixelBytes, &layout->imageBytes) || layout->imageBytes > maxImageBytes)
    return Refuse(why, "image larger than allowed");
  layout->tileBytes = tilePixels * pixelBytes;
  layout->tiles = tiles;

  // The table: one row per tile, its heap behind the rows.
  const std::int64_t rowBytes = integer("NAXIS1", -1), rows = integer("NAXIS2", -1);
  const std::int64_t heapBytes = integer("PCOUNT", 0), fields = integer("TFIELDS", -1);
  if (rowBytes < 0 || rows < 0 || heapBytes < 0 || fields < 1 || fields > 999)
    return Refuse(why, "table axes");
  if (static_cast<std::uint64_t>(rows) != tiles)
    return Refuse(
        why, "table rows " + std::to_string(rows) + " for " + std::to_string(tiles) + " tiles");
  const std::uint64_t table =
      static_cast<std::uint64_t>(rowBytes) * static_cast<std::uint64_t>(rows);
  const std::int64_t theap = integer("THEAP", static_cast<std::int64_t>(table));
  std::uint64_t heapEnd = 0;
  if (theap < static_cast<std::int64_t>(table) ||
      !AddOk(table, static_cast<std::uint64_t>(heapBytes), &heapEnd) ||
      static_cast<std::uint64_t>(theap) > heapEnd || heapEnd > unit.dataBytes)
    return Refuse(why, "heap outside the data unit");

  std::vector<Column> columns;
  std::uint64_t width = 0;
  bool compressedColumn = false;
  for (int k = 1; k <= fields; ++k) {
    Column column;
    const std::string* form = FindCard(cards, Keyed("TFORM", k));
    if (!form || !ParseForm(StringOf(*form), &column))
      return Refuse(why, Keyed("TFORM", k) + " not understood");
    if (const std::string* name = FindCard(cards, Keyed("TTYPE", k))) column.name = StringOf(*name);
    if (column.name == "COMPRESSED_DATA") compressedColumn = column.descriptor != 0;
    if (!AddOk(width, column.width, &width)) return Refuse(why, "row width overflows");
    columns.push_back(std::move(column));
  }
  if (!compressedColumn) return Refuse(why, "no COMPRESSED_DATA column of descriptors");
  if (width != static_cast<std::uint64_t>(rowBytes))
    return Refuse(why, "columns take " + std::to_string(width) + " bytes of a " +
                           std::to_string(rowBytes) + "-byte row");

  // The tiles that can be decoded directly: RICE_1 integers of whole rows.
  const std::string* kind = FindCard(cards, "ZCMPTYPE");
  const std::string method = kind ? StringOf(*kind) : std::string();
  const bool rice = method == "RICE_1" || method == "RICE_ONE";
  const bool gzip = method == "GZIP_1" || method == "GZIP_2";
  layout->riceRows = method == "RICE_1" && bitpix > 0 && layout->tile[0] == layout->axes[0] &&
                     !FindCard(cards, "ZSCALE") && !FindCard(cards, "ZZERO");
  bool bytePixGiven = false;
  for (int i = 1; i <= 9; ++i) {
    const std::string* name = FindCard(cards, Keyed("ZNAME", i));
    if (!name) break;
    const std::int64_t value = integer(Keyed("ZVAL", i), -1);
    if (StringOf(*name) == "BLOCKSIZE") layout->blockSize = static_cast<int>(value);
    if (StringOf(*name) == "BYTEPIX") {
      layout->bytePix = static_cast<int>(value);
      bytePixGiven = true;
    }
  }
  // The fewest bytes a tile of n pixels can be put in. RICE codes each block of pixels in
  // at least the few bits of its code length, after the first pixel whole; deflate
  // expands no byte of its stream to more than 1032, and a GZIP tile holds at least one
  // byte per pixel of 8 bits, two of 16, four of anything wider (quantised reals are
  // 32-bit integers). 0: the method sets no such bound (HCOMPRESS, PLIO, none).
  // Without BYTEPIX the bound takes the narrowest pixels, whatever a decoder assumes.
  const int riceBytes = bytePixGiven ? layout->bytePix : 1;
  const int fsBits = riceBytes == 1 ? 3 : riceBytes == 2 ? 4 : 5;
  const bool riceBound = rice && (layout->blockSize == 16 || layout->blockSize == 32) &&
                         (riceBytes == 1 || riceBytes == 2 || riceBytes == 4);
  const std::uint64_t gzipBytesPerPixel =
      bitpix == 64 ? 8
                   : std::min<std::uint64_t>(static_cast<std::uint64_t>(std::abs(bitpix)) / 8, 4);
  auto fewestBytes = [&](std::uint64_t n) -> std::uint64_t {
    if (riceBound) {
      const std::uint64_t blocks = (n + static_cast<std::uint64_t>(layout->blockSize) - 1) /
                                   static_cast<std::uint64_t>(layout->blockSize);
      return (static_cast<std::uint64_t>(riceBytes) * 8 +
              blocks * static_cast<std::uint64_t>(fsBits) + 7) /
             8;
    }
    if (gzip) return n * gzipBytesPerPixel / 1032;
    return 0;
  };
  // The pixels of tile k (edge tiles are cut by the image's edges); axes beyond the
  // third have length 1.
  const std::size_t tiledAxes = std::min<std::size_t>(layout->axes.size(), 3);
  auto pixelsOfTile = [&](std::uint64_t k) {
    std::uint64_t n = 1;
    for (std::size_t i = 0; i < tiledAxes; ++i) {
      const auto axis = static_cast<std::uint64_t>(layout->axes[i]);
      const auto side = static_cast<std::uint64_t>(layout->tile[i]);
      const std::uint64_t across = (axis + side - 1) / side;
      const std::uint64_t at = k % across;
      k /= across;
      n *= std::min(side, axis - at * side);
    }
    return n;
  };
  if (layout->blockSize != 16 && layout->blockSize != 32) layout->riceRows = false;
  // Tiles must follow one another row after row through the planes, too.
  if (naxis >= 3 && (layout->tile[2] != 1 || layout->axes[1] % layout->tile[1] != 0))
    layout->riceRows = false;
  if (layout->bytePix != static_cast<int>(pixelBytes)) layout->riceRows = false;
  if (bitpix == 64) {
    // No decoder of cfitsio's takes these: our own, for the forms cfitsio's writers make.
    layout->riceRows = false;
    layout->gzipRows = method == "GZIP_1" ? 1 : method == "GZIP_2" ? 2 : 0;
    layout->bytePix = 8;
    if (!layout->gzipRows) return Refuse(why, "64-bit integers compressed with " + method);
    if (layout->tile[0] != layout->axes[0] ||
        (naxis >= 3 && (layout->tile[2] != 1 || layout->axes[1] % layout->tile[1] != 0)))
      return Refuse(why, "64-bit integers in tiles of part rows");
    if (FindCard(cards, "ZSCALE") || FindCard(cards, "ZZERO"))
      return Refuse(why, "64-bit integers with a scaling of the compression");
  }
  layout->heapStart = unit.dataStart + static_cast<std::uint64_t>(theap);
  if (layout->riceRows || layout->gzipRows) {
    layout->tileOffset.reserve(static_cast<std::size_t>(tiles));
    layout->tileLength.reserve(static_cast<std::size_t>(tiles));
  }

  // Every descriptor's bytes within the heap, read a run of rows at a time.
  const std::uint64_t heapSize = heapEnd - static_cast<std::uint64_t>(theap);
  layout->heapBytes = heapSize;
  const std::uint64_t perRead =
      std::max<std::uint64_t>(1, (std::uint64_t{1} << 16) / std::max<std::uint64_t>(width, 1));
  std::vector<unsigned char> buffer;
  for (std::uint64_t r = 0; r < tiles && width > 0; r += perRead) {
    const std::uint64_t n = std::min(perRead, tiles - r);
    buffer.resize(static_cast<std::size_t>(n * width));
    std::size_t got = 0;
    while (got < buffer.size()) {
      const ssize_t g = ::pread(raw, buffer.data() + got, buffer.size() - got,
                                static_cast<off_t>(unit.dataStart + r * width + got));
      if (g < 0 && errno == EINTR) continue;
      if (g <= 0) return Refuse(why, "table cannot be read");
      got += static_cast<std::size_t>(g);
    }
    for (std::uint64_t i = 0; i < n; ++i) {
      const unsigned char* row = buffer.data() + i * width;
      std::uint64_t at = 0;
      for (const Column& column : columns) {
        if (column.descriptor != 0) {
          const std::uint64_t count = BigEndian(row + at, column.descriptor);
          const std::uint64_t offset = BigEndian(row + at + column.descriptor, column.descriptor);
          std::uint64_t bytes = 0, end = 0;
          if (!MulOk(count, static_cast<std::uint64_t>(column.element), &bytes) ||
              !AddOk(offset, bytes, &end) || end > heapSize)
            return Refuse(why, "tile " + std::to_string(r + i + 1) + ": " + column.name + " of " +
                                   std::to_string(bytes) + " bytes at " + std::to_string(offset) +
                                   " outside a heap of " + std::to_string(heapSize));
          // Each tile's bytes are its own: together they fit in the heap.
          if (!AddOk(layout->storedBytes, bytes, &layout->storedBytes) ||
              layout->storedBytes > heapSize)
            return Refuse(
                why, "tiles claim more than the heap's " + std::to_string(heapSize) + " bytes");
          if (column.name == "COMPRESSED_DATA" && bytes > 0) {
            const std::uint64_t pixels = pixelsOfTile(r + i);
            if (bytes < fewestBytes(pixels))
              return Refuse(why, "tile " + std::to_string(r + i + 1) + ": " +
                                     std::to_string(bytes) + " bytes cannot hold " +
                                     std::to_string(pixels) + " pixels in " + method);
          }
          if (column.name == "COMPRESSED_DATA") {
            layout->largestTile = std::max(layout->largestTile, bytes);
            if (layout->riceRows || layout->gzipRows) {
              layout->tileOffset.push_back(offset);
              layout->tileLength.push_back(bytes);
            }
            // A tile kept another way goes through cfitsio.
            if (bytes == 0 || bytes > 0x7fffffffu) layout->riceRows = false;
            if ((bytes == 0 || bytes > 0x7fffffffu) && layout->gzipRows)
              return Refuse(why, "tile " + std::to_string(r + i + 1) +
                                     " of 64-bit integers not in COMPRESSED_DATA");
          } else if (bytes != 0) {
            layout->riceRows = false;
            if (layout->gzipRows)
              return Refuse(why, "tile " + std::to_string(r + i + 1) + " of 64-bit integers in " +
                                     column.name);
          }
        }
        at += column.width;
      }
    }
  }
  return FIO_OK;
}

std::vector<std::string> ImageCards(const std::vector<std::string>& tableCards, int bitpix) {
  static const char* const kExact[] = {"XTENSION", "BITPIX",  "NAXIS",  "PCOUNT",
                                       "GCOUNT",   "TFIELDS", "THEAP",  "EXTEND",
                                       "CHECKSUM", "DATASUM", "SIMPLE", "END"};
  static const char* const kNumbered[] = {"NAXIS", "TTYPE", "TFORM", "TUNIT", "TDIM",
                                          "TSCAL", "TZERO", "TNULL", "TDISP"};
  std::vector<std::string> out;
  for (const std::string& card : tableCards) {
    if (IsKeyword(card, "END")) break;
    const std::string key(
        TrimRight(std::string_view(card).substr(0, std::min<std::size_t>(8, card.size()))));
    if (key == "ZBLANK" && bitpix > 0) {
      out.push_back("BLANK   " + card.substr(std::min<std::size_t>(8, card.size())));
      continue;
    }
    bool table =
        std::any_of(std::begin(kExact), std::end(kExact), [&](const char* k) { return key == k; });
    for (const char* stem : kNumbered) {
      const std::size_t n = std::strlen(stem);
      if (key.size() > n && key.compare(0, n, stem) == 0 &&
          key.find_first_not_of("0123456789", n) == std::string::npos)
        table = true;
    }
    // The compression's own keywords.
    if (key.size() > 1 && key[0] == 'Z') table = true;
    if (!table) out.push_back(card);
  }
  return out;
}

}  // namespace fitscomp

// What the header and tile table of a tile-compressed image say, checked in this process
// before any decompressor is given the file: the image's pixel type and axes, the tiles
// it is cut into, and that every tile's descriptor points inside the table's heap. The
// decompressor trusts these numbers and allocates from them, so a lying header or
// descriptor must be caught here, where it costs a code rather than a child's memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fitscomp {

struct TileLayout {
  int bitpix = 0;                  // ZBITPIX
  std::vector<std::int64_t> axes;  // ZNAXISn
  std::vector<std::int64_t> tile;  // ZTILEn (the first axis whole and the others 1 when absent)
  std::uint64_t tiles = 0;         // how many tiles cover the image
  std::uint64_t imageBytes = 0;    // pixels × |ZBITPIX| / 8
  std::uint64_t tileBytes = 0;     // pixels of one whole tile × |ZBITPIX| / 8
  std::uint64_t largestTile = 0;   // the largest compressed tile, in bytes
  std::uint64_t heapBytes = 0;     // the heap the table declares
  std::uint64_t storedBytes = 0;   // every descriptor's bytes together: no more than the heap

  // The common case decoded without cfitsio's tile machinery: integers compressed with
  // RICE_1 in tiles of whole rows, every tile in COMPRESSED_DATA and nothing in other
  // columns of descriptors. Then the tiles' bytes lie at heapStart (in the file) plus
  // tileOffset[k], tileBytes[k] long.
  bool riceRows = false;
  int blockSize = 32;  // ZVAL of BLOCKSIZE
  int bytePix = 4;     // ZVAL of BYTEPIX
  // 64-bit integers, which cfitsio does not decode, are taken only so: tiles of whole rows
  // compressed with GZIP_1 (1) or GZIP_2 (2, the bytes shuffled by significance), every
  // tile in COMPRESSED_DATA; their bytes lie as those of riceRows do.
  int gzipRows = 0;
  std::uint64_t heapStart = 0;
  std::vector<std::uint64_t> tileOffset, tileLength;
};

// Reads the layout of the compressed image in unit hdu of the FITS file at path, and
// checks its table row by row. Returns 0, the open codes of the file, or 46 with *why
// saying what was wrong (for logs and tests) when the unit is no sound compressed image:
// a pixel type other than 8, 16, 32, 64, -32, -64 (64 not in gzipRows form), an axis not above
// 0, a tile axis not above 0 or above its image axis, a table whose rows are not the tiles,
// an image above maxImageBytes, a descriptor whose bytes lie outside the heap, descriptors
// that together claim more bytes than the heap holds (tiles sharing bytes: a small file
// standing for a huge image), or a tile compressed with GZIP or RICE in fewer bytes than
// those methods can put its pixels in. Axes beyond the third must have length 1; a longer
// one gives 47 (more than three dimensions).
[[nodiscard]] int ReadTileLayout(const std::string& path, int hdu, std::uint64_t maxImageBytes,
                                 TileLayout* layout, std::string* why = nullptr);

// The header cards of that unit that belong to the image (the table's and the
// compression's own left out, ZBLANK of an integer image turned into BLANK), without END.
std::vector<std::string> ImageCards(const std::vector<std::string>& tableCards, int bitpix);

}  // namespace fitscomp

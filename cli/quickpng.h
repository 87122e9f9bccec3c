// The PNG of render's quick setting, written without libpng's single compressing thread:
// every row filtered Up, then compressed at zlib level 1 in pieces of a fixed number of
// rows, many pieces at a time on the row pool. Each piece is a run of deflate blocks
// ended on a byte boundary, so that the pieces put one after the other make one zlib
// stream. The pieces depend on the picture's width only, never on the threads, so the
// file is the same byte for byte however many threads made it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

class QuickPngWriter {
 public:
  // A grey (one byte a pixel) or RGB (three) picture of width × height, written to f.
  QuickPngWriter(std::FILE* f, int width, int height, bool grey);

  // The next count rows, top to bottom, each width × (1 or 3) bytes, one after another.
  // False once a write has failed.
  bool AddRows(const std::uint8_t* rows, int count);
  // Writes what is left and the file's end; false when a write failed or rows are missing.
  bool Finish();

  // Rows in one piece for a row of rowBytes (the filter byte not counted).
  static int PieceRows(std::size_t rowBytes);

 private:
  void Compress(int rows, bool last);
  void Chunk(const char* type, const std::uint8_t* data, std::size_t n);

  std::FILE* file_;
  int height_;
  std::size_t rowBytes_;
  int pieceRows_;
  int rowsIn_ = 0;
  bool ok_ = true;
  bool started_ = false;
  std::uint32_t adler_ = 1;
  std::vector<std::uint8_t> previous_;  // the last row taken, unfiltered
  std::vector<std::uint8_t> pending_;   // filtered rows (filter byte first) not yet compressed
  int pendingRows_ = 0;
};

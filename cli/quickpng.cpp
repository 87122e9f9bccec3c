#include "cli/quickpng.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "imagemodel/rowpool.h"

namespace {

// About 256 KB of filtered rows a piece: large enough that starting each piece without
// the previous one's history costs well under one per cent of the size, small enough
// that a picture of a few megabytes still makes pieces for every thread.
constexpr std::size_t kPieceBytes = std::size_t{256} << 10;
// Pieces gathered before they are compressed together.
constexpr int kBatchPieces = 16;
constexpr std::uint8_t kFilterUp = 2;

void PutBig32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

struct Piece {
  std::vector<std::uint8_t> bytes;
  std::uint32_t adler = 1;
  std::size_t length = 0;  // filtered bytes in
  bool ok = false;
};

// Deflates one piece as raw deflate blocks: ended by a sync flush (an empty stored block,
// so the next piece starts on a byte boundary), or by the final block for the last.
void Deflate(const std::uint8_t* in, std::size_t n, bool last, Piece* piece) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return;
  piece->bytes.resize(deflateBound(&z, static_cast<uLong>(n)) + 16);
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(n);
  z.next_out = piece->bytes.data();
  z.avail_out = static_cast<uInt>(piece->bytes.size());
  const int rc = deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH);
  piece->ok = (last ? rc == Z_STREAM_END : rc == Z_OK) && z.avail_in == 0;
  piece->bytes.resize(piece->bytes.size() - z.avail_out);
  deflateEnd(&z);
  piece->adler = static_cast<std::uint32_t>(adler32(1, in, static_cast<uInt>(n)));
  piece->length = n;
}

}  // namespace

int QuickPngWriter::PieceRows(std::size_t rowBytes) {
  return static_cast<int>(std::max<std::size_t>(1, kPieceBytes / (rowBytes + 1)));
}

QuickPngWriter::QuickPngWriter(std::FILE* f, int width, int height, bool grey)
    : file_(f),
      height_(height),
      rowBytes_(static_cast<std::size_t>(width) * (grey ? 1 : 3)),
      pieceRows_(PieceRows(rowBytes_)),
      previous_(rowBytes_, 0) {
  static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  ok_ = std::fwrite(kSignature, 1, sizeof kSignature, file_) == sizeof kSignature;
  std::uint8_t ihdr[13];
  PutBig32(ihdr, static_cast<std::uint32_t>(width));
  PutBig32(ihdr + 4, static_cast<std::uint32_t>(height));
  ihdr[8] = 8;              // bits a sample
  ihdr[9] = grey ? 0 : 2;   // grey or RGB
  ihdr[10] = ihdr[11] = 0;  // deflate; adaptive filtering
  ihdr[12] = 0;             // not interlaced
  Chunk("IHDR", ihdr, sizeof ihdr);
}

bool QuickPngWriter::AddRows(const std::uint8_t* rows, int count) {
  if (!ok_ || count <= 0) return ok_;
  if (count > height_ - rowsIn_) return ok_ = false;
  const std::size_t filtered = rowBytes_ + 1;
  const std::size_t at = static_cast<std::size_t>(pendingRows_) * filtered;
  pending_.resize(at + static_cast<std::size_t>(count) * filtered);
  std::uint8_t* out = pending_.data() + at;
  const std::uint8_t* before = previous_.data();
  const std::size_t n = rowBytes_;
  rowpool::Run(count, std::max(1, static_cast<int>((1 << 16) / filtered)), [&](int b, int e) {
    for (int y = b; y < e; ++y) {
      const std::uint8_t* row = rows + static_cast<std::size_t>(y) * n;
      const std::uint8_t* up = y == 0 ? before : row - n;
      std::uint8_t* o = out + static_cast<std::size_t>(y) * filtered;
      o[0] = kFilterUp;
      for (std::size_t x = 0; x < n; ++x) o[x + 1] = static_cast<std::uint8_t>(row[x] - up[x]);
    }
  });
  std::memcpy(previous_.data(), rows + static_cast<std::size_t>(count - 1) * n, n);
  pendingRows_ += count;
  rowsIn_ += count;
  const int batch = pieceRows_ * kBatchPieces;
  if (pendingRows_ >= batch) Compress(pendingRows_ / pieceRows_ * pieceRows_, false);
  return ok_;
}

// Compresses the first rows of the pending ones, piece by piece on the row pool, and
// writes them out in order; with last, every pending row, the final piece ending the
// deflate stream, followed by the stream's check value and the file's end.
void QuickPngWriter::Compress(int rows, bool last) {
  const std::size_t filtered = rowBytes_ + 1;
  const int pieces = std::max(1, (rows + pieceRows_ - 1) / pieceRows_);
  std::vector<Piece> out(static_cast<std::size_t>(pieces));
  rowpool::Run(pieces, 1, [&](int b, int e) {
    for (int k = b; k < e; ++k) {
      const int from = k * pieceRows_;
      const int to = std::min(rows, from + pieceRows_);
      Deflate(pending_.data() + static_cast<std::size_t>(from) * filtered,
              static_cast<std::size_t>(std::max(0, to - from)) * filtered, last && k == pieces - 1,
              &out[static_cast<std::size_t>(k)]);
    }
  });
  for (Piece& piece : out) {
    if (!piece.ok) {
      ok_ = false;
      return;
    }
    adler_ = static_cast<std::uint32_t>(
        adler32_combine(adler_, piece.adler, static_cast<z_off_t>(piece.length)));
    if (!started_) {
      // The zlib header: deflate with a 32 KB window, the fastest level.
      piece.bytes.insert(piece.bytes.begin(), {0x78, 0x01});
      started_ = true;
    }
    if (last && &piece == &out.back()) {
      std::uint8_t check[4];
      PutBig32(check, adler_);
      piece.bytes.insert(piece.bytes.end(), check, check + 4);
    }
    Chunk("IDAT", piece.bytes.data(), piece.bytes.size());
  }
  const std::size_t used = static_cast<std::size_t>(rows) * filtered;
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
  pendingRows_ -= rows;
}

bool QuickPngWriter::Finish() {
  if (!ok_ || rowsIn_ != height_) return false;
  Compress(pendingRows_, true);
  if (ok_) Chunk("IEND", nullptr, 0);
  return ok_;
}

void QuickPngWriter::Chunk(const char* type, const std::uint8_t* data, std::size_t n) {
  if (!ok_) return;
  std::uint8_t head[8];
  PutBig32(head, static_cast<std::uint32_t>(n));
  std::memcpy(head + 4, type, 4);
  uLong crc = crc32(0, head + 4, 4);
  if (n) crc = crc32(crc, data, static_cast<uInt>(n));
  std::uint8_t tail[4];
  PutBig32(tail, static_cast<std::uint32_t>(crc));
  ok_ = std::fwrite(head, 1, 8, file_) == 8 && (n == 0 || std::fwrite(data, 1, n, file_) == n) &&
        std::fwrite(tail, 1, 4, file_) == 4;
}

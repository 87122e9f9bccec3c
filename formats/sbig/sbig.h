// SBIG camera files: the old ST-4 frame (192 × 165 bytes and a 192-byte trailer) and the
// later files with a 2048-byte text header and 16-bit pixels, plain or with one
// difference-coded record per row. Reading keeps every header line as a tagged COMMENT
// card ("COMMENT [ST7]Exposure = 100"); writing rebuilds the text header from those cards,
// so an SBIG image can be processed and saved again as the same kind of file.
#pragma once

#include <string>
#include <string_view>

class CImage;
class ProgressSink;

// Results of reading and writing. A name that is no regular file gives the file I/O
// codes for it instead (FIO_ERR_FOLDER, FIO_ERR_NOT_REGULAR, FIO_ERR_LINK_LOOP).
inline constexpr int SBG_OK = 0;
inline constexpr int SBG_ERR_CREATE = 2;    // the file cannot be created
inline constexpr int SBG_ERR_OPEN = 3;      // the file cannot be opened
inline constexpr int SBG_ERR_SHORT = 4;     // the file is too short
inline constexpr int SBG_ERR_WRITE = 5;     // writing or closing failed
inline constexpr int SBG_ERR_MEMORY = 6;    // memory exhausted
inline constexpr int SBG_ERR_FORMAT = 7;    // no SBIG file, no Width or Height, bad rows
inline constexpr int SBG_ERR_VERSION = 17;  // unsupported file or data version
inline constexpr int SBG_ERR_HEADER = 18;   // the header cannot be rebuilt from the image

// The type word: one bit per camera, and a bit for compressed rows.
inline constexpr int SBIG_ST4 = 1;
inline constexpr int SBIG_ST4X = 2;
inline constexpr int SBIG_ST5 = 4;
inline constexpr int SBIG_ST6 = 8;
inline constexpr int SBIG_ST7 = 16;
inline constexpr int SBIG_ST8 = 32;
inline constexpr int SBIG_ST5C = 64;
inline constexpr int SBIG_ST237 = 128;
inline constexpr int SBIG_ST9 = 256;
inline constexpr int SBIG_ST10 = 512;
inline constexpr int SBIG_STV = 1024;
inline constexpr int SBIG_ST1K = 2048;
inline constexpr int SBIG_ST2K = 4096;
inline constexpr int SBIG_SBIG = 8192;
inline constexpr int SBIG_COMPRESSED = 0x8000;

// Sizes of the two layouts.
inline constexpr int kSbigHeaderSize = 2048;
inline constexpr int kSbigST4Width = 192;
inline constexpr int kSbigST4Height = 165;
inline constexpr int kSbigST4FileSize = 31872;
inline constexpr int kSbigST4TrailerOffset = 31680;

// Texts of the format names.
inline constexpr std::string_view kSbigCompressedText = "(圧縮)";
inline constexpr std::string_view kSbigPlainText = "(無圧縮)";

class CSbig {
 public:
  // Reads pixels, FITS cards and tagged cards. 0 or an error code.
  [[nodiscard]] static int Read(CImage& image, const std::string& path,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // Geometry, levels and FITS cards only.
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path,
                                      ProgressSink* progress = nullptr,
                                      const std::string& caption = {});
  // Writes an SBIG file of the type (SBIG_COMPRESSED for difference-coded rows) through a
  // temporary file renamed over path. ST-4 takes an 8-bit image of 192 × 165, the other
  // types a 16-bit image of one plane.
  [[nodiscard]] static int Write(const CImage& image, const std::string& path, int type,
                                 ProgressSink* progress = nullptr, const std::string& caption = {});

  // The camera type of an image from its tagged cards; 0 when it has none.
  static int GetSbigType(const CImage& image);
  // False only for ST-4 when the image is no longer 192 × 165.
  static bool IsWritable(const CImage& image, int type);
  // Whether a file extension (without the dot, case ignored) suits a type.
  static bool IsSbigType(int type, std::string_view extension);
  // 1 when a format name says the rows were compressed.
  static int GetSbigCompression(std::string_view formatName);
  // The name of a type ("ST-7 Series"), without the compression text; empty when unknown.
  static std::string GetTypeString(int type);
};

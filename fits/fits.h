// CFits: reading and writing FITS files. The reader fills a CImage from the primary
// header, the primary data array (one plane, or three planes picked from a cube), the
// level keywords this program writes, the world-coordinate keywords in the CD, PC and
// old-style PCiiijjj conventions and the table extensions that carry the measurement
// results; the writer composes a header from the image's attributes and writes header,
// data and extensions. Every operation is static and returns a result code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fits/fileiocodes.h"
#include "imagemodel/fitsheader.h"
#include "imagemodel/pixelfold.h"

class AtomicFile;
class CImage;
class ProgressSink;

// ---- result codes of the reader and the writer (0 is success)
inline constexpr int FITS_OK = 0;
inline constexpr int FITS_CREATE_FAILED = 2;       // the file cannot be created
inline constexpr int FITS_OPEN_FAILED = 3;         // the file cannot be opened
inline constexpr int FITS_READ_FAILED = 4;         // a read failed or came short
inline constexpr int FITS_WRITE_FAILED = 5;        // a write failed
inline constexpr int FITS_NO_MEMORY = 6;           // the pixel store cannot be allocated
inline constexpr int FITS_INVALID_IMAGE = 7;       // invalid or unsupported image or extension
inline constexpr int FITS_INVALID_CARD = 17;       // a header card is invalid
inline constexpr int FITS_NO_MORE_EXTENSION = 28;  // extension loop: nothing further to read
inline constexpr int FITS_FOREIGN_EXTENSION = 29;  // extension loop: an extension not read
// A name that is no regular file, to read or to save over, has the file I/O codes for it.
inline constexpr int FITS_IS_FOLDER = FIO_ERR_FOLDER;         // a folder
inline constexpr int FITS_NOT_REGULAR = FIO_ERR_NOT_REGULAR;  // a device, a FIFO, a socket
inline constexpr int FITS_LINK_LOOP = FIO_ERR_LINK_LOOP;      // symbolic links in a loop
// An axis beyond the third that is longer than 1: the image has more than three
// dimensions. (Further axes of length 1 are read as the image of the first three.)
inline constexpr int FITS_EXTRA_AXIS = FIO_ERR_EXTRA_AXIS;

// ---- texts, named by their string ids
inline constexpr int IDS_FITS_LEVEL_MIN_KEY = 18000;
inline constexpr std::string_view kFitsLevelMinKey = "SI-LMIN%d";
inline constexpr int IDS_FITS_LEVEL_MAX_KEY = 18001;
inline constexpr std::string_view kFitsLevelMaxKey = "SI-LMAX%d";
inline constexpr int IDS_FITS_MIN_COMMENT = 18002;
inline constexpr std::string_view kFitsMinComment = " / MINIMUM LEVEL";
inline constexpr int IDS_FITS_MAX_COMMENT = 18003;
inline constexpr std::string_view kFitsMaxComment = " / MAXIMUM LEVEL";
inline constexpr int IDS_FITS_MIN_COMMENT_R = 18004;
inline constexpr std::string_view kFitsMinCommentR = " / MINIMUM LEVEL FOR R-PLANE";
inline constexpr int IDS_FITS_MAX_COMMENT_R = 18005;
inline constexpr std::string_view kFitsMaxCommentR = " / MAXIMUM LEVEL FOR R-PLANE";
inline constexpr int IDS_FITS_MIN_COMMENT_G = 18006;
inline constexpr std::string_view kFitsMinCommentG = " / MINIMUM LEVEL FOR G-PLANE";
inline constexpr int IDS_FITS_MAX_COMMENT_G = 18007;
inline constexpr std::string_view kFitsMaxCommentG = " / MAXIMUM LEVEL FOR G-PLANE";
inline constexpr int IDS_FITS_MIN_COMMENT_B = 18008;
inline constexpr std::string_view kFitsMinCommentB = " / MINIMUM LEVEL FOR B-PLANE";
inline constexpr int IDS_FITS_MAX_COMMENT_B = 18009;
inline constexpr std::string_view kFitsMaxCommentB = " / MAXIMUM LEVEL FOR B-PLANE";
inline constexpr int IDS_FITS_SITYPE_RGB = 18010;
inline constexpr std::string_view kFitsSiTypeRgb =
    "SI-TYPE = 'RGB     '           / COLOR FORMAT IN ORDER R-G-B";
inline constexpr int IDS_FITS_PARAM_RULE = 18011;
inline constexpr std::string_view kFitsParamRule =
    "COMMENT   -------------------------------------------------------------";
inline constexpr int IDS_FITS_PARAM_TITLE = 18012;
inline constexpr std::string_view kFitsParamTitle =
    "COMMENT                  PARAMETERS FOR Vantorel";
inline constexpr int IDS_FITS_PARAM_RULE_END = 18013;
inline constexpr std::string_view kFitsParamRuleEnd = kFitsParamRule;
inline constexpr int IDS_FITS_FORMAT_NAME = 18014;
inline constexpr std::string_view kFitsFormatName = "FITS";
inline constexpr int IDS_FITS_MATRIX_MISMATCH = 18015;
inline constexpr std::string_view kFitsMatrixMismatch =
    "FITSキーワードのCDi_j、PCi_j、PCiiijjjのいずれかが混在しています。\n"
    "それぞれの値を検証した結果、整合性がありません。\n"
    "データ提供者等にご確認ください。\n\n"
    "%sキーワードを採用して開きます。";
inline constexpr int IDS_FITS_CD_NAME = 18016;
inline constexpr std::string_view kFitsCdName = "CDi_j";
inline constexpr int IDS_FITS_PC_NAME = 18017;
inline constexpr std::string_view kFitsPcName = "PCi_j";

// The setting that keeps unplaced cards live, in section "IO" (yes/no, default no).
inline constexpr const char* kFitsKeepCardsSection = "IO";
inline constexpr const char* kFitsKeepCardsName = "KeepCards";

// The banner above the cards that a save turned into comments.
inline constexpr std::string_view kFitsCommentOutBanner =
    "COMMENT          COMMENT OUT BY Vantorel ON ";

// An extension that reading left out because the file ends inside its header or its
// data unit: its place among the file's extensions (1 for the first; 0: none was left
// out) and its EXTNAME, without quotes, when the part read shows one.
struct FitsCutExtension {
  int number = 0;
  std::string name;
};

// What a read waits on when the file's data are still being written while it reads them
// (an image being unpacked into the file by other processes).
class FitsDataGate {
 public:
  virtual ~FitsDataGate() = default;
  // Returns when the file's bytes before end are written; false when they never will be.
  virtual bool WaitFor(std::uint64_t end) = 0;
  // Whether the data are written in this machine's byte order rather than FITS's
  // big-endian one, so that the read takes them without turning their bytes.
  virtual bool NativeOrder() const { return false; }
  // Reads the n bytes of data at offset into buffer itself when it holds them rather
  // than the file: 1 when read, 0 when they cannot be had, -1 when the file has them.
  virtual int Supply(void* /*buffer*/, std::size_t /*n*/, std::uint64_t /*offset*/) { return -1; }
};

class CFits {
 public:
  // The text of a string id above; empty for an unknown id.
  static std::string_view LoadString(int id);
  // A short description of a result code, for logs and the command-line tool.
  static std::string_view ResultText(int code);

  // ---- reading
  // Reads the whole file into image. isSigned becomes the image's signed flag. For a
  // file of several planes, color non-zero reads file planes plane0, plane1, plane2
  // (0-based) as red, green and blue, color 0 reads file plane plane0 alone; a file of one
  // plane is read as it is. skipExtensions non-zero leaves the extensions unread.
  // foldBits -32 or -64 folds the scaling into the pixels as they are read, with the
  // result of CImage::FoldPhysical(foldBits) but without the stored copy in memory.
  // A file of 64-bit integers is always read into doubles (GetInt64Rounded tells when
  // that rounds), and is saved as doubles.
  // hdu non-zero reads that image extension (see ListFitsHdus) instead of the primary
  // array, with the primary header's keywords it lacks and without the file's other units.
  [[nodiscard]] static int Read(CImage& image, const std::string& path, int isSigned, int color,
                                int plane0, int plane1, int plane2, ProgressSink* progress,
                                const std::string& caption, int skipExtensions, int foldBits = 0,
                                int hdu = 0);
  // The extension that the last Read on this thread left out because the file ends
  // inside it; the rest of the file was read as usual. Reading never shows a message
  // itself: the caller tells the user.
  static FitsCutExtension GetCutExtension();
  // The extensions whose headers the last Read on this thread could not parse (a damaged
  // XTENSION card, no END, no cards that size the data), with their places and names as
  // for a cut extension. Each was kept as the bytes it stands in, up to the next extension
  // or the end of the file, and a save copies them unchanged; the caller tells the user.
  static std::vector<FitsCutExtension> GetDamagedExtensions();
  // Appends the system's own measurement tables among the units of the FITS file at path
  // (the photometry, rectangle photometry and positioning tables; every unit but the
  // primary and exceptUnit) to the image's interpreted extensions, as a read of the
  // primary array would take them: an image read from an extension then keeps them when
  // it is saved. Other units, images and other programs' tables, stay in the file. A
  // table that cannot be interpreted is left out. Returns 0, or the open and listing codes.
  [[nodiscard]] static int ReadOwnTables(CImage& image, const std::string& path, int exceptUnit);
  // Whether the last Read on this thread took a file of 64-bit integers (BITPIX 64, read
  // into doubles with the scaling folded in) some of whose values doubles do not hold
  // exactly: magnitudes above 2^53 come in rounded to the nearest double.
  static bool GetInt64Rounded();
  // Reads of pixel data on this thread wait on gate (null: none) before each run of rows;
  // a gate that fails ends the read with 4. Returns the previous gate.
  static FitsDataGate* SetDataGate(FitsDataGate* gate);
  // Reads the primary header alone (with hdu, that image extension's, as Read does): 0,
  // 3, 4, 7, 17 or 47. showMessages non-zero lets the disagreeing-matrix warning be shown.
  // Axes beyond the third of length 1 are accepted (the image is that of the first three;
  // their coordinate cards stay in the header as cards); a longer one gives 47.
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path, int showMessages,
                                      int hdu = 0);
  // Interprets one card as the header reader does and, unless it is refused, appends it
  // to the image's header. Returns 0, 7 or 17.
  static int UpdateHeader(CImage& image, std::string_view card);
  // The data-array step, for readers that share the FITS layout: fd is positioned at the
  // data start; the image's geometry and pixel type say what to read. Rows are
  // byte-reversed when reverseBytes is set; bottomUp non-zero puts the first file row at
  // the last image row. Afterwards fd is positioned behind the data. Returns 0, 4, 6 or 7.
  [[nodiscard]] static int ReadImage(CImage& image, int fd, int reverseBytes, int bottomUp,
                                     int color, int plane0, int plane1, int plane2,
                                     ProgressSink* progress, const std::string& caption);
  // Takes the world coordinates kept in row `row` of extension `extension` (a table with
  // one row per plane, columns named after the keywords). 0 when there is no such
  // extension or it holds no data.
  static int UpdateHeaderWCS(CImage& image, int extension, int row);
  // The index of the first extension that carries world coordinates, or -1.
  static int WCSFromExtension(const CImage& image);
  // Extensions the reader does not interpret are kept byte for byte; a data unit larger
  // than this many bytes (32 MiB unless changed) is not read into memory but copied from
  // the source file, kept open, when the image is saved. Returns the previous limit.
  static std::uint64_t SetKeptInMemoryLimit(std::uint64_t bytes);

  // ---- writing
  // Writes the image as a FITS file: header, data array, extensions. The file is written
  // beside the target and renamed over it only when everything was written and flushed;
  // on failure the target stays as it was. A kept extension whose source file was changed
  // in place since it was read fails the save (5) rather than write other bytes. Returns
  // 0, 2 or 5. With form, the pixels are written in that stored type, scaling and blank
  // value, converted row by row as they go out (CImage::StoreRow); the caller has made
  // sure they fit it (CImage::CheckStoredForm).
  [[nodiscard]] static int Write(const CImage& image, const std::string& path,
                                 ProgressSink* progress, const std::string& caption,
                                 const StoredForm* form = nullptr);
  // Write into a file the caller opened, left uncommitted: the header, data array and
  // extensions are in file's temporary, which the caller commits, or reads and discards
  // (a packed save compresses it into another). Returns 0 or 5.
  [[nodiscard]] static int WriteInto(const CImage& image, AtomicFile& file, ProgressSink* progress,
                                     const std::string& caption, const StoredForm* form = nullptr);
  // Keywords the composition does not place (FILTER, GAIN, IMAGETYP, ...): kept as live
  // cards after the placed groups, before the parameter block (true), or commented out
  // (false). The setting "KeepCards" of section "IO" decides (default no) unless a
  // caller overrides it for the process: 1 keep, 0 comment out, -1 the setting again.
  // Keywords that describe the data or its geometry (NAXISn, the world coordinates,
  // CHECKSUM, DATAMIN, ...) and cards that are not valid FITS are commented out anyway.
  static void SetKeepCardsOverride(int keep);
  static bool GetKeepCards();
  // Every card of the primary header that Write would write, "END" last. The image's
  // own header is not changed.
  static CFitsHeader FormatHeader(const CImage& image, const StoredForm* form = nullptr);
  // The three steps of Write; each returns 0 or 5.
  [[nodiscard]] static int WriteHeader(const CImage& image, AtomicFile& file,
                                       const StoredForm* form = nullptr);
  [[nodiscard]] static int WriteImage(const CImage& image, AtomicFile& file, int reverseBytes,
                                      int pad, int bottomUp, ProgressSink* progress,
                                      const std::string& caption, const StoredForm* form = nullptr);
  // The interpreted extensions (m_FitsExtensions), then the kept ones in their order.
  [[nodiscard]] static int WriteExtension(const CImage& image, AtomicFile& file);

 protected:
  // Byte order, for the readers that share FITS conventions: 16-bit pixels swap two
  // bytes, 32-bit and -32 reverse four, -64 reverse eight, 8-bit stay as they are.
  static void ByteSwap(std::uint8_t& a, std::uint8_t& b);
  static void ReverseByteOrderBuffer(void* buffer, int bits, std::size_t count);
  // One row of one plane, or every row of every plane; 0 when a row cannot be reached.
  static int ReverseByteOrderLine(CImage& image, int row, int plane);
  static int ReverseByteOrderPage(CImage& image);
};

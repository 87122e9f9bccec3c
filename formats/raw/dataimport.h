// Data import: a text file that starts with FITS header cards (80-character records up to
// an END card) and continues with numbers as text becomes a 32-bit float image. The
// layout answers are those of the import dialogs; the command line passes them as flags.
// Nothing here shows anything: results are codes, and DataImportText gives their words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CImage;

// How the numbers lie in the text.
struct DataImportLayout {
  int kind = 0;         // 0 imaging data, 1 spectral data
  double bscale = 1.0;  // BSCALE and BZERO given to the image
  double bzero = 0.0;
  std::string author;     // AUTHOR given to the image (at most 50 characters)
  int fieldLength = 0;    // bytes of one number, for fixed-length fields
  int delimit = 0;        // 0 fixed-length fields, 1 a separator character, 2 tabs
  int sequence = 0;       // 0 along rows, 1 down columns
  std::string separator;  // the separator characters for delimit 1
  int lineEnds = 0;       // 0 CR and LF end a number, 1 they are skipped as if absent
};

// Results. Codes below 100 are those of the file and FITS header readers; the
// others are the ids of the texts that explain them.
inline constexpr int DIMP_OK = 0;
inline constexpr int DIMP_ERR_SHORT_DATA = 62103;  // the text ends before the image is full
inline constexpr int DIMP_ASK_COLUMN = 62104;      // several columns: which one to read
inline constexpr int DIMP_ERR_COLUMN = 62105;      // the chosen column does not exist
inline constexpr int DIMP_ERR_FEWER = 62106;       // fewer numbers than one column needs
inline constexpr int DIMP_ERR_INVALID = 62108;     // an axis count or size that is refused
inline constexpr int DIMP_ERR_NO_END = 62109;      // no END card in the file
inline constexpr int DIMP_ERR_NO_NUMBER = 62110;   // nothing after the header starts a number
inline constexpr int DIMP_ERR_MEMORY = 6501;       // memory exhausted

// The words of a DIMP code (DIMP_ASK_COLUMN with the number of columns); empty for others.
std::string DataImportText(int code, int columns = 0);

// Where the numbers begin: after the record of the END card, at the first character that
// can start a number (a digit, a sign, a point or a comma). DIMP_OK, DIMP_ERR_NO_END or
// DIMP_ERR_NO_NUMBER.
[[nodiscard]] int FindDataStart(std::string_view text, std::size_t* start);

// How many numbers the text holds, cut as the layout says (at most limit are counted).
std::size_t CountNumbers(std::string_view data, const DataImportLayout& layout,
                         std::size_t limit = static_cast<std::size_t>(-1));

// Fills values (width × height, row after row) from data. columns is the count of
// numbers per pixel and column the 1-based one kept (1 and 1 for plain data). DIMP_OK or
// DIMP_ERR_SHORT_DATA.
[[nodiscard]] int ParseDataImport(std::string_view data, const DataImportLayout& layout, int width,
                                  int height, int columns, int column, std::vector<float>* values);

// The answers of the whole import, as the dialogs give them.
struct DataImportAnswers {
  int axes = 2;                // 1 or 2
  int width = 0;               // first axis
  int height = 0;              // second axis (two axes)
  int oneDimensionHeight = 1;  // rows a one-dimensional image is shown with
  int column = 0;              // spectral columns: the one to read (0: not chosen yet)
  DataImportLayout layout;
};

// The header cards up to the END card into image (no pixels), interpreted as the FITS
// reader does: the sizes, scaling and author the dialogs offer. DIMP_OK, a file I/O code,
// a FITS header code (7, 17) or DIMP_ERR_NO_END.
[[nodiscard]] int DataImportReadHeader(CImage& image, const std::string& path);

// Reads the file's header into image, gives it the size and layout of the answers as a
// 32-bit float image and fills it from the numbers. DIMP_ASK_COLUMN (with *columns) when
// spectral data hold several columns and answers.column is 0; the caller asks and calls
// again. Any other non-zero code leaves the image empty.
[[nodiscard]] int DataImport(CImage& image, const std::string& path,
                             const DataImportAnswers& answers, int* columns = nullptr);

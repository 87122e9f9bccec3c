// What the measurement tools share: the conversion of 0-based image coordinates to the
// 1-based ones shown and written, the number forms of their texts, and their ASCII table
// extensions (building, finding, removing, reading fields, and the questions asked on
// saving and restoring).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "imagemodel/fitsheader.h"

class CImage;

// Whether y is shown and written counted from the bottom: the "IO" setting
// "FitsBottomUp" is on and the image was read from a FITS file.
bool PhotFlipY(const CImage& image);
// The 1-based coordinates of 0-based ones, and back.
double PhotShownX(double x);
double PhotShownY(const CImage& image, double y);
double PhotImageX(double shownX);
double PhotImageY(const CImage& image, double shownY);

// A total, mean, deviation or result in the "%W.Df" form, or "%W.De" when it is greater
// than 1e11 or less than −1e10 (or when the fixed form would not fit the width).
std::string PhotNumber(double v, int width, int decimals);
// printf into a std::string.
std::string PhotFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One column of a table extension.
struct PhotColumn {
  const char* ttype;                   // quoted, as in the card
  int tbcol;                           // 1-based
  const char* tform;                   // quoted, padded to 8
  const char* tunit;                   // quoted, or null
  const char* comment;                 // of the TTYPE card
  const char* tformComment = nullptr;  // of a character column's TFORM card, when not photometry's
};

// An ASCII table extension with the system's cards: XTENSION … EXTNAME, an empty card,
// then per column TTYPE, TBCOL, TFORM, TUNIT (when given) and an empty card. rows holds
// rowCount × rowWidth bytes.
CFitsExtension PhotBuildTable(std::string_view extName, int rowWidth, int rowCount,
                              const std::vector<PhotColumn>& columns,
                              std::vector<std::uint8_t> rows);
// Removes every interpreted extension whose XTENSION is 'TABLE   ' and whose EXTNAME is
// extName (quotes included). Returns how many went.
int PhotRemoveTable(CImage& image, std::string_view extName);
// The first TABLE extension named extName (leading blanks of the name ignored), or null.
const CFitsExtension* PhotFindTable(const CImage& image, std::string_view extName);
// Field text of a row: the width characters from the 1-based column tbcol (fewer at the
// row's end).
std::string_view PhotField(std::string_view row, int tbcol, int width);
// Integer and floating conversions of a field that skip leading blanks; false when the
// field holds no number.
bool PhotFieldInt(std::string_view field, long long* v);
bool PhotFieldDouble(std::string_view field, double* v);

// The save question of a tool with modified results, asked through the message box
// service: IDYES, IDNO or IDCANCEL.
int PhotAskSave(const std::string& question);
// The restore question: true for Yes.
bool PhotAskRestore(const std::string& question);

// Writes the text of a tool's output (UTF-8, as every text file the system writes),
// replacing the file atomically. 1 on success, 0 when it cannot be written.
int PhotWriteTextFile(const std::string& path, const std::string& utf8);

// Texts of the tools.
inline constexpr const char* kPhotSaveQuestion = "開口測光結果を Extension に保存しますか？";
inline constexpr const char* kPhotRectSaveQuestion = "矩形測光結果を Extension に保存しますか？";
inline constexpr const char* kPhotRestoreQuestion =
    "過去の開口測光結果が Extension に記録されています。マークを復元しますか？";
inline constexpr const char* kPhotRectRestoreQuestion =
    "過去の矩形測光結果が Extension に記録されています。マークを復元しますか？";
inline constexpr const char* kPosSaveQuestion = "位置測定結果を Extension に保存しますか？";
inline constexpr const char* kPosRestoreQuestion =
    "過去の位置測定結果が Extension に記録されています。マークを復元しますか？";
inline constexpr const char* kPhotDeleteQuestion = "データを削除します。";

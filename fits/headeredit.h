// The rules of the header editor without any user interface: a typed card made an
// 80-column card, blocks of cards moved, inserted and deleted, a card split into keyword,
// value and comment, the dispersion-axis settings read from and written into an image,
// and the pages of a printed header. The dialogs (vtld01) show these; the tests check
// them without Qt.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "imagemodel/fitsheader.h"
#include "imagemodel/image.h"

namespace headeredit {

inline constexpr int kCardColumns = 80;

// A typed card as it is stored: padded with blanks, or cut, to exactly 80 columns.
std::string PadCard(std::string_view text);

// Keyword, value and comment of a card, as FITS lays them out: a valued card has "= " in
// columns 9 and 10; a string value runs to its closing quote ('' inside it stands for
// one quote); the comment follows the first "/" after the value.
struct CardParts {
  std::string keyword;  // columns 1 to 8, trailing blanks removed
  bool valued = false;  // "= " in columns 9 and 10
  bool isString = false;
  std::string value;    // the value text, blanks trimmed; a string without its quotes
  std::string comment;  // after the "/", blanks trimmed; for commentary cards, the text
};
CardParts ParseCard(std::string_view card);
// The text of a quoted string value ("'WAVE    '" gives "WAVE"): quotes removed, ''
// read as one quote, trailing blanks removed. A text without a leading quote is trimmed
// and returned as it is.
std::string StringValue(std::string_view quoted);

// Inserts a new card before the first selected one (first < 0: last, but before the
// closing END card when the header has one). The index of the new card.
int InsertCard(CFitsHeader& header, int first, std::string_view text);
// Deletes the cards at the given indices (any order, duplicates ignored), highest first.
// The number deleted.
int DeleteCards(CFitsHeader& header, std::vector<int> indices);
// Moves the block first..last up by one: the card above it goes below it. False (and
// nothing changes) when the block already starts at the first card or is out of range.
bool MoveBlockUp(CFitsHeader& header, int first, int last);
// Moves the block down by one: the card below it goes above it. False when the block
// already ends at the last card or is out of range.
bool MoveBlockDown(CFitsHeader& header, int first, int last);

// ---- dispersion axis

// The axis types in the order the settings offer them; index 0 is "not set".
struct AxisTypeEntry {
  const char* value;    // the axis type written into the header
  const char* display;  // what the list shows
};
const std::vector<AxisTypeEntry>& AxisTypes();
// The units offered for the type of that index: value written, then display text.
const std::vector<AxisTypeEntry>& AxisUnits(int typeIndex);
// The index of an axis type (quotes, blanks and a "-LOG" suffix ignored); -1 when it is
// none of the list. An empty type is index 0.
int FindAxisType(std::string_view type);
// The index of a unit among the type's units, -1 when it is not one of them.
int FindAxisUnit(int typeIndex, std::string_view unit);
inline constexpr const char* kUndefinedType = "未定義";  // 2455
inline constexpr const char* kUndefinedUnit = "未定義";  // 2446
inline constexpr const char* kOtherFormat = "その他(%s)";
// "その他(text)".
std::string OtherText(std::string_view text);

// A number as the settings show it: "%20.1f" for a reference pixel and "%20.8f" for the
// others, blanks trimmed, trailing zeros removed, a trailing point followed by one 0.
std::string FormatAxisNumber(double value, bool referencePixel);

// What the dispersion-axis settings hold.
struct AxisSettings {
  int axis = 0;         // 0 none, 1 X, 2 Y
  std::string type[2];  // axis types (FITS text without quotes, "-LOG" kept)
  std::string unit[2];
  double crpix[2] = {1.0, 1.0};
  double crval[2] = {0.0, 0.0};
  double cdelt[2] = {1.0, 1.0};
  bool matrix = false;
  tagMATRIX2_2 mtx;  // diagonal 1 by default
  bool operator==(const AxisSettings&) const = default;
};

// The settings as the image holds them.
AxisSettings LoadAxisSettings(const CImage& image);

inline constexpr int kAxisOk = 0;
inline constexpr int kAxisSingular = 2449;  // the matrix has no inverse
inline constexpr const char* kSingularMatrix =
    "線形変換行列に逆行列がありません。\n線形変換行列は、逆行列を持つように設定してください。";

// Writes the settings into the image: axis 0 clears the physical coordinates; otherwise
// the other axis is cleared, the type gets "-LOG" when the unit begins with "log(", type
// and unit are stored in quotes, the display axis is the chosen one, and the matrix is
// set as a PC matrix or cleared. kAxisSingular (nothing changed) when the matrix is used
// and its determinant is 0.
int ApplyAxisSettings(CImage& image, const AxisSettings& s);

// ---- printing

inline constexpr const char* kRuler1 =
    "         11111111112222222222333333333344444444445555555555666666666677777777778";
inline constexpr const char* kRuler2 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
// The lines of each printed page: "FITS Header [title]  Page n", an empty line, the two
// rulers, then as many cards as fit in linesPerPage. At least one page; a page too short
// for its heading still gets one card.
std::vector<std::vector<std::string>> PrintPages(const CFitsHeader& header, std::string_view title,
                                                 int linesPerPage);

}  // namespace headeredit

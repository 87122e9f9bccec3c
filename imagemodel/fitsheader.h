// FITS header cards and extension records that travel with an image: the reader fills
// them, the header editor shows them, the measurement tools attach their tables as
// extensions and the writer writes them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// An ordered list of header cards. A card is meant to be 80 characters, but only Add
// enforces the length; the other operations store the text as given.
class CFitsHeader {
 public:
  // Appends the text cut or padded with blanks to exactly 80 characters.
  void Add(std::string_view text);
  // Inserts before card i; at or past the end the list grows to i + 1 cards (the new
  // ones empty) and the text becomes card i.
  void InsertAt(int i, std::string_view text);
  // Replaces card i; nothing happens at or past the end.
  void SetAt(int i, std::string_view text);
  // Card i, or the empty string at or past the end.
  const std::string& GetAt(int i) const;
  int GetCount() const { return static_cast<int>(m_Cards.size()); }
  // Removes card i and returns 1, or returns 0 at or past the end.
  int DeleteAt(int i);
  // The first card whose first 8 characters equal the keyword padded or cut to 8, or -1.
  int Find(std::string_view keyword) const;
  // Removes every card.
  void DeleteAll();
  // Removes every card of the keyword with the blank-keyword continuation cards
  // (10 leading blanks) that follow each of them.
  void DeleteAll(std::string_view keyword);
  // Rewrites an existing NAXIS1 or NAXIS2 card with a new count.
  void SetNaxis1(int n);
  void SetNaxis2(int n);

  const std::vector<std::string>& Cards() const { return m_Cards; }
  // Equal cards; the revision does not count.
  bool operator==(const CFitsHeader& other) const { return m_Cards == other.m_Cards; }

  // A number that changes with every change of the cards, unique across all headers of
  // the process, and that a copy shares with its source: two headers with the same
  // revision hold the same cards. What is worked out from the cards can be kept under it.
  std::uint64_t GetRevision() const { return m_nRevision; }

 private:
  void Changed();

  std::vector<std::string> m_Cards;
  std::uint64_t m_nRevision = 0;
};

// The keyword field of a card: the text padded or cut to 8 characters.
std::string FitsKeyword(std::string_view keyword);
// True when the card's keyword field (its first 8 characters, padded with blanks) is the
// keyword padded to 8.
bool IsCardKeyword(std::string_view card, std::string_view keyword);
// The shortest text that reads back as exactly v, shaped as FITS writes a real: always a
// decimal point, a capital E before the exponent ("1.0E-09", "2147483648.0"); "0.0" for
// either zero. v must be finite.
std::string FitsRealText(double v);
// "KEYWORD = " and a value text that ends in column 30 when it fits those 20 columns, or
// runs on straight after "= " (free format) when it does not; nothing behind it.
std::string FitsValueCard(std::string_view keyword, std::string_view value);
// Whether a keyword is a SIP distortion coefficient, A_p_q, B_p_q, AP_p_q or BP_p_q with
// one-digit powers: *corrects is 1 for A and AP (they correct the first pixel offset), 2
// for B and BP; *p and *q are the powers.
bool FitsSipTerm(std::string_view keyword, int* corrects, int* p, int* q);
// The real value of a card ("KEYWORD = value / comment"), Fortran's D exponent allowed;
// false when the card has no value field or it is not one finite number.
bool FitsCardReal(std::string_view card, double* v);
// The keywords of a scanned photographic plate's solution, as the sky surveys' headers
// give it, in the order a header places them: the plate centre (PLTRAH, PLTRAM, PLTRAS,
// PLTDECSN, PLTDECD, PLTDECM, PLTDECS), scale and pixel size (PLTSCALE, XPIXELSZ,
// YPIXELSZ), the corner of the scan on the plate in plate pixels (CNPIX1, CNPIX2), the
// orientation coefficients PPO1 to PPO6 and the polynomials AMDX1 to AMDX20, AMDY1 to
// AMDY20. Coordinate libraries take the sky from these before the linear matrix.
const std::vector<std::string>& FitsPlateSolutionKeys();
bool IsFitsPlateSolutionKey(std::string_view keyword);

// One FITS extension: its own cards, its data unit and the keywords that describe it.
// The record is empty when it has no data.
class CFitsExtension {
 public:
  CFitsExtension() = default;
  CFitsExtension(const CFitsExtension& src) { CopyExtension(src); }
  CFitsExtension& operator=(const CFitsExtension& src) {
    if (this != &src) CopyExtension(src);
    return *this;
  }
  CFitsExtension(CFitsExtension&&) noexcept = default;
  CFitsExtension& operator=(CFitsExtension&&) noexcept = default;

  // Clears this record; copies the source (all its data bytes) when it has data, else
  // stays empty.
  void CopyExtension(const CFitsExtension& src);

  // Values as they stand in their cards, quotes included.
  const std::string& GetXtension() const { return m_strXtension; }
  void SetXtension(std::string_view s) { m_strXtension = std::string(s); }
  const std::string& GetExtName() const { return m_strExtName; }
  void SetExtName(std::string_view s) { m_strExtName = std::string(s); }
  int GetBitPix() const { return m_nBitPix; }
  void SetBitPix(int v) { m_nBitPix = v; }
  int GetNAxis() const { return m_nNAxis; }
  // Sets NAXIS and resizes the NAXISn list (new entries 0).
  void SetNAxis(int n);
  // NAXISn for n = i + 1. An index outside the list throws std::out_of_range.
  int GetNAxes(int i) const { return m_NAxes.at(Index(i)); }
  void SetNAxes(int i, int v) { m_NAxes.at(Index(i)) = v; }
  int GetTFields() const { return m_nTFields; }
  void SetTFields(int v) { m_nTFields = v; }

  // Resizes the four column lists.
  void SetSize(int n);
  int GetColumnCount() const { return static_cast<int>(m_TType.size()); }
  const std::string& GetTType(int i) const { return m_TType.at(Index(i)); }
  void SetTType(std::string_view s, int i) { m_TType.at(Index(i)) = std::string(s); }
  int GetTBCol(int i) const { return m_TBCol.at(Index(i)); }
  void SetTBCol(int v, int i) { m_TBCol.at(Index(i)) = v; }
  const std::string& GetTForm(int i) const { return m_TForm.at(Index(i)); }
  void SetTForm(std::string_view s, int i) { m_TForm.at(Index(i)) = std::string(s); }
  const std::string& GetTUnit(int i) const { return m_TUnit.at(Index(i)); }
  void SetTUnit(std::string_view s, int i) { m_TUnit.at(Index(i)) = std::string(s); }

  // The product of all NAXISn (bytes, for the 8-bit tables handled here); 0 when NAXIS
  // is 0 or an axis is negative; saturates instead of overflowing.
  std::uint64_t GetDataSize() const;

  // The data unit: null when there is none.
  const std::uint8_t* GetData() const { return m_Data ? m_Data->data() : nullptr; }
  std::uint8_t* GetData() { return m_Data ? m_Data->data() : nullptr; }
  std::size_t GetDataLength() const { return m_Data ? m_Data->size() : 0; }
  bool HasData() const { return m_Data.has_value(); }
  void SetData(std::vector<std::uint8_t> data) { m_Data = std::move(data); }
  void ClearData() { m_Data.reset(); }

  // 1 when a foreign table names a column CD... or PC... (world-coordinate matrices kept
  // in a table); 0 for the system's own measurement tables and everything else.
  int IsWCSFromExtension() const;

  CFitsHeader m_Header;  // the extension's own cards

 private:
  static std::size_t Index(int i) {
    return i < 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(i);
  }
  std::optional<std::vector<std::uint8_t>> m_Data;
  std::string m_strXtension;
  int m_nBitPix = 0;
  int m_nNAxis = 0;
  std::vector<int> m_NAxes;
  std::string m_strExtName;
  int m_nTFields = 0;
  std::vector<std::string> m_TType;
  std::vector<int> m_TBCol;
  std::vector<std::string> m_TForm;
  std::vector<std::string> m_TUnit;
};

// EXTNAME values (quotes included) of the system's own measurement tables.
inline constexpr std::string_view kExtNamePhot = "'Vantorel Phot data'";
inline constexpr std::string_view kExtNamePos = "'Vantorel Pos data'";
inline constexpr std::string_view kExtNamePhoR = "'Vantorel PhoR data'";

// The FITS reader's extensions: their cards interpreted into tables, the system's own
// tables and another program's table of plane coordinates read, every other extension
// kept as the bytes the file holds (its data left in the file when large), damaged and
// cut-off ones noted for the caller, the header of an image extension found among the
// file's units, and a cube plane's world coordinates taken from its table.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "fits/fits.h"
#include "fits/fitscards.h"
#include "fits/fitshdu.h"
#include "fits/fitsread_internal.h"
#include "imagemodel/image.h"
#include "platform/clocale.h"
#include "platform/files.h"

using namespace fitscards;

namespace fitsread {

namespace {

bool IsOwnTableName(std::string_view value) {
  // Compared without the closing quote, so that blanks padded inside it do not hide it.
  for (std::string_view own : {kExtNamePhot, kExtNamePos, kExtNamePhoR})
    if (value.find(own.substr(0, own.size() - 1)) != std::string_view::npos) return true;
  return false;
}

// The column number of a TTYPEn, TBCOLn, TFORMn or TUNITn card; -1 when there is none.
int ColumnNumber(std::string_view card) {
  std::size_t i = 5;
  int n = 0, digits = 0;
  while (i < 8 && i < card.size() && card[i] >= '0' && card[i] <= '9') {
    n = n * 10 + (card[i] - '0');
    ++i;
    ++digits;
  }
  return digits > 0 ? n : -1;
}

// The quoted value of a card, quotes included; empty when it has no pair of quotes.
std::string QuotedPair(std::string_view card) {
  std::string_view value = Value(card);
  std::size_t open = value.find('\'');
  if (open == std::string_view::npos) return {};
  std::size_t close = ClosingQuote(value.substr(open));
  if (close == std::string_view::npos || close == 0) return {};
  return std::string(value.substr(open, close + 1));
}

int InterpretExtensionCard(CFitsExtension& ext, const std::string& card) {
  if (Begins(card, "XTENSION= ")) {
    std::string value = QuotedValue(card, 9);
    if (value.empty()) return FITS_INVALID_IMAGE;
    ext.SetXtension(value);
    return FITS_OK;
  }
  if (Begins(card, "BITPIX  = ")) {
    const int bits = IntValue(card);
    if (bits % 8 != 0) return FITS_INVALID_IMAGE;
    ext.SetBitPix(bits);
    return FITS_OK;
  }
  if (Begins(card, "NAXIS   = ")) {
    const int n = IntValue(card);
    if (n < 0 || n > 999) return FITS_INVALID_IMAGE;
    ext.SetNAxis(n);
    return FITS_OK;
  }
  if (Begins(card, "NAXIS") && card.size() >= 10 && card[5] >= '0' && card[5] <= '9' &&
      card.compare(6, 4, "  = ") == 0) {
    const int axis = card[5] - '0';
    if (axis < 1 || axis > ext.GetNAxis()) return FITS_INVALID_IMAGE;
    ext.SetNAxes(axis - 1, IntValue(card));
    return FITS_OK;
  }
  if (Begins(card, "EXTNAME = ")) {
    // Names shorter than eight characters are legal here, unlike XTENSION values.
    std::string value = QuotedValue(card, 1);
    if (value.empty()) return FITS_INVALID_IMAGE;
    ext.SetExtName(value);
    return FITS_OK;
  }
  if (Begins(card, "TFIELDS = ")) {
    const int n = IntValue(card);
    if (n < 0 || n > 999) return FITS_INVALID_IMAGE;
    ext.SetTFields(n);
    ext.SetSize(n);
    return FITS_OK;
  }
  const bool ttype = Begins(card, "TTYPE"), tbcol = Begins(card, "TBCOL"),
             tform = Begins(card, "TFORM"), tunit = Begins(card, "TUNIT");
  if (ttype || tbcol || tform || tunit) {
    const int column = ColumnNumber(card);
    if (column < 1 || column > ext.GetColumnCount()) return FITS_INVALID_IMAGE;
    if (tbcol) {
      ext.SetTBCol(IntValue(card), column - 1);
      return FITS_OK;
    }
    std::string value = QuotedPair(card);
    if (value.empty()) return FITS_INVALID_IMAGE;
    if (ttype)
      ext.SetTType(value, column - 1);
    else if (tform)
      ext.SetTForm(value, column - 1);
    else
      ext.SetTUnit(value, column - 1);
  }
  return FITS_OK;
}

// Data units of kept extensions above this many bytes stay in their source file.
std::atomic<std::uint64_t> g_keptInMemoryLimit{std::uint64_t{32} << 20};

// The EXTNAME of an extension from the whole cards read of its header, without quotes
// and trailing blanks; empty when they hold none.
std::string ExtName(const std::vector<std::string>& cards) {
  for (const std::string& card : cards) {
    if (!Begins(card, "EXTNAME = ")) continue;
    std::string_view value = Trim(Value(card));
    if (value.empty() || value.front() != '\'') return std::string(value);
    value.remove_prefix(1);
    const std::size_t close = value.find('\'');
    return std::string(TrimRight(value.substr(0, close)));
  }
  return {};
}

std::uint64_t RoundUpToRecord(std::uint64_t n, bool* ok) {
  std::uint64_t up = 0;
  *ok = AddOk(n, kRecordSize - 1, &up);
  return up / kRecordSize * kRecordSize;
}

// Whether the first record of an extension names it, and not as one of the system's own
// tables.
bool HasForeignName(const char* record) {
  for (int c = 0; c < kCardsPerRecord; ++c) {
    std::string_view card(record + c * kCardSize, kCardSize);
    if (Begins(card, "EXTNAME = ") && !IsOwnTableName(Value(card))) return true;
  }
  return false;
}

// Whether a record is header text: printable ASCII only, not all blank, and its first
// card starting with a keyword (upper-case letters, digits, '-' and '_', then blanks).
bool LooksLikeHeader(const char* record) {
  bool blank = true;
  for (std::size_t i = 0; i < kRecordSize; ++i) {
    const unsigned char c = static_cast<unsigned char>(record[i]);
    if (c < 0x20 || c > 0x7E) return false;
    blank = blank && c == ' ';
  }
  if (blank) return false;
  bool ended = false;
  for (std::size_t i = 0; i < 8; ++i) {
    const char c = record[i];
    const bool key = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (c == ' ') {
      ended = true;
    } else if (!key || ended) {
      return false;
    }
  }
  return record[0] != ' ';
}

// Interprets the cards of an extension into ext: 0, or the code of the first card
// refused.
int InterpretExtension(CFitsExtension& ext, const std::vector<std::string>& cards) {
  for (const std::string& card : cards) {
    if (int rc = InterpretExtensionCard(ext, card)) return rc;
    ext.m_Header.Add(card);
  }
  return FITS_OK;
}

// An ASCII table of another program whose columns carry world coordinates: the reader
// takes a cube plane's coordinates from it, so it is interpreted like the system's own.
bool IsPlaneCoordinateTable(const CFitsExtension& ext) {
  std::string_view value = ext.GetXtension();
  const std::size_t close = ClosingQuote(value);
  return !value.empty() && close != std::string_view::npos &&
         TrimRight(value.substr(1, close - 1)) == "TABLE" && ext.IsWCSFromExtension();
}

// Reads the data unit of an interpreted extension and appends the record to the image.
int AppendExtension(CImage& img, int fd, std::uint64_t fileSize, CFitsExtension ext,
                    const std::vector<std::string>& cards, std::uint64_t headerEnd,
                    std::uint64_t* pos) {
  std::uint64_t size = 0, end = 0;
  if (!DataUnitBytes(cards, &size) || !AddOk(headerEnd, size, &end)) return FITS_INVALID_IMAGE;
  if (end > fileSize) return FITS_READ_FAILED;
  std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
  if (size > 0 && ReadAt(fd, data.data(), data.size(), headerEnd) != static_cast<long long>(size))
    return FITS_READ_FAILED;
  ext.SetData(std::move(data));
  img.m_FitsExtensions.push_back(std::move(ext));
  *pos = end;
  return FITS_OK;
}

// Appends the bytes [start, end) of the file as a kept extension whose header is
// [start, headerEnd): the data unit stays in the file when it is large.
int KeepBytes(CImage& img, int fd, std::uint64_t start, std::uint64_t headerEnd, std::uint64_t end,
              KeptSource& source) {
  std::string header(static_cast<std::size_t>(headerEnd - start), '\0');
  if (ReadAt(fd, header.data(), header.size(), start) != static_cast<long long>(header.size()))
    return FITS_READ_FAILED;
  const std::uint64_t length = end - headerEnd;
  std::shared_ptr<const CFitsSourceFile> file;
  if (length > g_keptInMemoryLimit.load()) file = source.Get();
  if (file) {
    img.m_KeptExtensions.emplace_back(std::move(header), std::move(file), headerEnd, length);
  } else {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(length));
    if (length > 0 &&
        ReadAt(fd, data.data(), data.size(), headerEnd) != static_cast<long long>(length))
      return FITS_READ_FAILED;
    img.m_KeptExtensions.emplace_back(std::move(header), std::move(data));
  }
  return FITS_OK;
}

// Whether the record at offset starts an extension: its first card is an XTENSION card.
bool StartsExtension(int fd, std::uint64_t offset) {
  char head[10];
  return ReadAt(fd, head, sizeof head, offset) == static_cast<long long>(sizeof head) &&
         Begins(std::string_view(head, sizeof head), "XTENSION= ");
}

// Keeps a unit whose header cannot be parsed (a damaged XTENSION card, a header without
// END or without the cards that size its data) as the bytes it stands in: up to the end
// its cards give when an extension or the end of the file follows there, else up to the
// next record that starts an extension, or the end of the file. Its bytes are copied
// unchanged when the image is saved, so that neither it nor a later extension is lost;
// it is noted for the caller to tell the user. Returns 29.
int KeepDamagedExtension(CImage& img, int fd, std::uint64_t fileSize, std::uint64_t start,
                         int cardsResult, const std::vector<std::string>& cards,
                         std::uint64_t headerEnd, std::uint64_t* pos, KeptSource& source,
                         int number) {
  std::uint64_t size = 0, dataEnd = 0, end = 0;
  bool ok = cardsResult == FITS_OK && DataUnitBytes(cards, &size) &&
            AddOk(headerEnd, size, &dataEnd) && dataEnd <= fileSize;
  if (ok) end = std::min(RoundUpToRecord(dataEnd, &ok), fileSize);
  if (!ok || (end < fileSize && !StartsExtension(fd, end))) {
    end = start + kRecordSize;
    while (end < fileSize && !StartsExtension(fd, end)) end += kRecordSize;
    end = std::min(end, fileSize);
  }
  if (cardsResult != FITS_OK || headerEnd <= start || headerEnd > end)
    headerEnd = std::min(start + kRecordSize, end);
  if (int rc = KeepBytes(img, fd, start, headerEnd, end, source)) return rc;
  g_damagedExtensions.push_back(FitsCutExtension{number, ExtName(cards)});
  *pos = end;
  return FITS_FOREIGN_EXTENSION;
}

// Keeps an extension the reader does not interpret: its header records and its data
// unit with the padding the file holds; one whose header cannot be interpreted or sized
// is kept as bytes (above). (One that the file ends inside never comes here.) Returns 29.
int KeepExtension(CImage& img, int fd, std::uint64_t fileSize, std::uint64_t start, int cardsResult,
                  const std::vector<std::string>& cards, std::uint64_t headerEnd,
                  std::uint64_t* pos, KeptSource& source, int number) {
  std::uint64_t size = 0, dataEnd = 0;
  bool ok = false;
  const std::uint64_t padded =
      cardsResult == FITS_OK && DataUnitBytes(cards, &size) && AddOk(headerEnd, size, &dataEnd)
          ? RoundUpToRecord(dataEnd, &ok)
          : 0;
  if (!ok || dataEnd > fileSize)
    return KeepDamagedExtension(img, fd, fileSize, start, cardsResult, cards, headerEnd, pos,
                                source, number);
  // A last extension whose padding the file lacks is kept as far as it goes; the writer
  // completes the record.
  const std::uint64_t end = std::min(padded, fileSize);
  if (int rc = KeepBytes(img, fd, start, headerEnd, end, source)) return rc;
  // Sized by its cards, it is carried whole; a type that is no quoted string is still
  // worth telling.
  if (cards.empty() || QuotedValue(cards.front(), 1).empty())
    g_damagedExtensions.push_back(FitsCutExtension{number, ExtName(cards)});
  *pos = end;
  return FITS_FOREIGN_EXTENSION;
}

// The width of an ASCII-table field from its TFORM ('A8', 'E15.7', 'I6'); 0 when the
// form gives none.
std::size_t FieldWidth(std::string_view form) {
  std::string_view f = Trim(form);
  while (!f.empty() && (f.front() == '\'' || f.front() == ' ')) f.remove_prefix(1);
  if (f.empty()) return 0;
  f.remove_prefix(1);  // the type letter
  std::size_t width = 0;
  for (char c : f) {
    if (c < '0' || c > '9') break;
    width = width * 10 + static_cast<std::size_t>(c - '0');
    if (width > 1u << 20) return 0;
  }
  return width;
}

// A column name without its quotes and trailing blanks.
std::string_view ColumnName(std::string_view ttype) {
  while (!ttype.empty() && ttype.front() == '\'') ttype.remove_prefix(1);
  while (!ttype.empty() && ttype.back() == '\'') ttype.remove_suffix(1);
  return TrimRight(ttype);
}

}  // namespace

thread_local FitsCutExtension g_cutExtension;
thread_local std::vector<FitsCutExtension> g_damagedExtensions;

int ReadExtension(CImage& img, int fd, std::uint64_t fileSize, std::uint64_t* pos, int filePlanes,
                  int planesRead, bool interpret, KeptSource& source, FitsCutExtension* cut,
                  int number) {
  bool ok = false;
  const std::uint64_t start = RoundUpToRecord(*pos, &ok);
  if (!ok || start >= fileSize) return FITS_NO_MORE_EXTENSION;
  std::array<char, kRecordSize> record;
  const long long got = ReadAt(fd, record.data(), kRecordSize, start);
  // Whatever follows the data without an XTENSION card (blank records, zeros, binary
  // junk) is not an extension; the start of one the file ends inside already counts. A
  // whole record of header text is an extension whose XTENSION card was damaged: it is
  // kept as bytes.
  constexpr std::string_view kXtension = "XTENSION= ";
  const std::string_view head(record.data(),
                              got <= 0 ? 0 : std::min<std::size_t>(got, kXtension.size()));
  if (head.empty() || kXtension.substr(0, head.size()) != head) {
    if (got != static_cast<long long>(kRecordSize) || !LooksLikeHeader(record.data()))
      return FITS_NO_MORE_EXTENSION;
    std::vector<std::string> cards;
    std::uint64_t headerEnd = 0;
    const int cardsResult = ReadCards(fd, start, record.data(), &cards, &headerEnd);
    return KeepDamagedExtension(img, fd, fileSize, start, cardsResult, cards, headerEnd, pos,
                                source, number);
  }

  // An extension the file ends inside, in its header or its data unit, cannot be carried
  // whole: it is left out, and noted so that the caller can tell the user. Nothing can
  // follow it.
  std::vector<std::string> cards;
  auto cutOff = [&]() {
    cut->number = 1;  // this one; the loop knows its place among the extensions
    cut->name = ExtName(cards);
    return FITS_NO_MORE_EXTENSION;
  };
  if (got != static_cast<long long>(kRecordSize)) {
    for (std::size_t at = 0; at + kCardSize <= static_cast<std::size_t>(got); at += kCardSize)
      cards.emplace_back(record.data() + at, kCardSize);
    return cutOff();
  }
  std::uint64_t headerEnd = 0;
  const int cardsResult = ReadCards(fd, start, record.data(), &cards, &headerEnd);
  if (cardsResult == FITS_READ_FAILED) return cutOff();
  std::uint64_t size = 0, dataEnd = 0;
  if (cardsResult == FITS_OK && DataUnitBytes(cards, &size) && AddOk(headerEnd, size, &dataEnd) &&
      dataEnd > fileSize) {
    // Cut short, unless another extension starts before the end: then its size cards
    // are damaged, and it is kept as bytes up to that one.
    for (std::uint64_t at = headerEnd; at < fileSize; at += kRecordSize)
      if (StartsExtension(fd, at))
        return KeepDamagedExtension(img, fd, fileSize, start, cardsResult, cards, headerEnd, pos,
                                    source, number);
    return cutOff();
  }

  const bool cube = filePlanes > 1;
  const bool colour = cube && planesRead > 1;
  if (!interpret || colour || HasForeignName(record.data())) {
    if (cardsResult == FITS_OK && interpret && cube && !colour) {
      CFitsExtension ext;
      if (InterpretExtension(ext, cards) == FITS_OK && IsPlaneCoordinateTable(ext))
        return AppendExtension(img, fd, fileSize, std::move(ext), cards, headerEnd, pos);
    }
    return KeepExtension(img, fd, fileSize, start, cardsResult, cards, headerEnd, pos, source,
                         number);
  }

  if (cardsResult != FITS_OK) return cardsResult;
  CFitsExtension ext;
  if (int rc = InterpretExtension(ext, cards)) return rc;
  return AppendExtension(img, fd, fileSize, std::move(ext), cards, headerEnd, pos);
}

int UnitHeaderStart(int fd, int hdu, std::uint64_t* start) {
  *start = 0;
  if (hdu == 0) return FITS_OK;
  std::vector<FitsHdu> hdus;
  if (int rc = ListFitsHdus(fd, &hdus)) return rc;
  if (hdu < 0 || hdu >= static_cast<int>(hdus.size())) return FITS_INVALID_IMAGE;
  const FitsHdu& unit = hdus[static_cast<std::size_t>(hdu)];
  if (unit.HasExtraAxis()) return FITS_EXTRA_AXIS;
  if (!unit.IsImage() || unit.compressed) return FITS_INVALID_IMAGE;
  *start = unit.headerStart;
  return FITS_OK;
}

}  // namespace fitsread

using namespace fitsread;

int CFits::ReadOwnTables(CImage& image, const std::string& path, int exceptUnit) {
  try {
    int raw = -1;
    struct stat st {};
    if (int e = OpenRegularFile(path, raw, &st)) return FioCodeOfNameError(e, FITS_OPEN_FAILED);
    ScopedFd fd(raw);
    std::vector<FitsHdu> hdus;
    if (int rc = ListFitsHdus(fd.get(), &hdus)) return rc;
    for (const FitsHdu& hdu : hdus) {
      if (hdu.index == 0 || hdu.index == exceptUnit) continue;
      std::vector<std::string> cards;
      std::uint64_t headerEnd = 0, pos = 0;
      if (ReadCards(fd.get(), hdu.headerStart, nullptr, &cards, &headerEnd) != FITS_OK) continue;
      const bool own = std::any_of(cards.begin(), cards.end(), [](const std::string& card) {
        return Begins(card, "EXTNAME = ") && IsOwnTableName(Value(card));
      });
      CFitsExtension ext;
      // A table of ours that cannot be interpreted is left in the file rather than
      // failing the image that was read.
      if (!own || InterpretExtension(ext, cards) != FITS_OK) continue;
      if (int rc = AppendExtension(image, fd.get(), static_cast<std::uint64_t>(st.st_size),
                                   std::move(ext), cards, headerEnd, &pos);
          rc == FITS_NO_MEMORY)
        return rc;
    }
    if (!image.m_FitsExtensions.empty()) image.SetExtend(1);
    return FITS_OK;
  } catch (const std::bad_alloc&) {
    return FITS_NO_MEMORY;
  }
}

FitsCutExtension CFits::GetCutExtension() {
  return g_cutExtension;
}

std::vector<FitsCutExtension> CFits::GetDamagedExtensions() {
  return g_damagedExtensions;
}

std::uint64_t CFits::SetKeptInMemoryLimit(std::uint64_t bytes) {
  return g_keptInMemoryLimit.exchange(bytes);
}

int CFits::WCSFromExtension(const CImage& image) {
  for (std::size_t i = 0; i < image.m_FitsExtensions.size(); ++i)
    if (image.m_FitsExtensions[i].IsWCSFromExtension()) return static_cast<int>(i);
  return -1;
}

int CFits::UpdateHeaderWCS(CImage& image, int extension, int row) {
  if (extension < 0 || static_cast<std::size_t>(extension) >= image.m_FitsExtensions.size() ||
      row < 0)
    return 0;
  const CFitsExtension& ext = image.m_FitsExtensions[static_cast<std::size_t>(extension)];
  const std::uint8_t* data = ext.GetData();
  const std::size_t length = ext.GetDataLength();
  if (!data || ext.GetNAxis() < 1) return 0;
  const std::int64_t rowBytes = ext.GetNAxes(0);
  if (rowBytes <= 0) return 0;

  tagMATRIX2_4 pv;
  tagMATRIX2_2 cd{0.0, 0.0, 0.0, 0.0}, pc;
  bool havePV = false, haveCD = false, havePC = false;
  for (int c = 0; c < ext.GetColumnCount(); ++c) {
    const std::string_view name = ColumnName(ext.GetTType(c));
    const std::int64_t column = ext.GetTBCol(c) - 1;
    if (name.empty() || column < 0 || column >= rowBytes) continue;
    const std::int64_t offset = static_cast<std::int64_t>(row) * rowBytes + column;
    if (offset < 0 || static_cast<std::uint64_t>(offset) >= length) continue;
    std::size_t width = FieldWidth(ext.GetTForm(c));
    const auto inRow = static_cast<std::size_t>(rowBytes - column);
    const std::size_t inData = length - static_cast<std::size_t>(offset);
    if (width == 0 || width > inRow) width = inRow;
    width = std::min(width, inData);
    const std::string_view field(reinterpret_cast<const char*>(data) + offset, width);
    const double value = ParseReal(field);

    if (name == "CTYPE1" || name == "CTYPE2" || name == "CUNIT1" || name == "CUNIT2") {
      const std::string text = FormatC("'%8.8s'", std::string(field.substr(0, 8)).c_str());
      const int axis = name[5] - '1';
      if (name[1] == 'T')
        image.SetCType(axis, text);
      else
        image.SetCUnit(axis, text);
    } else if (name == "RESTFRQ1" || name == "RESTFRQ2") {
      image.SetRestFreq(name[7] - '1', value);
    } else if (name == "RESTWAV1" || name == "RESTWAV2") {
      image.SetRestWav(name[7] - '1', value);
    } else if (name == "LONPOLE") {
      image.SetLonPole(value);
    } else if (name == "LATPOLE") {
      image.SetLatPole(value);
    } else if (name.size() == 6 && (name[5] == '1' || name[5] == '2') &&
               (name.substr(0, 5) == "CRPIX" || name.substr(0, 5) == "CRVAL" ||
                name.substr(0, 5) == "CDELT")) {
      const int axis = name[5] - '1';
      if (name[2] == 'P')
        image.SetCRPix(axis, value);
      else if (name[2] == 'V')
        image.SetCRVal(axis, value);
      else
        image.SetCDelt(axis, value);
    } else if (name.size() == 5 && name[2] >= '1' && name[2] <= '2' && name[3] == '_' &&
               name[4] >= '1' && name[4] <= '4' && name.substr(0, 2) == "PV") {
      const int element = (name[2] - '1') * 4 + (name[4] - '0');
      if (element >= 0 && element <= 7) {
        pv.m[element / 4][element % 4] = value;
        havePV = true;
      }
    } else if (name.size() == 5 && InMatrix(name[2] - '0') && name[3] == '_' &&
               InMatrix(name[4] - '0') &&
               (name.substr(0, 2) == "CD" || name.substr(0, 2) == "PC")) {
      tagMATRIX2_2 kindNow;
      if (name[0] == 'C') {
        if (image.GetLTMtx(&kindNow) == 2) continue;
        *MatrixElement(cd, name[2] - '0', name[4] - '0') = value;
        haveCD = true;
      } else {
        *MatrixElement(pc, name[2] - '0', name[4] - '0') = value;
        havePC = true;
      }
    }
  }
  if (havePV) image.SetPVMtx(pv, 1);
  if (haveCD) image.SetLTMtx(cd, 1);
  if (havePC) image.SetLTMtx(pc, 2);
  return 1;
}

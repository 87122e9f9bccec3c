// Cutting numbers out of the text that follows a FITS header, as the import dialogs
// describe its layout, and building the float image from them. Sizes given by the user
// are checked against the text before anything is allocated for them.
#include "formats/raw/dataimport.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "fits/fileiocodes.h"
#include "fits/fits.h"
#include "formats/fio/fileioutil.h"
#include "imagemodel/image.h"
#include "platform/clocale.h"
#include "platform/text.h"

namespace {

constexpr std::size_t kCard = 80;
constexpr int kMaxOneDimensionHeight = 65535;

bool StartsNumber(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == ',';
}

// Hands out the numbers of the text one after the other as the layout cuts them.
class Fields {
 public:
  Fields(std::string_view data, const DataImportLayout& layout) : data_(data), layout_(layout) {}

  bool Next(std::string* field) {
    field->clear();
    return layout_.delimit == 0 ? NextFixed(field) : NextDelimited(field);
  }

 private:
  static bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
  bool IsSeparator(char c) const {
    return layout_.delimit == 2 ? c == '\t' : layout_.separator.find(c) != std::string::npos;
  }

  bool NextFixed(std::string* field) {
    const auto length = static_cast<std::size_t>(layout_.fieldLength);
    while (field->size() < length && i_ < data_.size()) {
      const char c = data_[i_];
      if (!IsLineEnd(c)) {
        field->push_back(c);
        ++i_;
        continue;
      }
      // CR LF is one line end.
      i_ += c == '\r' && i_ + 1 < data_.size() && data_[i_ + 1] == '\n' ? 2 : 1;
      if (layout_.lineEnds == 0 && !field->empty()) break;
    }
    // Blanks left at the very end are no number.
    return field->find_first_not_of(" \t") != std::string::npos || i_ < data_.size();
  }

  bool NextDelimited(std::string* field) {
    while (i_ < data_.size() &&
           (IsSeparator(data_[i_]) || IsLineEnd(data_[i_]) || data_[i_] == ' '))
      ++i_;
    if (i_ >= data_.size()) return false;
    while (i_ < data_.size() && !IsSeparator(data_[i_])) {
      const char c = data_[i_];
      if (IsLineEnd(c)) {
        if (layout_.lineEnds == 0) break;
        ++i_;  // line ends ignored: as if they were not there
        continue;
      }
      field->push_back(c);
      ++i_;
    }
    return true;
  }

  std::string_view data_;
  const DataImportLayout& layout_;
  std::size_t i_ = 0;
};

bool LayoutUsable(const DataImportLayout& layout) {
  switch (layout.delimit) {
    case 0:
      return layout.fieldLength > 0;
    case 1:
      return !layout.separator.empty();
    case 2:
      return true;
    default:
      return false;
  }
}

int ReadWholeFile(const std::string& path, std::string* text) {
  std::uint64_t size = 0;
  int code = FIO_OK;
  fileio::FilePtr f = fileio::OpenForReading(path, &size, &code);
  if (!f) return code;
  if (size > static_cast<std::uint64_t>(text->max_size())) return DIMP_ERR_MEMORY;
  text->resize(static_cast<std::size_t>(size));
  if (std::fread(text->data(), 1, text->size(), f.get()) != text->size()) return FIO_ERR_SHORT;
  // An editor saving UTF-8 may put a byte-order mark before the first card.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (std::string_view(*text).starts_with(kByteOrderMark)) text->erase(0, kByteOrderMark.size());
  return DIMP_OK;
}

// The cards before the END card, each interpreted as the FITS reader does. Cards are
// 80 bytes as the file holds them; a header that is not valid UTF-8 was written in CP932
// (Japanese Windows) and each of its cards is made UTF-8, its trailing blanks made up
// again to 80 bytes, so that it reads as the same card written in UTF-8.
int HeaderFromText(CImage& image, std::string_view text) {
  image.Empty();
  image.m_FitsHeader.DeleteAll();
  std::size_t end = 0;
  while (end + kCard <= text.size()) {
    const std::string_view card = text.substr(end, kCard);
    end += kCard;
    if (card.starts_with("END") && card.find_first_not_of(' ', 3) == std::string_view::npos) break;
  }
  const bool cp932 = IsCp932TextFile(text.substr(0, end));
  for (std::size_t pos = 0; pos + kCard <= text.size(); pos += kCard) {
    const std::string_view card = text.substr(pos, kCard);
    if (card.starts_with("END") && card.find_first_not_of(' ', 3) == std::string_view::npos)
      return DIMP_OK;
    if (!cp932) {
      if (int rc = CFits::UpdateHeader(image, card)) return rc;
      continue;
    }
    std::string utf8 = SjisToUtf8(card);
    utf8.erase(utf8.find_last_not_of(' ') + 1);
    if (utf8.size() < kCard) utf8.resize(kCard, ' ');
    if (int rc = CFits::UpdateHeader(image, utf8)) return rc;
  }
  return DIMP_ERR_NO_END;
}

int Import(CImage& image, const std::string& path, const DataImportAnswers& a, int* columnsOut) {
  const DataImportLayout& layout = a.layout;
  if ((a.axes != 1 && a.axes != 2) || a.width <= 0 || (a.axes == 2 && a.height <= 0) ||
      (a.axes == 1 &&
       (a.oneDimensionHeight <= 0 || a.oneDimensionHeight > kMaxOneDimensionHeight)) ||
      !LayoutUsable(layout))
    return DIMP_ERR_INVALID;
  std::string text;
  if (int rc = ReadWholeFile(path, &text)) return rc;
  std::size_t start = 0;
  if (int rc = FindDataStart(text, &start)) return rc;
  if (int rc = HeaderFromText(image, text)) return rc;
  const std::string_view data = std::string_view(text).substr(start);

  const int width = a.width;
  const int rows = a.axes == 1 ? 1 : a.height;  // the rows the numbers fill
  const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(rows);
  int columns = 1, column = 1;
  if (layout.kind == 1 && a.axes == 1 && layout.sequence == 1) {
    const std::size_t count = CountNumbers(data, layout);
    columns =
        static_cast<int>(std::min<std::size_t>(count / static_cast<std::size_t>(width), 1 << 20));
    if (columnsOut) *columnsOut = columns;
    if (columns == 0) return DIMP_ERR_FEWER;
    if (columns > 1) {
      if (a.column == 0) return DIMP_ASK_COLUMN;
      if (a.column < 1 || a.column > columns) return DIMP_ERR_COLUMN;
      column = a.column;
    }
  }
  // Every number takes at least one character: a size the text cannot fill is refused
  // before the pixels are allocated.
  if (pixels * static_cast<std::uint64_t>(columns) > data.size()) return DIMP_ERR_SHORT_DATA;
  std::vector<float> values;
  if (int rc = ParseDataImport(data, layout, width, rows, columns, column, &values)) return rc;

  const int height = a.axes == 1 ? a.oneDimensionHeight : a.height;
  image.Empty();
  image.SetWidth(width);
  image.SetHeight(height);
  image.SetPlanes(1);
  image.SetBitsPixel(-32);
  image.SetSigned(1);
  image.SetBlankUsed(0);
  image.SetFirstFits(a.axes == 1 ? 1 : 0);
  if (!image.AllocImage()) return DIMP_ERR_MEMORY;
  const std::size_t rowBytes = static_cast<std::size_t>(width) * sizeof(float);
  for (int y = 0; y < height; ++y) {
    void* row = image.GetImageAdr(0, y);
    if (!row) return DIMP_ERR_MEMORY;
    // A one-dimensional image shows its one row on every row.
    const int from = a.axes == 1 ? 0 : y;
    std::memcpy(row, values.data() + static_cast<std::size_t>(from) * width, rowBytes);
  }
  image.SetBzero(layout.bzero);
  image.SetBscale(layout.bscale);
  image.SetAuthor(std::string_view(layout.author).substr(0, 50));
  image.SetSaveableFormat(1);
  image.SetSaveableFile(1);
  image.SetOrgFileName(path);
  image.SetOrgFileFormat("FITS");
  image.SetOrgBitsPixel(-32);
  image.SetOrgPlanes(1);
  image.SetOwnLevel(0);
  if (!image.SetDefaultLevel()) return DIMP_ERR_MEMORY;
  return DIMP_OK;
}

}  // namespace

std::string DataImportText(int code, int columns) {
  switch (code) {
    case DIMP_ERR_SHORT_DATA:
      return "ﾃﾞｰﾀ数が少ないため、これ以上読み込めません。\nﾃﾞｰﾀｲﾝﾎﾟｰﾄを中止します。";
    case DIMP_ASK_COLUMN: {
      char buffer[256];
      std::snprintf(buffer, sizeof buffer,
                    "ﾃﾞｰﾀ数が画像ｻｲｽﾞより多いです。何列（行）目のﾃﾞｰﾀを読み込みますか？\n"
                    "ﾃﾞｰﾀは %d 列（行）あります。",
                    columns);
      return buffer;
    }
    case DIMP_ERR_COLUMN:
      return "読み込めない列（行）です。";
    case DIMP_ERR_FEWER:
      return "画像サイズよりデータ数が少ないため、読み込めません。";
    case DIMP_ERR_INVALID:
      return "入力した値が不正です。";
    case DIMP_ERR_NO_END:
      return "FITSﾍｯﾀﾞのENDが見つかりません。\nﾃﾞｰﾀｲﾝﾎﾟｰﾄを中止します。";
    case DIMP_ERR_NO_NUMBER:
      return "ﾍｯﾀﾞの後に数値ﾃﾞｰﾀがありません。\nﾃﾞｰﾀｲﾝﾎﾟｰﾄを中止します。";
    case DIMP_ERR_MEMORY:
      return "メモリが足りません";
    default:
      return {};
  }
}

int FindDataStart(std::string_view text, std::size_t* start) {
  std::size_t pos = 0;
  for (; pos + 3 <= text.size(); pos += kCard) {
    const std::string_view record = text.substr(pos, std::min(kCard, text.size() - pos));
    if (record.starts_with("END") && record.find_first_not_of(' ', 3) == std::string_view::npos)
      break;
  }
  if (pos + 3 > text.size()) return DIMP_ERR_NO_END;
  for (std::size_t i = std::min(pos + kCard, text.size()); i < text.size(); ++i) {
    if (StartsNumber(text[i])) {
      *start = i;
      return DIMP_OK;
    }
  }
  return DIMP_ERR_NO_NUMBER;
}

std::size_t CountNumbers(std::string_view data, const DataImportLayout& layout, std::size_t limit) {
  if (!LayoutUsable(layout)) return 0;
  Fields fields(data, layout);
  std::string field;
  std::size_t n = 0;
  while (n < limit && fields.Next(&field)) ++n;
  return n;
}

int ParseDataImport(std::string_view data, const DataImportLayout& layout, int width, int height,
                    int columns, int column, std::vector<float>* values) {
  if (width <= 0 || height <= 0 || columns <= 0 || column < 1 || column > columns ||
      !LayoutUsable(layout))
    return DIMP_ERR_INVALID;
  const std::uint64_t count =
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  if (count * static_cast<std::uint64_t>(columns) > data.size()) return DIMP_ERR_SHORT_DATA;
  values->assign(static_cast<std::size_t>(count), 0.0f);
  Fields fields(data, layout);
  std::string field;
  for (std::uint64_t k = 0; k < count; ++k) {
    float v = 0;
    for (int c = 1; c <= columns; ++c) {
      if (!fields.Next(&field)) return DIMP_ERR_SHORT_DATA;
      if (c == column) v = static_cast<float>(AtofC(field.c_str()));
    }
    std::uint64_t x, y;
    if (layout.sequence == 0) {
      x = k % static_cast<std::uint64_t>(width);
      y = k / static_cast<std::uint64_t>(width);
    } else {
      y = k % static_cast<std::uint64_t>(height);
      x = k / static_cast<std::uint64_t>(height);
    }
    (*values)[static_cast<std::size_t>(y * static_cast<std::uint64_t>(width) + x)] = v;
  }
  return DIMP_OK;
}

int DataImportReadHeader(CImage& image, const std::string& path) {
  int rc = DIMP_OK;
  try {
    std::string text;
    rc = ReadWholeFile(path, &text);
    if (rc == DIMP_OK) rc = HeaderFromText(image, text);
  } catch (const std::bad_alloc&) {
    rc = DIMP_ERR_MEMORY;
  }
  return rc;
}

int DataImport(CImage& image, const std::string& path, const DataImportAnswers& answers,
               int* columns) {
  int rc = DIMP_OK;
  try {
    rc = Import(image, path, answers, columns);
  } catch (const std::bad_alloc&) {
    rc = DIMP_ERR_MEMORY;
  }
  if (rc != DIMP_OK) image.Empty();
  return rc;
}

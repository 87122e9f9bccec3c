// Coordinates, number forms and table extensions of the measurement tools.
#include "measure/phottable.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "engine/pixelmove.h"
#include "imagemodel/image.h"
#include "platform/clocale.h"
#include "platform/files.h"
#include "platform/messagebox.h"

bool PhotFlipY(const CImage& image) {
  return FitsRowsBottomUp(image);
}

double PhotShownX(double x) {
  return x + 1.0;
}
double PhotShownY(const CImage& image, double y) {
  return PhotFlipY(image) ? image.GetHeight() - y : y + 1.0;
}
double PhotImageX(double shownX) {
  return shownX - 1.0;
}
double PhotImageY(const CImage& image, double shownY) {
  return PhotFlipY(image) ? image.GetHeight() - shownY : shownY - 1.0;
}

std::string PhotFormat(const char* format, ...) {
  // Tables and text files carry a decimal point whatever the user's locale says.
  va_list args;
  va_start(args, format);
  std::string out = VFormatC(format, args);
  va_end(args);
  return out;
}

std::string PhotNumber(double v, int width, int decimals) {
  if (!(v > 1e11 || v < -1e10)) {
    std::string f = PhotFormat("%*.*f", width, decimals, v);
    if (static_cast<int>(f.size()) <= width) return f;
  }
  return PhotFormat("%*.*e", width, decimals, v);
}

namespace {

std::string QuotedCard(const char* key, std::string_view quoted, std::string_view comment) {
  return PhotFormat("%-8.8s= %-21s/ %.*s", key, std::string(quoted).c_str(),
                    static_cast<int>(comment.size()), comment.data());
}

std::string IntCard(const char* key, long long v, std::string_view comment) {
  return PhotFormat("%-8.8s= %20lld / %.*s", key, v, static_cast<int>(comment.size()),
                    comment.data());
}

std::string Ordinal(int n) {
  const char* suffix = "th";
  if (n % 100 < 11 || n % 100 > 13) {
    if (n % 10 == 1) suffix = "st";
    if (n % 10 == 2) suffix = "nd";
    if (n % 10 == 3) suffix = "rd";
  }
  return std::to_string(n) + suffix;
}

std::string TrimBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

CFitsExtension PhotBuildTable(std::string_view extName, int rowWidth, int rowCount,
                              const std::vector<PhotColumn>& columns,
                              std::vector<std::uint8_t> rows) {
  CFitsExtension ext;
  ext.SetXtension("'TABLE   '");
  ext.SetBitPix(8);
  ext.SetNAxis(2);
  ext.SetNAxes(0, rowWidth);
  ext.SetNAxes(1, rowCount);
  ext.SetExtName(extName);
  const int n = static_cast<int>(columns.size());
  ext.SetTFields(n);
  ext.SetSize(n);
  CFitsHeader& h = ext.m_Header;
  h.Add("XTENSION= 'TABLE   '           / Table extension");
  h.Add("BITPIX  =                    8 / # of bits storing pix value");
  h.Add("NAXIS   =                    2 / Simple 2-D matrix");
  h.Add(IntCard("NAXIS1", rowWidth, "# of characters per row"));
  h.Add(IntCard("NAXIS2", rowCount, "# of rows in table"));
  h.Add("PCOUNT  =                    0 / No \"random\" parameters");
  h.Add("GCOUNT  =                    1 / Only one group");
  h.Add(IntCard("TFIELDS", n, "# of fields in one row"));
  h.Add(PhotFormat("EXTNAME = %-21.21s/ Name of this table", std::string(extName).c_str()));
  h.Add("");
  for (int i = 0; i < n; ++i) {
    const PhotColumn& c = columns[static_cast<std::size_t>(i)];
    const std::string k = std::to_string(i + 1);
    h.Add(QuotedCard(("TTYPE" + k).c_str(), c.ttype, c.comment));
    h.Add(IntCard(("TBCOL" + k).c_str(), c.tbcol,
                  PhotFormat("start column of this field (= %d)", c.tbcol)));
    const char* kind = c.tform[1] == 'I' ? "integer" : c.tform[1] == 'F' ? "float" : nullptr;
    h.Add(QuotedCard(("TFORM" + k).c_str(), c.tform,
                     kind             ? kind
                     : c.tformComment ? c.tformComment
                                      : "character (AUTO, SEMI, SEMICTRD)"));
    if (c.tunit)
      h.Add(QuotedCard(("TUNIT" + k).c_str(), c.tunit, "unit of " + Ordinal(i + 1) + " column"));
    h.Add("");
    ext.SetTType(c.ttype, i);
    ext.SetTBCol(c.tbcol, i);
    ext.SetTForm(c.tform, i);
    ext.SetTUnit(c.tunit ? c.tunit : "", i);
  }
  ext.SetData(std::move(rows));
  return ext;
}

int PhotRemoveTable(CImage& image, std::string_view extName) {
  int removed = 0;
  auto& list = image.m_FitsExtensions;
  for (auto it = list.begin(); it != list.end();) {
    if (it->GetXtension() == "'TABLE   '" && it->GetExtName() == extName) {
      it = list.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  return removed;
}

const CFitsExtension* PhotFindTable(const CImage& image, std::string_view extName) {
  for (const CFitsExtension& ext : image.m_FitsExtensions) {
    std::string_view name = ext.GetExtName();
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    if (ext.GetXtension() == "'TABLE   '" && name == extName) return &ext;
  }
  return nullptr;
}

std::string_view PhotField(std::string_view row, int tbcol, int width) {
  const std::size_t start = tbcol > 0 ? static_cast<std::size_t>(tbcol - 1) : 0;
  if (start >= row.size()) return {};
  return row.substr(start, static_cast<std::size_t>(width));
}

bool PhotFieldInt(std::string_view field, long long* v) {
  const std::string text = TrimBlanks(field);
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long r = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || errno != 0) return false;
  *v = r;
  return true;
}

bool PhotFieldDouble(std::string_view field, double* v) {
  std::string text = TrimBlanks(field);
  for (char& c : text)
    if (c == 'D' || c == 'd') c = 'E';  // FORTRAN exponents
  if (text.empty()) return false;
  // Read with a decimal point whatever the user's locale says.
  double r = 0;
  std::size_t used = 0;
  if (!ParseDecimalDouble(text, &r, &used, true) || used == 0) return false;
  *v = r;
  return true;
}

int PhotAskSave(const std::string& question) {
  return AfxMessageBox(question, MB_YESNOCANCEL | MB_ICONQUESTION);
}

bool PhotAskRestore(const std::string& question) {
  return AfxMessageBox(question, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

int PhotWriteTextFile(const std::string& path, const std::string& utf8) {
  return WriteTextFile(path, utf8) == 0 ? 1 : 0;
}

// Output names and the calibration table of the batch runs.
#include "batch/batchnaming.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include "batch/batchtexts.h"
#include "platform/files.h"
#include "platform/messagebox.h"
#include "platform/text.h"

namespace batch {

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::string NormalizeFolder(std::string_view folder) {
  std::string s(folder);
  for (char& c : s)
    if (c == '\\') c = '/';
  if (s.size() >= 2 && s[1] == ':' && std::isalpha(static_cast<unsigned char>(s[0]))) {
    s.erase(0, 2);
    if (s.empty() || s[0] != '/') s.insert(s.begin(), '/');
  }
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string PlainPath(std::string_view path) {
  constexpr std::string_view kUsf = "<USF>";
  if (path.ends_with(kUsf)) path.remove_suffix(kUsf.size());
  return std::string(path);
}

std::string FileNameOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string AddCharacters(std::string_view path, std::string_view text, bool first) {
  const std::size_t slash = path.rfind('/');
  const std::size_t nameAt = slash == std::string_view::npos ? 0 : slash + 1;
  std::string out(path);
  if (first) return out.insert(nameAt, text);
  const std::size_t dot = path.rfind('.');
  const bool hasExtension = dot != std::string_view::npos && dot > nameAt;
  return out.insert(hasExtension ? dot : path.size(), text);
}

std::string InFolder(std::string_view folder, std::string_view target) {
  std::string out(folder);
  if (out.empty() || out.back() != '/') out += '/';
  return out + FileNameOf(PlainPath(target));
}

std::string Format(std::string_view message, std::string_view text) {
  std::string out(message);
  const std::size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, text);
  return out;
}

int ParseTable(std::string_view text, std::vector<TableRow>* rows, std::string* message) {
  rows->clear();
  std::string missing;
  std::size_t pos = 0;
  for (;;) {
    // Lines end in CR LF or CR as written on Windows, or in LF as written here.
    const std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) break;
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
    TableRow row;
    std::size_t start = 0;
    for (int column = 0;; ++column) {
      const std::size_t comma = line.find(',', start);
      if (column >= kTableColumns) {
        rows->clear();
        *message = std::string(batch_text::kTableUnreadable);
        return 2461;
      }
      // Tables written on Windows name their files with backslashes and drive letters.
      row[column] = NormalizeFolder(line.substr(
          start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
      // The output name is usually a file still to be made.
      if (column != kOutput && !row[column].empty() && !Exists(PlainPath(row[column])))
        missing += row[column] + "\n";
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    rows->push_back(std::move(row));
  }
  if (!missing.empty()) {
    missing.pop_back();
    rows->clear();
    *message = Format(batch_text::kTableFilesMissing, missing);
    return 2462;
  }
  return 0;
}

bool LoadTable(const std::string& path, std::vector<TableRow>* rows) {
  rows->clear();
  std::string text;
  if (ReadFileToString(path, 64u << 20, text) != 0) {
    AfxMessageBox(Format(batch_text::kFilesMissing, path), MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  std::string message;
  // Tables made on Japanese Windows name their files in CP932.
  if (ParseTable(TextFileToUtf8(text), rows, &message) != 0) {
    AfxMessageBox(message, MB_OK | MB_ICONEXCLAMATION);
    return false;
  }
  return true;
}

std::vector<std::string> EncodeTableSetting(const std::vector<TableRow>& rows) {
  std::vector<std::string> values;
  for (std::size_t r = 0; r < rows.size() && r < 1000; ++r)
    for (int c = kBias; c <= kFlatDark; ++c) {
      if (rows[r][c].empty()) continue;
      char head[16];
      std::snprintf(head, sizeof head, "%03d%03d", static_cast<int>(r), c);
      values.push_back(head + rows[r][c]);
    }
  return values;
}

void DecodeTableSetting(const std::vector<std::string>& values, std::vector<TableRow>* rows) {
  for (std::size_t i = 0; i < values.size() && i < 999; ++i) {
    const std::string& v = values[i];
    if (v.size() < 6) return;
    for (int k = 0; k < 6; ++k)
      if (!std::isdigit(static_cast<unsigned char>(v[k]))) return;
    const int row = std::stoi(v.substr(0, 3));
    const int column = std::stoi(v.substr(3, 3));
    if (column >= kTableColumns) return;
    if (rows->size() <= static_cast<std::size_t>(row)) rows->resize(row + 1);
    (*rows)[row][column] = v.substr(6);
  }
}

}  // namespace batch

// Output names of the batch runs: the save folder as the user typed it, a target's name
// in that folder, characters added before the file name or before its extension, and the
// table of the individual calibration (read from a text file, kept in the settings).
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace batch {

// A folder as typed, made a Linux path: every '\' becomes '/', a leading drive ("D:")
// is dropped so that "D:\data" names "/data" and a bare drive "D:" (or "D:\") the root
// "/", and trailing separators go (the root stays "/"). Empty stays empty.
std::string NormalizeFolder(std::string_view folder);

// The name of a document: the path without the "<USF>" marker of unsigned FITS reading.
std::string PlainPath(std::string_view path);

// The file name (with its extension) of a path: what follows the last '/'.
std::string FileNameOf(std::string_view path);

// The path with text added to its file name: before it (first true: "dir/_cm31.fts") or
// after it and before the extension (first false: "dir/m31_c.fts"). The extension is the
// file name's last '.' and what follows, unless that '.' opens the name (".bashrc" has
// none).
std::string AddCharacters(std::string_view path, std::string_view text, bool first);

// The name a target takes in the save folder: folder + '/' + the target's file name.
std::string InFolder(std::string_view folder, std::string_view target);

// "%s" of a message replaced by text (the first occurrence only).
std::string Format(std::string_view message, std::string_view text);

// ---- the table of the individual calibration: one row per image.
enum TableColumn { kImage = 0, kBias = 1, kDark = 2, kFlat = 3, kFlatDark = 4, kOutput = 5 };
constexpr int kTableColumns = 6;
using TableRow = std::array<std::string, kTableColumns>;

// Reads a table text: a row per line ended by a carriage return (a line feed after it is
// skipped) or by a line feed alone, as text files are written here; text after the last
// line end is ignored; cells separated by commas in
// column order, each cell made a Linux path as NormalizeFolder does ("D:\obs\m31.fts" names
// "/obs/m31.fts"). Returns 0 and the rows; or, with rows emptied and *message set, 2461 for
// a row of more than six cells and 2462 for image or frame cells naming files that do not
// exist (all of them, one a line; the output column may name a new file).
[[nodiscard]] int ParseTable(std::string_view text, std::vector<TableRow>* rows,
                             std::string* message);

// Reads a table file (UTF-8, or CP932 when it is not valid UTF-8) as ParseTable, showing its
// message through the message box; a file that cannot be read shows 2373 with its name. True with
// the rows; false with rows empty.
bool LoadTable(const std::string& path, std::vector<TableRow>* rows);

// The calibration columns (1 to 4) as the settings keep them: one value per non-empty
// cell in row order, the row and the column as three digits each and then the path.
std::vector<std::string> EncodeTableSetting(const std::vector<TableRow>& rows);
// The values read back into their cells (at most 999; a value not of that form ends the
// list); rows are added as the values need them.
void DecodeTableSetting(const std::vector<std::string>& values, std::vector<TableRow>* rows);

}  // namespace batch

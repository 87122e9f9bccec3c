// The rules of the file dialogs, without a screen: the filter lists and their indices,
// what the open dialog hands back, the checks of the save-as dialog, the raw-layout
// checks, the plane dialog's labels and first choices, and the rules of the FITS, JPEG
// and PNG option dialogs. The Qt dialogs, the command-line tool and the tests call these,
// so every face of the program refuses the same things with the same words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One entry of a '|' filter list.
struct FilterEntry {
  std::string description;
  std::vector<std::string> patterns;  // "*.fts", "*.st*", ...
};
std::vector<FilterEntry> ParseFilter(std::string_view filter);
// Qt's form of a list: "Description (*.a *.b)" per entry. The description's own
// parenthesised pattern list is kept; Qt reads the last parenthesised group.
std::vector<std::string> FilterToQt(std::string_view filter);

// The extension of a path: the text after the last '.' of its file name; empty when none.
std::string ExtensionOf(std::string_view path);
// The 0-based index of the entry whose patterns contain "*." + extension (case ignored),
// or -1.
int GetFilterIndex(std::string_view filter, std::string_view extension);

// ---- open dialogs
struct OpenDialogSetup {
  std::string filter;
  std::string title;
  std::string folderKey;       // section "IO"
  std::string filterIndexKey;  // section "IO"
};
OpenDialogSetup OpenImageSetup(int fileType);
OpenDialogSetup OpenDataSetup(int fileType);
// The multiple-selection result: the folder, then each file name, each ended by a zero
// byte, and a second zero byte at the end. One file is split at its last '/' or '\'.
std::string MakeOpenBuffer(const std::vector<std::string>& paths);
// Back to full paths (folder + '/' + name); a buffer of one full path gives that path.
std::vector<std::string> SplitOpenBuffer(std::string_view buffer);

// ---- save-as dialog
// The filter list for an image: without the FITS, Mutoh and SBIG entries when it cannot
// be saved as FITS or is a contour map.
std::string SaveFilter(int saveableAsFits, int contourMap);
// The name after the user picks another file type: the type's first extension replaces
// the extension, unless the name already has one of the type's or an all-digit one.
std::string AdjustExtensionForFilter(std::string_view name, const FilterEntry& entry);

enum class SaveNameVerdict { kOk, kCompleted, kRefused };
struct SaveNameCheck {
  SaveNameVerdict verdict = SaveNameVerdict::kOk;
  std::string name;     // kCompleted: the name with the type's extension added
  std::string message;  // kRefused: the text to show (information icon)
};
// Whether saving to path would write over the file an image was read from. Either name
// may be a document name ending in "<USF>" (a FITS file read as unsigned); without it,
// both must name the same existing file (see SameFile), whatever their spelling.
bool IsOriginalFile(std::string_view path, std::string_view originalFileName);
// The checks of OK: empty name, a name without extension (completed and kept open), an
// unknown type, a type that cannot be saved, and overwriting the original when that is
// not allowed (IsOriginalFile). fullPath is the name joined to the dialog's folder.
SaveNameCheck CheckSaveName(std::string_view name, std::string_view fullPath,
                            const FilterEntry* selected, int overwriteAllowed,
                            std::string_view originalFileName);

// ---- raw-file layout
// Checks the fields in the dialog's order; the message of the first failure, or nullopt.
std::optional<std::string> ValidateLoadRaw(std::string_view width, std::string_view height,
                                           std::string_view header, int dataType, int sign,
                                           int bits);
enum class RawSize { kMatches, kTooSmall, kTailUnused };
// expected = width × height × planes × bytes + header; the file also matches at the
// expected size rounded up to a multiple of 2880.
RawSize CheckRawSize(std::int64_t fileSize, std::int64_t width, std::int64_t height,
                     int planes, int bytesPerPixel, std::int64_t header);

// ---- plane dialog
// One label per list entry: "R", "G", "B" for an RGB-ordered file (further planes
// numbered on), else "第 1" ... "第 n".
std::vector<std::string> Fits3DLabels(int planeCount, int siTypeRGB);
struct Fits3DChoice {
  bool color = false;
  int gray = 0, red = 0, green = 1, blue = 2;
};
Fits3DChoice Fits3DDefaults(int planeCount, int siTypeRGB);

// ---- FITS options: data type and bits
struct SaveFitsState {
  bool real = false;
  int bitsIndex = 1;  // 0: 8, 1: 16, 2: 32, 3: 64
};
SaveFitsState SaveFitsFromBits(int bits);
// Which bits buttons the data type enables.
bool SaveFitsBitsEnabled(bool real, int bitsIndex);
// The state after switching the data type: a choice the type disables moves to 32.
SaveFitsState SaveFitsSetReal(SaveFitsState state, bool real);
// The bits of OK, or nullopt for integer 64 and real 8 or 16 (message kSaveFitsBad).
std::optional<int> SaveFitsBits(SaveFitsState state);

// ---- JPEG quality and PNG compression boxes: 1 to 10
struct QualityCheck {
  int value = 0;
  std::string message;  // empty when accepted
};
QualityCheck CheckJpegQuality(std::string_view text);

// ---- SBIG options
// The camera named in the SBIG dialog for a type word.
std::string SbigCameraName(int type);

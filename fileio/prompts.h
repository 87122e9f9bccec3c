// The questions the file dispatcher puts to the user, one Prompt subclass each. The
// dispatcher fills the "in" fields (and the answer fields with their initial values from
// the settings); an answerer that accepts leaves its answer in the answer fields. The
// rules of each question (what is refused, what enables what) are in filedialogs.h, so
// the Qt dialogs, the command-line tool and the tests apply the same ones.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/userprompts.h"

// Open dialog (CDlgFileOpen).
class FileOpenPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "FileOpen";
  std::string_view Kind() const override { return kKind; }
  std::string title;
  std::string filter;        // '|' form
  std::string initialDir;    // empty: the answerer's choice
  bool multiSelect = true;
  // In and out: the 1-based filter index.
  int filterIndex = 1;
  // Out: the chosen files, full paths.
  std::vector<std::string> paths;
};

// Save-as dialog (CDlgFileSave). The answerer applies CheckSaveName on OK.
class FileSavePrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "FileSave";
  std::string_view Kind() const override { return kKind; }
  std::string title;
  std::string filter;       // '|' form
  std::string initialDir;
  std::string initialName;  // file name and extension only
  int saveableFormat = 1;   // 0: no type preselected
  int overwriteAllowed = 1;
  std::string originalFileName;
  // In and out: the 1-based filter index.
  int filterIndex = 1;
  // Out: the full path chosen.
  std::string path;
};

// Layout of a headerless raw file (CDlgLoadRaw). The fields are those of the dialog and
// of section "Dialog\LoadByteImage".
class LoadRawPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "LoadRaw";
  std::string_view Kind() const override { return kKind; }
  std::string path;
  std::int64_t fileSize = 0;
  std::string width = "640";
  std::string height = "480";
  int plane = 0;      // 0 gray, 1 colour
  std::string header = "0";
  int dataType = 0;   // 0 integer, 1 real
  int byteOrder = 0;  // 0 "IBM", 1 "MAC"
  int sign = 1;       // 0 "あり" (signed), 1 "なし" (unsigned)
  int bits = 0;       // 0..3: 8, 16, 32, 64
};

// Planes of a FITS cube (CDlgLFits3D).
class LoadFits3DPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "LoadFits3D";
  std::string_view Kind() const override { return kKind; }
  int planeCount = 0;
  int siTypeRGB = 0;
  // In and out (initial values from Fits3DDefaults): list indices, 0-based.
  bool color = false;
  int gray = 0, red = 0, green = 1, blue = 2;
};

// Which image of a FITS file of several image units to open (CDlgFitsUnit). Each entry is
// one unit that holds an image, in file order.
class FitsUnitPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "FitsUnit";
  std::string_view Kind() const override { return kKind; }
  struct Entry {
    int unit = 0;         // the unit's index in the file, 0 for the primary
    std::string extName;  // empty when it has none
    int extVer = 1;
    std::string size;  // "2048 x 4096"
    std::string type;  // BITPIX: "16", "-32", ...; "compressed 16" for a tile-compressed one
  };
  std::string path;
  std::vector<Entry> entries;
  // In and out: the chosen entry, 0-based.
  int choice = 0;
};

// FITS bits (CDlgSaveFits): 8, 16, 32, -32 or -64.
class SaveFitsPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "SaveFits";
  std::string_view Kind() const override { return kKind; }
  int bits = -32;
};

// What to do with data that the target integer type cannot hold (CDlgChangeBitsFits):
// mode 0 clips, mode 3 compresses into the range.
class ChangeBitsFitsPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "ChangeBitsFits";
  std::string_view Kind() const override { return kKind; }
  int bits = 16;  // in: the target
  int mode = 0;
};

class SaveTiffPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "SaveTiff";
  std::string_view Kind() const override { return kKind; }
  int bits = 8;         // 8 or 16
  int byteOrder = 0;    // TIF_ORDER_*
  int compression = 0;  // TIF_COMPRESS_*
};

class SaveJpegPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "SaveJpeg";
  std::string_view Kind() const override { return kKind; }
  int quality = 7;  // 1..10
  bool progressive = false;
};

class SavePngPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "SavePng";
  std::string_view Kind() const override { return kKind; }
  int compression = 5;  // 1..10
  bool interlace = false;
  int bitDepth = 0;  // 0: 8 bits, 1: 16 bits
};

class SaveBmpPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "SaveBmp";
  std::string_view Kind() const override { return kKind; }
  int bits = 24;  // 8 or 24
};

class SaveGifPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "SaveGif";
  std::string_view Kind() const override { return kKind; }
  int type = 2;  // 0 GIF87a, 1 GIF87a interlaced, 2 GIF89a, 3 GIF89a interlaced
};

class SaveSbigPrompt : public Prompt {
 public:
  static constexpr std::string_view kKind = "SaveSbig";
  std::string_view Kind() const override { return kKind; }
  std::string camera;  // in: "ST-7", ...
  bool compression = false;
};

// CRalImageIO: the one door through which images enter and leave the system. It tells a
// file's format from its name, asks the questions some formats need (through the
// installed UserPrompts), calls the format's reader, folds the scaling into real pixels
// (32-bit floats where they hold the file's values exactly, else 64-bit doubles); and on
// the way out asks the save options, converts what the format cannot hold into a
// temporary copy, calls the writer and records where the image was saved. Failures are
// shown through the file message box (FileioMsgBox); the code of the last one is also
// kept for callers without a window (GetLastError).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fileio/readparam.h"
#include "platform/wintypes.h"

class CFitsHeader;
class CImage;
class CRalImage;
class ProgressSink;
struct StoredForm;

class CRalImageIO {
 public:
  // ---- format detection
  // "_CLIPBOARD_" is 14; otherwise the code of the extension (the text after the last
  // '.' of the file name, the part after the last '/'), 0 when there is none or it is
  // not known.
  static int GetFileType(const std::string& path);
  // Whether the file at path (a bracketed unit ignored) begins as a FITS file does, its
  // first card "SIMPLE  =" with T in column 30, also when the whole file is packed with
  // gzip. Only a regular file is looked into, opened without blocking; anything else, or
  // a file that cannot be read, is not.
  static bool IsFitsFile(const std::string& path);
  // The type of the file at path: that of its name, except that a name of no known
  // format (".mt", none at all) or with a bare number as extension (".fts.1", which names
  // an SBIG frame otherwise) gives FITS when the content is FITS. ReadImageFile and
  // ReadHeaderFile, given the type of such a name (0 or 6), read a FITS file as FITS and
  // record type 3.
  static int GetFileTypeOfFile(const std::string& path);
  // Document names: a path with "<USF>" appended stands for a FITS file read as type 12.
  // Returns the type and leaves the path without its suffix in *path. A name that exists
  // as it stands (with a bracketed FITS unit, its file) is that file, whatever '<' it
  // holds: its type is that of the name, and the name is left whole.
  static int GetFileTypeOfDocumentName(std::string* path);
  static bool IsSbigType(const std::string& extension);
  static int IsFileFormatSaveable(int type);

  // ---- reading (1 success, 0 failure; the failure has been shown). With the type of a
  // name that leaves the format open in param (see GetFileTypeOfFile), a file whose
  // content is FITS is read as FITS and param's type becomes 3; any other file of no known
  // format is refused as of unknown type (12).
  static int ReadFile(CRalImage& image, const std::string& path, CReadParam* param, int bits,
                      int* autoLevel);
  static int ReadImageFile(CRalImage& image, const std::string& path, CReadParam* param);
  static int ReadHeader(CRalImage& image, const std::string& path, CReadParam* param);
  static int ReadHeaderFile(CRalImage& image, const std::string& path, CReadParam* param);
  // The raw layout and the planes of a cube; 0 when the user cancels.
  static int GetLoadRawParam(const std::string& path, CReadParam* param);
  static int GetLoadFits3DParam(const CImage& image, CReadParam* param);
  // The setting "AutoLevelOnOpen" of section "General" (default 1).
  static int GetAutoLevel();
  // Whether a display bitmap of the image's size can be had now.
  static int CheckBitmapBuffer(const CImage& image);

  // ---- open and save-as dialogs
  // The chosen files in the open dialog's buffer form (see MakeOpenBuffer), or one full
  // path with singleSelection; 1 when files were chosen.
  static int GetOpenImageFileName(std::string* buffer, int fileType, int singleSelection);
  static int GetOpenDataFileName(std::string* buffer, int fileType, int singleSelection);
  // path: the proposed path in, the chosen path out. 1 on OK, 0 on cancel.
  static int GetSaveImageFileName(std::string* path, int saveableFormat, int saveableAsFits,
                                  int overwriteAllowed, const std::string& originalFileName,
                                  int contourMap);

  // ---- writing
  // The type a save to path writes: that of its name; but FITS when path is the (not
  // gzip-packed) FITS file the image was read from and its name leaves the format open
  // (none known, or a number), so that a file opened under such a name is saved back.
  static int GetSaveFileType(const CImage& image, const std::string& path);
  // Writes the image in the format of GetSaveFileType, asking the format's options when
  // askOptions is non-zero. 1 on success; 0 on failure or cancel; 26 when the image may
  // not be written as FITS.
  static int WriteImageFile(CRalImage& image, const std::string& path, int askOptions);

  // The image that a FITS save of `image` with `bits` writes: *copy stays null when the
  // image is written as it is, else holds the converted copy (a plain save, askOptions
  // 0, or a save in the file's own type writes the data back with the file's own
  // scaling and blank value when they fit).
  // 1 success, 0 out of memory, -1 when the conversion question was cancelled. A caller
  // that passes form and streamed may get, instead of a copy with the file's own
  // scaling, *streamed true and the stored form to hand to CFits::Write, which converts
  // the rows as it writes them.
  static int PrepareFitsImage(const CRalImage& image, int bits, int askOptions,
                              std::unique_ptr<CRalImage>* copy, StoredForm* form = nullptr,
                              bool* streamed = nullptr);
  // askOptions for a save whose questions are taken as answered with what they offer
  // first, without asking anyone.
  static constexpr int kFirstAnswers = 2;
  // The primary header that a FITS save of `image` with `bits` writes (PrepareFitsImage,
  // then CFits::FormatHeader of what it prepared). PrepareFitsImage's result.
  static int FormatFitsHeader(const CRalImage& image, int bits, int askOptions,
                              CFitsHeader* header);
  // The pixel type the program's FITS save offers first.
  static int GetSaveFitsBits(const CImage& image);
  // The header that the program's FITS save writes when its questions are answered as
  // they are offered: what the header editor shows.
  static int FormatSaveHeader(const CRalImage& image, CFitsHeader* header);

  // ---- services of the caller
  // Where long work reports progress: the main window in the program, the terminal in
  // the command-line tool; null (the default) is silent.
  static void SetProgressSink(ProgressSink* sink);
  static ProgressSink* GetProgressSink();
  // Whether the answers to the dispatcher's questions (save options, the conversion
  // mode, the raw layout, the save folder and type) are stored in the settings, where
  // they become the first answers next time. On by default, as the program's dialogs
  // want; the command-line tool turns it off, so that its flags hold for one run only.
  // The settings are read as the first answers either way.
  static void SetRememberAnswers(bool on);
  static bool GetRememberAnswers();
  // The code of the last failure reported (0 after a success, 27 after a cancel).
  static int GetLastError();
  static void ClearLastError();

  // The Bitran calibration steps (public for the batch code and tests). A dark or flat
  // that cannot be read is left out silently, unless its name is a folder, a device, a
  // pipe or a loop of links: that is shown, and the image is read without it.
  static int BitranDarkClb(CRalImage& image, const std::string& darkPath, int offset,
                           ProgressSink* progress, const std::string& caption);
  static int BitranFlatClb(CRalImage& image, const std::string& flatPath, int flatOffset,
                           const std::string& flatDarkPath, int flatDarkOffset,
                           ProgressSink* progress, const std::string& caption);
  // Converts to bits; for real bits folds BSCALE, BZERO and the blank value into the
  // pixels (32-bit floats where they hold the values exactly, else 64-bit doubles).
  static int ChangeBits(CRalImage& image, int bits);

 private:
  static int WriteFitsFile(CRalImage& image, const std::string& path, int askOptions);
  static int WriteTiffFile(CRalImage& image, const std::string& path, int askOptions);
  static int WriteJpegFile(CRalImage& image, const std::string& path, int askOptions);
  static int WritePngFile(CRalImage& image, const std::string& path, int askOptions);
  static int WriteBmpFile(CRalImage& image, const std::string& path, int askOptions);
  static int WriteGifFile(CRalImage& image, const std::string& path, int askOptions);
  static int WriteSbigFile(CRalImage& image, const std::string& path, int askOptions);
  static int WriteMutohFile(CRalImage& image, const std::string& path, int mutohType,
                            int askOptions);
  static int WriteClipboard(CRalImage& image);
};

// The conversion question: whether the image's data fit `bits` as they are and, when not
// and options are asked, how to fit them. Returns the mode (0 clip, 3 compress) or -1
// when the user cancelled.
int AskChangeBitsMode(const CImage& image, int bits, int askOptions);

// CPrcAutoLevel: the automatic display levels with the settings of section
// "PrcAutoLevel" ("Min" 6.0 σ, "Max" 30.0 σ, "Plane" 0 luminance / 1 per plane), the
// levels cut to the decimals that a 1/1024 of each plane's range implies.
class CPrcAutoLevel {
 public:
  static int Do(CImage& image, const RECT* rect);
};

// Mutoh camera files: MTF (a 2048-byte text header of "KEYWORD value" lines, then the
// pixels) and BIN (four 16-bit numbers, then the pixels). Both hold one plane of 16-bit
// unsigned counts, least significant byte first. MTF header lines travel with the image
// as "COMMENT [MTF]" cards, so an image read from MTF is written back with its camera
// information.
#pragma once

#include <optional>
#include <string>
#include <string_view>

class CImage;
class ProgressSink;

// Results. A name that is no regular file gives the file I/O codes for it instead
// (FIO_ERR_FOLDER, FIO_ERR_NOT_REGULAR, FIO_ERR_LINK_LOOP).
inline constexpr int MTF_OK = 0;
inline constexpr int MTF_ERR_CREATE = 2;   // the file cannot be created
inline constexpr int MTF_ERR_OPEN = 3;     // the file cannot be opened
inline constexpr int MTF_ERR_SHORT = 4;    // the file ends inside its header or pixels
inline constexpr int MTF_ERR_WRITE = 5;    // writing or closing failed
inline constexpr int MTF_ERR_MEMORY = 6;   // memory exhausted
inline constexpr int MTF_ERR_FORMAT = 7;   // not a valid file of the type
inline constexpr int MTF_ERR_HEADER = 18;  // the image cannot be written in the type

inline constexpr int kMutohHeaderSize = 2048;  // MTF text header
inline constexpr int kMutohBinHeaderSize = 8;  // BIN numeric header
inline constexpr int kMutohBinMaxSide = 2000;  // the largest BIN width or height read

class CMutoh {
 public:
  enum MUTOH_TYPE { BIN = 0, MTF = 1 };

  // Header, levels and pixels. 0 or an error code.
  [[nodiscard]] static int Read(CImage& image, const std::string& path, int type,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // The header step alone: geometry, levels and cards, no pixels.
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path, int type,
                                      ProgressSink* progress = nullptr,
                                      const std::string& caption = {});
  // Writes a one-plane 16-bit unsigned image through a temporary file renamed over path;
  // a failed write leaves the target as it was.
  [[nodiscard]] static int Write(const CImage& image, const std::string& path, int type,
                                 ProgressSink* progress = nullptr, const std::string& caption = {});

  // The next "KEYWORD value" line of an MTF header from *pos (CR, LF and blanks before it
  // skipped); false at "END", at a line that does not begin with a letter or digit, or at
  // the end of the text. *pos moves past the line.
  static bool GetHeaderLine(std::string_view header, std::size_t* pos, std::string* keyword,
                            std::string* value);
  static int GetDaysOfMonth(int year, int month);
  // DATE (month/day/year) and local TIME (h:m:s) to UTC "YYYY-MM-DD" and "HH:MM:SS.000";
  // biasMinutes is added to local standard time to give UTC.
  static bool MakeDateTimeString(std::string_view date, std::string_view time, int biasMinutes,
                                 std::string* dateOut, std::string* timeOut);
  // The local date ("mm/dd/yy") and time ("hh:mm:ss") an MTF header is written with, from
  // the image's tagged cards, DATE, TIME or DATE-OBS cards; nullopt when none gives one.
  static std::optional<std::string> GetDateHeader(const CImage& image);
  static std::optional<std::string> GetTimeHeader(const CImage& image);
  // The text cut or padded with blanks to 80 bytes, appended to the image's header.
  static void AddFitsHeader(CImage& image, std::string_view text);
  static void MakeRequiredFitsHeader(CImage& image);
};

// Bitran cooled-CCD camera files (.ccd, .drk, .flt, .fdk). Reading has two stages: Read
// loads the raw 16-bit sensor frame into a one-plane float image and turns the camera
// text into FITS cards; Conversion then corrects defect pixels, mirrors, interpolates the
// colour mosaic, applies the levels and the sky cut that the file's convert text asks
// for. Between the two the dispatcher subtracts the dark and divides by the flat that the
// file names. The library writes nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/clocale.h"

class CImage;
class ProgressSink;

// Results of the readers. A name that is no regular file gives the file I/O codes for it
// instead (FIO_ERR_FOLDER, FIO_ERR_NOT_REGULAR, FIO_ERR_LINK_LOOP).
inline constexpr int BRN_OK = 0;
inline constexpr int BRN_ERR_OPEN = 3;          // the file cannot be opened
inline constexpr int BRN_ERR_SHORT = 4;         // the file ends inside the header or the pixels
inline constexpr int BRN_ERR_MEMORY = 6;        // memory exhausted
inline constexpr int BRN_ERR_SIGNATURE = 7;     // neither signature, or an impossible frame size
inline constexpr int BRN_ERR_FRAME_SMALL = 30;  // a low-resolution colour frame under 2 × 2

// The original file format text of a Bitran image.
inline constexpr std::string_view kBitranFormatName = "BITRAN";

struct BitranBinning {
  int cx = 1;
  int cy = 1;
  bool operator==(const BitranBinning&) const = default;
};

// What the header of a Bitran file says about converting its frame.
class CBitranParam {
 public:
  CBitranParam() { Init(); }
  // Resets every field but the version, the unused size and the image offset.
  void Init();

  const std::string& GetDrkFileName() const { return m_strDrkFileName; }
  void SetDrkFileName(std::string_view s) { m_strDrkFileName = std::string(s); }
  const std::string& GetFltFileName() const { return m_strFltFileName; }
  void SetFltFileName(std::string_view s) { m_strFltFileName = std::string(s); }
  const std::string& GetFdkFileName() const { return m_strFdkFileName; }
  void SetFdkFileName(std::string_view s) { m_strFdkFileName = std::string(s); }
  int GetDrkConvert() const { return m_nDrkConvert; }
  void SetDrkConvert(int v) { m_nDrkConvert = v; }
  int GetFltConvert() const { return m_nFltConvert; }
  void SetFltConvert(int v) { m_nFltConvert = v; }
  int GetFdkConvert() const { return m_nFdkConvert; }
  void SetFdkConvert(int v) { m_nFdkConvert = v; }
  int IsSky() const { return m_nSky; }
  int GetSky() const { return m_nSkyThreshold; }
  void SetSky(int sky, int threshold) {
    m_nSky = sky;
    m_nSkyThreshold = threshold;
  }
  const std::string& GetConvert() const { return m_strConvert; }
  void SetConvert(std::string_view s) { m_strConvert = std::string(s); }
  int GetPlanes() const { return m_nPlanes; }
  void SetPlanes(int v) { m_nPlanes = v; }
  bool IsColor() const { return m_nPlanes == 3; }
  int IsHighRes() const { return m_nHighRes; }
  void SetHighRes(int v) { m_nHighRes = v; }
  int GetLeft() const { return m_nLeft; }
  void SetLeft(int v) { m_nLeft = v; }
  int GetTop() const { return m_nTop; }
  void SetTop(int v) { m_nTop = v; }
  BitranBinning GetBinning() const { return m_Binning; }
  void SetBinning(BitranBinning b) { m_Binning = b; }
  int IsPixelCorrect() const { return m_nPixelCorrect; }
  void SetPixelCorrect(int v) { m_nPixelCorrect = v; }
  const std::string& GetPixelCorrect() const { return m_strPixelCorrect; }
  void SetPixelCorrect(std::string_view s) { m_strPixelCorrect = std::string(s); }
  int GetGreenPixel() const { return m_nGreenPixel; }
  void SetGreenPixel(int v) { m_nGreenPixel = v; }
  int IsMirror() const { return m_nMirror; }
  void SetMirror(int v) { m_nMirror = v; }
  int GetVersion() const { return m_nVersion; }
  void SetVersion(int v) { m_nVersion = v; }
  int GetDisuseWidth() const { return m_nDisuseWidth; }
  void SetDisuseWidth(int v) { m_nDisuseWidth = v; }
  int GetDisuseHeight() const { return m_nDisuseHeight; }
  void SetDisuseHeight(int v) { m_nDisuseHeight = v; }
  int GetImageCorrect() const { return m_nImageCorrect; }
  void SetImageCorrect(int v) { m_nImageCorrect = v; }

 private:
  std::string m_strDrkFileName;
  std::string m_strFltFileName;
  std::string m_strFdkFileName;
  int m_nDrkConvert = 0;
  int m_nFltConvert = 0;
  int m_nFdkConvert = 0;
  int m_nSky = 0;
  int m_nSkyThreshold = 0;
  std::string m_strConvert;
  int m_nPlanes = 1;
  int m_nHighRes = 0;
  int m_nLeft = 0;
  int m_nTop = 0;
  BitranBinning m_Binning;
  int m_nPixelCorrect = 0;
  std::string m_strPixelCorrect;
  int m_nGreenPixel = 0;
  int m_nMirror = 0;
  int m_nVersion = 0;
  int m_nDisuseWidth = 0;
  int m_nDisuseHeight = 0;
  int m_nImageCorrect = 0;
};

// The camera text gathered while a header is read, and the FITS cards made from it.
class CBitranHeader {
 public:
  void SetData(std::string_view text) { m_strData = std::string(text); }
  const std::string& GetData() const { return m_strData; }
  // Appends the text up to its first CR LF, at most 80 bytes; empty text is ignored.
  void SetComment(std::string_view text);
  const std::vector<std::string>& GetComments() const { return m_Comments; }

  void Required(CImage& image) const;
  void Time(CImage& image) const;
  void Instrument(CImage& image) const;
  void Comment(CImage& image) const;

 private:
  std::vector<std::string> m_Comments;
  std::string m_strData;
};

// Fields of the camera text, exposed for the header cards and for tests. Texts are UTF-8.
struct BitranDateTime {
  int year, month, day, hour, minute, second;
};
namespace bitran_text {
// The date and time the camera wrote (local time of the reading machine), turned into
// UTC with biasMinutes (minutes to add to local time to get UTC). False when any of the
// six fields is missing or out of range.
bool ParseDateTime(std::string_view text, int biasMinutes, BitranDateTime* out);
// Exposure in seconds; false when there is none or the fraction has no positive divisor.
bool ParseExposure(std::string_view text, double* seconds);
// The detector name; false when the text names none.
bool ParseDetector(std::string_view text, std::string* name);
// The detector temperature in kelvin; false when there is none.
bool ParseTemperature(std::string_view text, double* kelvin);
using ::LocalBiasMinutes;
}  // namespace bitran_text

class CBitran {
 public:
  // Reads the header and the raw frame: a one-plane 32-bit float image. 0 or an error.
  [[nodiscard]] static int Read(CImage& image, const std::string& path,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // The same, then copies the header's conversion parameters into *param.
  [[nodiscard]] static int Read(CImage& image, const std::string& path, CBitranParam* param,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // Header only: geometry and cards; the plane count is that of the finished image.
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path,
                                      ProgressSink* progress = nullptr,
                                      const std::string& caption = {});
  // Second stage: defect pixels, mirror, colour, levels and sky cut. 0, 6 when memory
  // runs out, or 30 for a low-resolution colour frame too small for one mosaic cell.
  [[nodiscard]] static int Conversion(CImage& image, const CBitranParam* param,
                                      ProgressSink* progress = nullptr,
                                      const std::string& caption = {});
  // Adds offset to every pixel of every plane; nothing when offset is 0.
  static void DlkFltCorrection(CImage& image, int offset, ProgressSink* progress = nullptr,
                               const std::string& caption = {});

  // The record the last header read filled. One read at a time.
  static CBitranParam m_BitranParam;
};

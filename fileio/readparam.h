// CReadParam: how a file is to be read (its type code, and for headerless raw files and
// FITS cubes the layout and the planes to take). RAWIMAGE is the subset the raw reader
// takes. The type codes cross library boundaries, so their values are fixed.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "formats/raw/rawimage.h"  // RAWIMAGE, the record handed to the raw reader

// File type codes.
inline constexpr int FILETYPE_UNKNOWN = 0;
inline constexpr int FILETYPE_BMP = 1;
inline constexpr int FILETYPE_DIB = 2;
inline constexpr int FILETYPE_FITS = 3;
inline constexpr int FILETYPE_MTF = 4;
inline constexpr int FILETYPE_BIN = 5;
inline constexpr int FILETYPE_SBIG = 6;
inline constexpr int FILETYPE_TIFF = 7;
inline constexpr int FILETYPE_JPEG = 8;
inline constexpr int FILETYPE_GIF = 9;
inline constexpr int FILETYPE_BITRAN = 10;
inline constexpr int FILETYPE_PNG = 11;
inline constexpr int FILETYPE_USFITS = 12;  // FITS with 16/32-bit integers read as unsigned
inline constexpr int FILETYPE_RAW = 13;
inline constexpr int FILETYPE_CLIPBOARD = 14;

class CReadParam {
 public:
  CReadParam() = default;
  CReadParam(const CReadParam&) = default;
  CReadParam& operator=(const CReadParam&) = default;
  virtual ~CReadParam() = default;

  int GetFileType() const { return m_nFileType; }
  void SetFileType(int type) { m_nFileType = type; }
  // The type a file name suggests, except that the unsigned-FITS and clipboard codes
  // (12, 14) and unknown names are stored as 0: those are never chosen by a name alone.
  void SetFileTypeDefaulted(const std::string& path);
  int GetPcdResolution() const { return m_nPcdResolution; }
  void SetPcdResolution(int v) { m_nPcdResolution = v; }
  int GetBitsPixel() const { return m_nBitsPixel; }
  void SetBitsPixel(int v) { m_nBitsPixel = v; }
  int GetWidth() const { return m_nWidth; }
  void SetWidth(int v) { m_nWidth = v; }
  int GetHeight() const { return m_nHeight; }
  void SetHeight(int v) { m_nHeight = v; }
  int GetPlanes() const { return m_nPlanes; }
  void SetPlanes(int v) { m_nPlanes = v; }
  int GetHeaderSize() const { return m_nHeaderSize; }
  void SetHeaderSize(int v) { m_nHeaderSize = v; }
  int GetByteOrder() const { return m_nByteOrder; }
  void SetByteOrder(int v) { m_nByteOrder = v; }
  int GetSigned() const { return m_bSigned; }
  void SetSigned(int v) { m_bSigned = v; }
  // Planes 0..2; any other index reads as 0 and is not stored.
  int GetReadPlane(int i) const { return i >= 0 && i < 3 ? m_nReadPlane[i] : 0; }
  void SetReadPlane(int i, int plane) {
    if (i >= 0 && i < 3) m_nReadPlane[i] = plane;
  }

  RAWIMAGE ToRawImage() const {
    return {m_nBitsPixel, m_nWidth, m_nHeight, m_nPlanes, m_nHeaderSize, m_nByteOrder, m_bSigned};
  }

 private:
  std::int32_t m_nFileType = 0;
  std::int32_t m_nPcdResolution = 0;  // kept for the interface; no reader uses it
  std::int32_t m_nBitsPixel = -32;
  std::int32_t m_nWidth = 0;
  std::int32_t m_nHeight = 0;
  std::int32_t m_nPlanes = 1;
  std::int32_t m_nHeaderSize = 0;
  std::int32_t m_nByteOrder = 0;
  std::int32_t m_bSigned = 0;
  std::array<std::int32_t, 3> m_nReadPlane{0, 1, 2};
};

// Clipboard exchange. Between running copies an image travels in a private format that
// keeps its pixel type, scaling and levels exactly: a 112-byte little-endian header
// (bits, signed flag, dimension, width, height, planes as 32-bit integers; BSCALE,
// BZERO; the level minimum, maximum and range of three planes as doubles), then the
// rows of plane 0 top to bottom, then planes 1 and 2, without padding. Beside it goes a
// bitmap for other programs. Pasting prefers the private format and falls back to any
// image another program placed.
//
// The clipboard itself is reached through ClipboardAccess, which the program installs
// (qt/qtclipboard.h); without one every call gives FIO_ERR_CLIPBOARD_OPEN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dib/dibutil.h"
#include "fits/fileiocodes.h"

class CImage;
class ProgressSink;

inline constexpr std::string_view kClipboardFormatName = "Vantorel-Image";
inline constexpr std::string_view kClipboardMimeType = "application/x-vantorel-image";
inline constexpr std::size_t kClipHeaderSize = 112;
inline constexpr std::string_view kClipboardFileName = "Windows ｸﾘｯﾌﾟﾎﾞｰﾄﾞ";  // 9001
inline constexpr std::string_view kClipboardFormatText = "ｸﾘｯﾌﾟﾎﾞｰﾄﾞ";        // 9000

class ClipboardAccess {
 public:
  virtual ~ClipboardAccess() = default;
  // False when the clipboard cannot be reached.
  virtual bool Open() = 0;
  virtual bool HasPrivate() = 0;
  virtual bool HasBitmap() = 0;
  // The private block; false when there is none.
  virtual bool GetPrivate(std::vector<std::uint8_t>* block) = 0;
  // Another program's image as a packed bitmap; false when there is none.
  virtual bool GetBitmap(DibBlock* dib) = 0;
  // Replaces the clipboard's content by the private block and the bitmap; false when it
  // cannot be placed.
  virtual bool Place(const std::vector<std::uint8_t>& block, const DibBlock& dib) = 0;
};

// The access used from now on (borrowed; null: none).
void SetClipboardAccess(ClipboardAccess* access);
ClipboardAccess* GetClipboardAccess();

class CRalClipboard {
 public:
  // 1 when the clipboard holds the private format or an image, else 0.
  static int IsReadable();
  // Pastes into the image: 0, FIO_ERR_MEMORY, FIO_ERR_CLIPBOARD_EMPTY (neither format, or
  // a private block cut short of its header or rows, or with an impossible header),
  // FIO_ERR_CLIPBOARD_OPEN.
  [[nodiscard]] static int Read(CImage& image, ProgressSink* progress = nullptr,
                                const std::string& caption = {});
  // Copies the image and the given bitmap of it: 0, FIO_ERR_MEMORY,
  // FIO_ERR_CLIPBOARD_OPEN, FIO_ERR_CLIPBOARD_WRITE.
  [[nodiscard]] static int Write(const CImage& image, const DibBlock& dib,
                                 ProgressSink* progress = nullptr, const std::string& caption = {});

  // The private block of an image, and an image from one; the layout code, without any
  // clipboard. ReadClipMemImg gives the codes of Read.
  [[nodiscard]] static int SetClipMemImg(const CImage& image, std::vector<std::uint8_t>* block,
                                         ProgressSink* progress = nullptr,
                                         const std::string& caption = {});
  [[nodiscard]] static int ReadClipMemImg(CImage& image, const std::vector<std::uint8_t>& block,
                                          ProgressSink* progress = nullptr,
                                          const std::string& caption = {});
};

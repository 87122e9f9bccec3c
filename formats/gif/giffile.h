// GIF files (vtlgif) through giflib. Reading takes the first image of a file into an
// 8-bit image of three planes (red, green, blue) the size of the logical screen, the rest
// of the screen in its background colour. Writing stores the image as shown on a
// 256-colour palette, as GIF87a or GIF89a, interlaced or not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fits/fileiocodes.h"

class CImage;
class CRalImage;
class ProgressSink;

// The variants by index, with the names they give the original file format.
inline constexpr std::string_view kGif87aText = "GIF87a";                   // 10001
inline constexpr std::string_view kGif87aInterlacedText = "GIF87aｲﾝﾀｰﾚｰｽ";  // 10002
inline constexpr std::string_view kGif89aText = "GIF89a";                   // 10003
inline constexpr std::string_view kGif89aInterlacedText = "GIF89aｲﾝﾀｰﾚｰｽ";  // 10004

// No logical screen read has more pixels than this.
inline constexpr std::uint64_t kGifMaxPixels = std::uint64_t{1} << 28;

class CGif {
 public:
  // 0, or FIO_ERR_OPEN (and the codes for names that are no regular file),
  // FIO_ERR_MEMORY, FIO_ERR_FORMAT (nothing readable: no image before the end, an image
  // outside the screen, damaged data).
  [[nodiscard]] static int Read(CImage& image, const std::string& path,
                                ProgressSink* progress = nullptr, const std::string& caption = {});
  // 0 when the screen and the first image description can be read and the image lies
  // inside the screen, else FIO_ERR_HEADER; sets the geometry and the original planes 3.
  [[nodiscard]] static int ReadHeader(CImage& image, const std::string& path);
  // variant 0 GIF87a, 1 GIF87a interlaced, 2 GIF89a, 3 GIF89a interlaced. 0, or
  // FIO_ERR_CREATE, FIO_ERR_WRITE, FIO_ERR_MEMORY (no bitmap of the image).
  [[nodiscard]] static int Write(const CRalImage& image, const std::string& path, int variant,
                                 ProgressSink* progress = nullptr, const std::string& caption = {});
  // The variant of a format name: 0 for a name holding "GIF87a" but not the interlaced
  // form, 1 for "GIF87aｲﾝﾀｰﾚｰｽ", 3 for "GIF89aｲﾝﾀｰﾚｰｽ", else 2.
  static int GetType(std::string_view text);
  static std::string_view GetTypeString(int variant);
};

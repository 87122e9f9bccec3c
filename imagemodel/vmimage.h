// The paged pixel store of an image. Rows lie plane after plane (row r of plane p is
// store row r + p × height), each padded to a multiple of 16 bytes, and a pager block
// holds whole rows only, so a row never crosses a block boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CVmHandle;
class CVmManager;
class ProgressSink;

class CVmImage {
 public:
  // Throws std::bad_alloc when the geometry is unusable (an unknown pixel type, no pixels,
  // a row larger than a block, sizes beyond what a handle can count) or the pager refuses
  // the blocks.
  CVmImage(int bits, int width, int height, int planes, ProgressSink* progress = nullptr,
           const std::string& caption = {});
  ~CVmImage();
  CVmImage(const CVmImage&) = delete;
  CVmImage& operator=(const CVmImage&) = delete;

  // Address of pixel (x, y) of a plane, valid to the end of its row; null when the block
  // cannot be brought into memory, the lock is refused or the pixel is outside the image.
  // With lock, the block stays in memory until Unlock(*lockToken) or UnlockAll().
  void* GetImageAdr(int x, int y, int plane, int readOnly, int lock, int* lockToken);
  void Unlock(int lockToken);
  void UnlockAll();
  bool IsOnMemory() const;

  // Copies every pixel of a store of the same geometry and type, block by block.
  // Returns false when a block cannot be brought in.
  bool CopyPixels(const CVmImage& src, ProgressSink* progress, const std::string& caption);

  int GetWidth() const { return m_nWidth; }
  int GetHeight() const { return m_nHeight; }
  int GetPlanes() const { return m_nPlanes; }
  int GetBytesPixel() const { return m_nBytesPixel; }
  std::size_t GetStride() const { return m_nStride; }
  int GetRowsPerBlock() const { return m_nRowsPerBlock; }
  int GetBlockCount() const { return m_nBlocks; }

 private:
  CVmManager& m_Pager;
  CVmHandle* m_pHandle = nullptr;
  int m_nWidth;
  int m_nHeight;
  int m_nPlanes;
  int m_nBytesPixel;
  std::size_t m_nStride;
  int m_nRowsPerBlock;
  int m_nBlocks;
};

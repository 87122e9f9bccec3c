// The paged pixel store of an image. Rows lie plane after plane (row r of plane p is
// store row r + p × height), each padded to a multiple of 16 bytes, and a pager block
// holds whole rows only, so a row never crosses a block boundary. A row longer than the
// pager's block size takes blocks of several units (see CVmManager), one row or more
// each.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CVmHandle;
class CVmManager;
class ProgressSink;

class CVmImage {
 public:
  // Throws std::bad_alloc when the geometry is unusable (an unknown pixel type, no pixels,
  // sizes beyond what a handle can count) or the pager refuses the blocks.
  // The pixels start as zeros, or, when cleared is false, as whatever reused memory held.
  CVmImage(int bits, int width, int height, int planes, ProgressSink* progress = nullptr,
           const std::string& caption = {}, bool cleared = true);
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
  // Bytes of one block: the pager's block size times the units a block of this store
  // spans (1 unless one row is longer than the pager's block size).
  std::size_t GetBlockBytes() const { return m_nBlockBytes; }
  int GetBlockUnits() const { return m_nUnits; }

  // A number no other store of this process has, and how many times a block of this
  // store was handed out for writing. Together they tell whether the pixels may have
  // changed since they were last looked at: every write goes through GetImageAdr or
  // CopyPixels with write access, which the pager needs anyway to keep a block's copy.
  std::uint64_t GetSerial() const { return m_nSerial; }
  std::uint64_t GetWriteCount() const { return m_nWrites.load(std::memory_order_relaxed); }

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
  int m_nUnits = 1;
  std::size_t m_nBlockBytes = 0;
  std::uint64_t m_nSerial;
  std::atomic<std::uint64_t> m_nWrites{0};
};

// Pins the blocks of a run of rows of one plane for as long as it lives (or until
// Release), so that the rows can be handed to other threads while this one goes on
// using the pager. Each block is locked once however many of its rows are taken.
class CRowPins {
 public:
  CRowPins(CVmImage& store, int readOnly) : m_Store(store), m_nReadOnly(readOnly) {}
  ~CRowPins() { Release(); }
  CRowPins(const CRowPins&) = delete;
  CRowPins& operator=(const CRowPins&) = delete;

  // Pins rows y0, y0 + 1, ... of the plane: at most `rows` of them, stopping before a
  // block beyond the first maxBlocks or one the pager cannot bring in. Returns how many
  // rows are pinned (0 when not even the first one could be).
  int Pin(int plane, int y0, int rows, int maxBlocks);
  void* Row(int i) const { return m_Rows[static_cast<std::size_t>(i)]; }
  int Count() const { return static_cast<int>(m_Rows.size()); }
  void Release();

 private:
  CVmImage& m_Store;
  int m_nReadOnly;
  std::vector<void*> m_Rows;
  std::vector<int> m_Tokens;
};

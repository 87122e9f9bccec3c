#include "imagemodel/vmimage.h"

#include <climits>
#include <cstring>
#include <new>

#include "imagemodel/vmmanager.h"
#include "platform/progress.h"

namespace {
std::atomic<std::uint64_t> g_nextSerial{1};
}  // namespace

CVmImage::CVmImage(int bits, int width, int height, int planes, ProgressSink* progress,
                   const std::string& caption, bool cleared)
    : m_Pager(CVmManager::Instance()),
      m_nWidth(width),
      m_nHeight(height),
      m_nPlanes(planes),
      m_nBytesPixel((bits < 0 ? -bits : bits) / 8),
      m_nStride(0),
      m_nRowsPerBlock(0),
      m_nBlocks(0),
      m_nSerial(g_nextSerial.fetch_add(1, std::memory_order_relaxed)) {
  const bool knownType = bits == 8 || bits == 16 || bits == 32 || bits == -32 || bits == -64;
  if (!knownType || width <= 0 || height <= 0 || planes <= 0) throw std::bad_alloc();
  const std::uint64_t rowBytes = static_cast<std::uint64_t>(width) * m_nBytesPixel;
  m_nStride = static_cast<std::size_t>((rowBytes + 15) / 16 * 16);
  // A row longer than a pager block (a long spectrum) gets blocks of as many units as it
  // takes, so that it still lies whole in one block.
  const std::size_t unit = m_Pager.GetBlockSize();
  const std::uint64_t units = (m_nStride + unit - 1) / unit;
  if (units > INT_MAX) throw std::bad_alloc();
  m_nUnits = static_cast<int>(units);
  m_nBlockBytes = static_cast<std::size_t>(units) * unit;
  const std::size_t rowsPerBlock = m_nBlockBytes / m_nStride;
  m_nRowsPerBlock = static_cast<int>(std::min<std::size_t>(rowsPerBlock, INT_MAX));
  const std::uint64_t rows = static_cast<std::uint64_t>(height) * static_cast<unsigned>(planes);
  const std::uint64_t blocks = (rows + m_nRowsPerBlock - 1) / m_nRowsPerBlock;
  if (blocks > INT_MAX - 2) throw std::bad_alloc();
  m_nBlocks = static_cast<int>(blocks);
  m_pHandle = m_Pager.Alloc(m_nBlocks, progress, caption, m_nUnits, cleared);
  if (!m_pHandle) throw std::bad_alloc();
}

CVmImage::~CVmImage() { m_Pager.Free(m_pHandle); }

void* CVmImage::GetImageAdr(int x, int y, int plane, int readOnly, int lock, int* lockToken) {
  if (x < 0 || y < 0 || plane < 0 || x >= m_nWidth || y >= m_nHeight || plane >= m_nPlanes)
    return nullptr;
  if (!readOnly) m_nWrites.fetch_add(1, std::memory_order_relaxed);
  const std::uint64_t row = static_cast<std::uint64_t>(y) + static_cast<std::uint64_t>(plane) *
                                                                static_cast<unsigned>(m_nHeight);
  const int block = static_cast<int>(row / static_cast<unsigned>(m_nRowsPerBlock));
  auto* memory = static_cast<std::uint8_t*>(m_Pager.GetBlockOnMemory(m_pHandle, block, readOnly));
  if (!memory) return nullptr;
  if (lock) {
    if (!m_Pager.LockBlock(m_pHandle, 1, block)) return nullptr;
    if (lockToken) *lockToken = block;
  }
  const std::uint64_t rowInBlock = row - static_cast<std::uint64_t>(block) * m_nRowsPerBlock;
  return memory + rowInBlock * m_nStride + static_cast<std::size_t>(x) * m_nBytesPixel;
}

void CVmImage::Unlock(int lockToken) {
  if (lockToken >= 0 && lockToken < m_nBlocks) m_Pager.LockBlock(m_pHandle, 0, lockToken);
}

void CVmImage::UnlockAll() { m_Pager.UnlockAll(m_pHandle); }

bool CVmImage::IsOnMemory() const { return m_Pager.IsOnMemory(m_pHandle); }

bool CVmImage::CopyPixels(const CVmImage& src, ProgressSink* progress,
                          const std::string& caption) {
  if (src.m_nBlocks != m_nBlocks || src.m_nStride != m_nStride ||
      src.m_nRowsPerBlock != m_nRowsPerBlock || src.m_nBlockBytes != m_nBlockBytes)
    return false;
  m_nWrites.fetch_add(1, std::memory_order_relaxed);
  ProgressScope scope(progress, caption);
  const std::size_t blockSize = m_nBlockBytes;
  for (int i = 0; i < m_nBlocks; ++i) {
    // Pin the source block so that bringing in the target cannot page it out.
    void* from = m_Pager.GetBlockOnMemory(src.m_pHandle, i, 1);
    if (!from || !m_Pager.LockBlock(src.m_pHandle, 1, i)) return false;
    void* to = m_Pager.GetBlockOnMemory(m_pHandle, i, 0);
    if (to) std::memcpy(to, from, blockSize);
    m_Pager.LockBlock(src.m_pHandle, 0, i);
    if (!to) return false;
    scope.Update(i + 1, m_nBlocks);
  }
  return true;
}

int CRowPins::Pin(int plane, int y0, int rows, int maxBlocks) {
  Release();
  const int rowsPerBlock = m_Store.GetRowsPerBlock();
  const std::int64_t base = static_cast<std::int64_t>(plane) * m_Store.GetHeight();
  int lastBlock = -1;
  for (int i = 0; i < rows && y0 + i < m_Store.GetHeight(); ++i) {
    const int block = static_cast<int>((base + y0 + i) / rowsPerBlock);
    void* row = nullptr;
    if (block != lastBlock) {
      if (static_cast<int>(m_Tokens.size()) >= maxBlocks) break;
      int token = -1;
      row = m_Store.GetImageAdr(0, y0 + i, plane, m_nReadOnly, 1, &token);
      if (!row) break;
      m_Tokens.push_back(token);
      lastBlock = block;
    } else {
      row = static_cast<std::uint8_t*>(m_Rows.back()) + m_Store.GetStride();
    }
    m_Rows.push_back(row);
  }
  return Count();
}

void CRowPins::Release() {
  for (int token : m_Tokens) m_Store.Unlock(token);
  m_Tokens.clear();
  m_Rows.clear();
}

// CRalImage: the image class that windows, dialogs and tools hold. It adds processing to
// CImage: data ranges, plane averages, physical axis values, dark and flat calibration,
// and a step-wise progress display.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imagemodel/image.h"
#include "platform/progress.h"

class CRalImage : public CImage {
 public:
  CRalImage() = default;
  // A deep copy. Throws std::bad_alloc.
  CRalImage(const CImage& src, ProgressSink* progress = nullptr, const std::string& caption = {});
  CRalImage(const CRalImage& src) : CRalImage(static_cast<const CImage&>(src)) {}
  // A new image; note the order: width and height first. Throws std::bad_alloc.
  CRalImage(int width, int height, int bits, int planes, double bscale, double bzero,
            int isSigned, ProgressSink* progress = nullptr, const std::string& caption = {});
  CRalImage& operator=(const CRalImage& src);
  ~CRalImage() override = default;

  // Copies; non-zero on success, 0 when memory runs out (the image is then unusable).
  int Create(const CImage& src, ProgressSink* progress = nullptr, const std::string& caption = {});
  int CopyImage(const CImage& src, ProgressSink* progress = nullptr,
                const std::string& caption = {});
  void Swap(CRalImage& other);
  // Back to a fresh empty image: no pixels, no cards, every attribute at its default.
  void Init();

  // Scans every plane for its smallest and largest physical value (blanks skipped).
  int CalcMinMax();
  double GetDataMin(int plane) const;
  double GetDataMax(int plane) const;
  // Mean physical value of a plane (blanks skipped); 0.0 for an empty plane.
  double GetAvrGrayRaw(int plane) const;
  // The value of the display axis (1: x, 2: y) at a 0-based pixel position: CRVAL +
  // CDELT × (pixel + 1 − CRPIX). Returns the pixel position + 1 when no axis is set.
  double GetPhysicalValue(double x, double y) const;

  // Calibration with a frame of the same width and height, in place: subtracts the dark
  // frame, or divides by the flat frame scaled to its mean (pixels where the flat is not
  // positive stay as they are). A frame with fewer planes serves every plane from its
  // last one. showProgress non-zero reports to the progress sink. 0 on a size mismatch
  // or when pixels cannot be reached.
  int DarkClbrtn(const CImage& dark, int showProgress);
  int FlatClbrtn(const CImage& flat, int showProgress);

  // A progress display: opened with a caption and a step count, advanced step by step,
  // closed. Silent unless show is non-zero and a sink is set.
  void SetProgressSink(ProgressSink* sink) { m_pProgress = sink; }
  ProgressSink* GetProgressSink() const { return m_pProgress; }
  void ShowProgressInit(int show, const std::string& caption, std::int64_t steps);
  void ShowProgress(std::int64_t steps = 1);
  void ShowProgressEnd();

 private:
  template <typename F>
  int Calibrate(const CImage& frame, int showProgress, const std::string& caption, F combine);

  ProgressSink* m_pProgress = nullptr;
  std::unique_ptr<ProgressScope> m_pProgressScope;
  std::int64_t m_nProgressTotal = 0;
  std::int64_t m_nProgressDone = 0;
  std::vector<double> m_DataMin, m_DataMax;
};

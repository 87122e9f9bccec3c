#include "platform/progress.h"

#include <algorithm>

ProgressScope::ProgressScope(ProgressSink* sink, const std::string& caption) : sink_(sink) {
  if (sink_) {
    sink_->Begin(caption);
    open_ = true;
  }
}

ProgressScope::~ProgressScope() { Finish(); }

void ProgressScope::Update(std::int64_t done, std::int64_t total) {
  if (total <= 0) return;
  done = std::clamp<std::int64_t>(done, 0, total);
  // done * 100 cannot overflow for any realistic count; guard the extreme anyway.
  int percent = done > INT64_MAX / 100 ? static_cast<int>(done / (total / 100 + 1))
                                       : static_cast<int>(done * 100 / total);
  SetPercent(percent);
}

void ProgressScope::SetPercent(int percent) {
  percent = std::clamp(percent, 0, 100);
  if (!open_ || percent == last_) return;
  last_ = percent;
  sink_->Percent(percent);
}

void ProgressScope::Finish() {
  if (!open_) return;
  open_ = false;
  sink_->End();
}

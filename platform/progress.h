// Progress of long operations: a caption at the start, the whole percentage whenever it
// changes, and an end. A null sink means the operation runs silently.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void Begin(const std::string& caption) = 0;
  virtual void Percent(int percent) = 0;
  virtual void End() = 0;
};

// Pairs Begin with End on every path out of an operation and sends a percentage only
// when it changes. Safe with a null sink.
class ProgressScope {
 public:
  ProgressScope(ProgressSink* sink, const std::string& caption);
  ~ProgressScope();
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

  // Reports done / total as a whole percentage (clamped to 0..100).
  void Update(std::int64_t done, std::int64_t total);
  void SetPercent(int percent);
  // Sends End now instead of at destruction.
  void Finish();

 private:
  ProgressSink* sink_;
  int last_ = -1;
  bool open_ = false;
};

// Keeps every event, for tests and for callers that want to inspect a run.
class RecordingProgress : public ProgressSink {
 public:
  enum class Kind { kBegin, kPercent, kEnd };
  struct Event {
    Kind kind;
    int percent;
    std::string caption;
  };
  void Begin(const std::string& caption) override { events.push_back({Kind::kBegin, 0, caption}); }
  void Percent(int percent) override { events.push_back({Kind::kPercent, percent, {}}); }
  void End() override { events.push_back({Kind::kEnd, 0, {}}); }
  std::vector<Event> events;
};

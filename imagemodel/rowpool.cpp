// The worker threads start on first use and stay until the process ends; a run hands
// each worker one range and waits on a counter for them all.
#include "imagemodel/rowpool.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace rowpool {
namespace {

constexpr int kMaxThreads = 8;

class Pool {
 public:
  static Pool& Instance() {
    static Pool* pool = new Pool;  // never destroyed: workers may outlive static objects
    return *pool;
  }

  int threads() const { return threads_; }
  void SetThreads(int n) {
    std::lock_guard<std::mutex> run(runMutex_);
    threads_ = std::clamp(n, 1, kMaxThreads);
  }

  void Run(int count, int minPerThread, const std::function<void(int, int)>& work, int maxThreads) {
    if (count <= 0) return;
    std::lock_guard<std::mutex> run(runMutex_);  // one run at a time
    const int most = std::max(1, count / std::max(1, minPerThread));
    const int parts = std::min({threads_, most, maxThreads > 0 ? maxThreads : threads_});
    if (parts <= 1) {
      work(0, count);
      return;
    }
    StartWorkers(parts - 1);
    auto bound = [&](int i) { return static_cast<int>(static_cast<long long>(count) * i / parts); };
    {
      std::lock_guard<std::mutex> lock(mutex_);
      work_ = &work;
      ranges_.clear();
      for (int i = 1; i < parts; ++i) ranges_.push_back({bound(i), bound(i + 1)});
      pending_ = parts - 1;
      ++generation_;
    }
    wake_.notify_all();
    work(0, bound(1));
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return pending_ == 0; });
    work_ = nullptr;
  }

 private:
  Pool() {
    const unsigned hw = std::thread::hardware_concurrency();
    threads_ = std::clamp(static_cast<int>(hw == 0 ? 1 : hw), 1, kMaxThreads);
  }

  void StartWorkers(int n) {
    while (static_cast<int>(workers_.size()) < n) {
      const int index = static_cast<int>(workers_.size());
      // Read here, under the run lock, so that a worker that starts late still sees the
      // run about to be handed out as new.
      const unsigned long long start = generation_;
      workers_.emplace_back([this, index, start] { Loop(index, start); });
      workers_.back().detach();
    }
  }

  void Loop(int index, unsigned long long seen) {
    for (;;) {
      std::pair<int, int> range;
      const std::function<void(int, int)>* work = nullptr;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != seen; });
        seen = generation_;
        if (index >= static_cast<int>(ranges_.size())) continue;  // not needed this time
        range = ranges_[static_cast<std::size_t>(index)];
        work = work_;
      }
      (*work)(range.first, range.second);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        --pending_;
      }
      done_.notify_one();
    }
  }

  std::mutex runMutex_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::vector<std::thread> workers_;
  std::vector<std::pair<int, int>> ranges_;
  const std::function<void(int, int)>* work_ = nullptr;
  unsigned long long generation_ = 0;
  int pending_ = 0;
  int threads_ = 1;
};

}  // namespace

void Run(int count, int minPerThread, const std::function<void(int, int)>& work, int maxThreads) {
  Pool::Instance().Run(count, minPerThread, work, maxThreads);
}

int GetThreads() {
  return Pool::Instance().threads();
}
void SetThreads(int threads) {
  Pool::Instance().SetThreads(threads);
}

}  // namespace rowpool

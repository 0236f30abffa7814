// A fixed set of worker threads that run the parts of one job side by side:
// the calling thread runs part 0, the workers the others, and run() returns
// when every part is done. Parts write disjoint data, so the result is the
// same bytes whatever the number of threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace terramod {

class WorkerPool {
  public:
    // threads: how many run at once, the calling thread included (1: none
    // are started).
    explicit WorkerPool(int32_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int32_t threads() const { return static_cast<int32_t>(workers_.size()) + 1; }

    // Runs job(part) for part 0 .. threads() - 1 and waits for all of them.
    void run(const std::function<void(int32_t part)>& job);

  private:
    void work(int32_t part);

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable job_ready_;
    std::condition_variable job_done_;
    const std::function<void(int32_t)>* job_ = nullptr;
    uint64_t generation_ = 0;  // counts the jobs handed out
    int32_t pending_ = 0;      // worker parts of the current job not yet done
    bool stopping_ = false;
};

// The number of processors online (at least 1): the default of --threads.
int32_t online_processors();

}  // namespace terramod

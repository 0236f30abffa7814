#include "tx/worker_pool.h"

#include <unistd.h>

#include <system_error>

namespace terramod {

// A thread the system refuses to start (no memory, a process limit) leaves
// the work to the threads that did start: the same bytes, only slower.
WorkerPool::WorkerPool(int32_t threads) {
    try {
        for (int32_t part = 1; part < threads; ++part)
            workers_.emplace_back(&WorkerPool::work, this, part);
    } catch (const std::system_error&) {
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    job_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::run(const std::function<void(int32_t)>& job) {
    if (workers_.empty()) {
        job(0);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = &job;
        pending_ = static_cast<int32_t>(workers_.size());
        ++generation_;
    }
    job_ready_.notify_all();
    job(0);
    std::unique_lock<std::mutex> lock(mutex_);
    job_done_.wait(lock, [this] { return pending_ == 0; });
    job_ = nullptr;
}

void WorkerPool::work(int32_t part) {
    uint64_t seen = 0;
    for (;;) {
        const std::function<void(int32_t)>* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            job_ready_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            job = job_;
        }
        (*job)(part);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (--pending_ == 0) job_done_.notify_one();
        }
    }
}

int32_t online_processors() {
    const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int32_t>(count) : 1;
}

}  // namespace terramod

#include "tx/worker_pool.h"

#include <unistd.h>

#include <system_error>

#include "common/stop_signals.h"

namespace terramod {

PhasedJob::PhasedJob(std::function<void(int32_t, int32_t)> run) : run_(std::move(run)) {}

void PhasedJob::reset(const std::vector<int32_t>& task_counts, int32_t gated_phase) {
    gated_phase_ = gated_phase;
    gate_open_.store(gated_phase >= static_cast<int32_t>(task_counts.size()),
                     std::memory_order_release);
    phase_ends_.clear();
    total_ = 0;
    for (const int32_t tasks : task_counts) {
        total_ += tasks;
        phase_ends_.push_back(total_);
    }
    next_.store(0, std::memory_order_relaxed);
    finished_.store(0, std::memory_order_release);
}

void PhasedJob::take_part() {
    for (;;) {
        const int32_t index = next_.fetch_add(1, std::memory_order_relaxed);
        if (index >= total_) return;
        int32_t phase = 0;
        while (index >= phase_ends_[phase]) ++phase;
        const int32_t phase_start = phase == 0 ? 0 : phase_ends_[phase - 1];
        wait_for_finished(phase_start);
        if (phase >= gated_phase_) gate_open_.wait(false, std::memory_order_acquire);
        run_(phase, index - phase_start);
        const int32_t finished = finished_.fetch_add(1, std::memory_order_acq_rel) + 1;
        // Waiters only wait for whole phases: wake them at a phase's end.
        if (finished == phase_ends_[phase]) finished_.notify_all();
    }
}

void PhasedJob::open_gate() {
    gate_open_.store(true, std::memory_order_release);
    gate_open_.notify_all();
}

void PhasedJob::wait_until_finished() {
    wait_for_finished(total_);
}

void PhasedJob::wait_for_finished(int32_t count) {
    int32_t finished = finished_.load(std::memory_order_acquire);
    while (finished < count) {
        finished_.wait(finished, std::memory_order_acquire);
        finished = finished_.load(std::memory_order_acquire);
    }
}

// A thread the system refuses to start (no memory, a process limit) leaves
// the work to the threads that did start: the same bytes, only slower.
// The workers start with the stop signals blocked (a thread inherits its
// creator's mask), so a stop signal interrupts the main thread's waits.
WorkerPool::WorkerPool(int32_t threads) {
    const StopSignalsBlocked blocked;
    try {
        for (int32_t part = 1; part < threads; ++part)
            workers_.emplace_back(&WorkerPool::work, this);
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

void WorkerPool::start(PhasedJob& job) {
    if (workers_.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = &job;
        pending_ = static_cast<int32_t>(workers_.size());
        ++generation_;
    }
    job_ready_.notify_all();
}

void WorkerPool::finish(PhasedJob& job) {
    job.take_part();
    job.wait_until_finished();
    if (workers_.empty()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    job_done_.wait(lock, [this] { return pending_ == 0; });
    job_ = nullptr;
}

void WorkerPool::work() {
    uint64_t seen = 0;
    for (;;) {
        PhasedJob* job = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            job_ready_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            job = job_;
        }
        job->take_part();
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

// Worker threads that compute one job side by side with the thread that
// starts it. A job is a sequence of phases, each of independent tasks; the
// tasks write disjoint data, so the result is the same bytes whatever the
// number of threads and whichever thread runs which task.
#pragma once

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace terramod {

// The tasks of a phase start only when every task of the phases before it
// has finished. Threads take the tasks in order, one at a time, so a thread
// that joins late simply finds fewer tasks left.
class PhasedJob {
  public:
    // run(phase, task) is called once for every task of every phase.
    explicit PhasedJob(std::function<void(int32_t phase, int32_t task)> run);

    // Sets the task counts of the phases (allocates only when there are more
    // phases than ever before) and rewinds the job. No thread may be taking
    // part. The tasks of phase `gated_phase` and after also wait for
    // open_gate() (a phase past the last: no gate).
    void reset(const std::vector<int32_t>& task_counts, int32_t gated_phase = INT32_MAX);
    // Lets the gated phases start (from any thread).
    void open_gate();

    // Runs tasks until none is left to take.
    void take_part();
    // Returns when every task has finished.
    void wait_until_finished();

  private:
    // Waits until `count` tasks have finished.
    void wait_for_finished(int32_t count);

    std::function<void(int32_t, int32_t)> run_;
    std::vector<int32_t> phase_ends_;  // one past each phase's last task
    int32_t total_ = 0;
    std::atomic<int32_t> next_{0};
    std::atomic<int32_t> finished_{0};
    int32_t gated_phase_ = INT32_MAX;
    std::atomic<bool> gate_open_{true};
};

class WorkerPool {
  public:
    // threads: how many run at once, the calling thread included (1: none
    // are started).
    explicit WorkerPool(int32_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int32_t threads() const { return static_cast<int32_t>(workers_.size()) + 1; }

    // The workers start taking the job's tasks; the calling thread goes on.
    void start(PhasedJob& job);
    // The calling thread takes the tasks left, then waits until the job is
    // finished and every worker has left it (the job may then be reset).
    void finish(PhasedJob& job);

  private:
    void work();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable job_ready_;
    std::condition_variable job_done_;
    PhasedJob* job_ = nullptr;
    uint64_t generation_ = 0;  // counts the jobs handed out
    int32_t pending_ = 0;      // workers that have not yet left the current job
    bool stopping_ = false;
};

// The number of processors online (at least 1): the default of --threads.
int32_t online_processors();

}  // namespace terramod

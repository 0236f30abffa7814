#include "tx/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

namespace terramod {
namespace {

// Phases over an array: phase 0 writes every element, phase 1 has no task,
// phase 2 (one task) sums them, phase 3 writes the sum scaled into every
// element. A task
// that started before the phase before it had finished would read a value
// of the previous job; a task run twice or not at all shows in the counts.
struct ThreePhaseJob {
    static constexpr int32_t kElements = 257;
    std::vector<int64_t> values = std::vector<int64_t>(kElements, 0);
    std::vector<int64_t> results = std::vector<int64_t>(kElements, 0);
    std::vector<std::atomic<int32_t>> runs = std::vector<std::atomic<int32_t>>(2 * kElements + 1);
    int64_t round = 0;
    int64_t sum = 0;

    void run(int32_t phase, int32_t task) {
        switch (phase) {
            case 0:
                values[task] = round * 1000 + task;
                runs[task].fetch_add(1);
                return;
            case 2:
                sum = std::accumulate(values.begin(), values.end(), int64_t{0});
                runs[kElements].fetch_add(1);
                return;
            case 3:
                results[task] = sum * (task + 1);
                runs[kElements + 1 + task].fetch_add(1);
                return;
            default:
                ADD_FAILURE() << "a task of phase " << phase;
        }
    }
};

TEST(PhasedJob, EveryTaskOnceAndEachPhaseAfterTheOneBefore) {
    for (const int32_t threads : {1, 2, 3, 8}) {
        ThreePhaseJob state;
        PhasedJob job([&state](int32_t phase, int32_t task) { state.run(phase, task); });
        WorkerPool pool(threads);
        const std::vector<int32_t> tasks = {ThreePhaseJob::kElements, 0, 1,
                                            ThreePhaseJob::kElements};
        for (int64_t round = 1; round <= 50; ++round) {
            state.round = round;
            // The empty phase between them does not run and does not block.
            job.reset(tasks);
            pool.start(job);
            // Work of the calling thread's own while the workers compute.
            volatile int64_t busy = 0;
            for (int i = 0; i < 1000 * (round % 3); ++i) busy = busy + i;
            pool.finish(job);
            const int64_t n = ThreePhaseJob::kElements;
            const int64_t expected_sum = round * 1000 * n + n * (n - 1) / 2;
            ASSERT_EQ(state.sum, expected_sum) << threads << " threads, round " << round;
            for (int32_t i = 0; i < n; ++i)
                ASSERT_EQ(state.results[i], expected_sum * (i + 1)) << threads << " threads";
        }
        for (const std::atomic<int32_t>& count : state.runs)
            EXPECT_EQ(count.load(), 50) << threads << " threads";
    }
}

// A gated phase waits for the gate even when the workers are free: the
// caller writes out what the gated phase would overwrite meanwhile.
TEST(PhasedJob, GatedPhasesWaitUntilTheGateOpens) {
    for (const int32_t threads : {2, 3}) {
        std::atomic<int32_t> ungated{0};
        std::atomic<int32_t> gated{0};
        PhasedJob job([&](int32_t phase, int32_t) { (phase == 0 ? ungated : gated).fetch_add(1); });
        WorkerPool pool(threads);
        for (int round = 0; round < 3; ++round) {
            ungated = 0;
            gated = 0;
            job.reset({16, 8}, 1);
            pool.start(job);
            while (ungated.load() < 16) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(gated.load(), 0) << threads << " threads";
            job.open_gate();
            pool.finish(job);
            EXPECT_EQ(gated.load(), 8) << threads << " threads";
        }
    }
}

TEST(PhasedJob, TheCallingThreadAloneRunsEverythingWithoutWorkers) {
    std::vector<int32_t> order;
    PhasedJob job([&order](int32_t phase, int32_t task) { order.push_back(phase * 10 + task); });
    job.reset({2, 0, 3});
    WorkerPool pool(1);
    pool.start(job);
    EXPECT_TRUE(order.empty());  // nothing runs before the caller takes part
    pool.finish(job);
    EXPECT_EQ(order, (std::vector<int32_t>{0, 1, 20, 21, 22}));
}

}  // namespace
}  // namespace terramod

// The RTP reorder buffer on hand-written arrival sequences: what it hands on,
// in which order, and what it counts.

#include "net/rtp_reorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace terramod {

// For the failure messages.
void PrintTo(RtpReorder::Outcome outcome, std::ostream* out) {
    constexpr const char* kNames[] = {"delivered", "held", "duplicate", "late", "resynchronised"};
    *out << kNames[static_cast<int>(outcome)];
}

namespace {

using std::chrono::milliseconds;

constexpr int kExpire = -1;  // a step that only lets time pass

struct Step {
    int sequence;  // kExpire: expire() at that time
    int at_ms;
};

struct Outcome {
    std::vector<int> delivered;  // the sequence numbers handed on, in order
    RtpReorder::Counters counters;
};

// Window 32 datagrams, wait 100 ms; each payload is its sequence number.
Outcome run(const std::vector<Step>& steps) {
    RtpReorder reorder(32, milliseconds(100));
    Outcome outcome;
    const RtpReorder::Deliver deliver = [&](std::span<const uint8_t> payload) {
        outcome.delivered.push_back(payload[0] << 8 | payload[1]);
    };
    const RtpReorder::Clock::time_point start{};
    for (const Step& step : steps) {
        const auto now = start + milliseconds(step.at_ms);
        if (step.sequence == kExpire) {
            reorder.expire(now, deliver);
            continue;
        }
        const uint8_t payload[2] = {static_cast<uint8_t>(step.sequence >> 8),
                                    static_cast<uint8_t>(step.sequence)};
        reorder.push(static_cast<uint16_t>(step.sequence), payload, now, deliver);
    }
    outcome.counters = reorder.counters();
    return outcome;
}

std::vector<int> numbers(int first, int last) {
    std::vector<int> list;
    for (int number = first; number <= last; ++number) list.push_back(number);
    return list;
}

std::vector<Step> arriving_at_once(const std::vector<int>& sequences) {
    std::vector<Step> steps;
    for (const int sequence : sequences) steps.push_back({sequence, 0});
    return steps;
}

std::vector<int> concatenated(std::vector<int> first, const std::vector<int>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

TEST(RtpReorder, HandWrittenSequences) {
    struct Case {
        std::string what;
        std::vector<Step> steps;
        std::vector<int> delivered;
        uint64_t lost, reordered, duplicates, late, resyncs;
    };
    const Case cases[] = {
        {"in order", arriving_at_once({1, 2, 3, 4}), {1, 2, 3, 4}, 0, 0, 0, 0, 0},
        {"swapped pairs", arriving_at_once({1, 3, 2, 5, 4, 6}), {1, 2, 3, 4, 5, 6}, 0, 2, 0, 0, 0},
        // 3 held from 10 ms: its deadline is 110 ms, so the expire at 100 ms
        // gives up on nothing and 2 still fits in.
        {"late but within the time",
         {{1, 0}, {3, 10}, {kExpire, 100}, {2, 105}},
         {1, 2, 3},
         0,
         1,
         0,
         0,
         0},
        {"a loss, given up after 100 ms",
         {{1, 0}, {2, 0}, {4, 0}, {5, 20}, {kExpire, 99}, {kExpire, 100}, {6, 101}},
         {1, 2, 4, 5, 6},
         1,
         0,
         0,
         0,
         0},
        {"a loss, given up when 32 are waiting",
         arriving_at_once(concatenated({1}, numbers(3, 34))), concatenated({1}, numbers(3, 34)), 1,
         0, 0, 0, 0},
        {"the lost one arrives after all",
         {{1, 0}, {3, 0}, {kExpire, 100}, {2, 101}, {4, 102}},
         {1, 3, 4},
         1,
         0,
         0,
         1,
         0},
        {"a burst of 999 lost",
         {{1, 0}, {1001, 10}, {kExpire, 110}, {1002, 111}},
         {1, 1001, 1002},
         999,
         0,
         0,
         0,
         0},
        {"the wrap at 65535",
         arriving_at_once({65533, 65534, 65535, 1, 0, 2, 3}),
         {65533, 65534, 65535, 0, 1, 2, 3},
         0,
         1,
         0,
         0,
         0},
        {"a loss across the wrap",
         {{65534, 0}, {0, 0}, {1, 0}, {kExpire, 100}},
         {65534, 0, 1},
         1,
         0,
         0,
         0,
         0},
        {"duplicates, handed on or waiting",
         arriving_at_once({1, 2, 2, 4, 4, 3, 3, 1}),
         {1, 2, 3, 4},
         0,
         1,
         4,
         0,
         0},
        {"the sender restarts ahead",
         arriving_at_once({10, 11, 12, 40000, 40001, 40002}),
         {10, 11, 12, 40000, 40001, 40002},
         0,
         0,
         0,
         0,
         1},
        {"the sender restarts behind",
         arriving_at_once({5000, 5001, 100, 101}),
         {5000, 5001, 100, 101},
         0,
         0,
         0,
         0,
         1},
        // The one held is handed on and the gap before it counted when the
        // numbering changes.
        {"a restart while one waits",
         arriving_at_once({10, 12, 40000, 40001}),
         {10, 12, 40000, 40001},
         1,
         0,
         0,
         0,
         1},
        // 2999 past the highest is a loss; 3000 past it a restart (RFC 3550
        // A.1's limit).
        {"2999 ahead", {{1, 0}, {3000, 0}, {kExpire, 100}}, {1, 3000}, 2998, 0, 0, 0, 0},
        {"3000 ahead", arriving_at_once({1, 3001}), {1, 3001}, 0, 0, 0, 0, 1},
        // 99 behind is a duplicate; 100 behind a restart.
        {"99 behind", arriving_at_once(concatenated(numbers(1, 100), {1})), numbers(1, 100), 0, 0,
         1, 0, 0},
        {"100 behind", arriving_at_once(concatenated(numbers(1, 101), {1})),
         concatenated(numbers(1, 101), {1}), 0, 0, 0, 0, 1},
    };
    for (const Case& c : cases) {
        const Outcome outcome = run(c.steps);
        EXPECT_EQ(outcome.delivered, c.delivered) << c.what;
        EXPECT_EQ(outcome.counters.lost, c.lost) << c.what;
        EXPECT_EQ(outcome.counters.reordered, c.reordered) << c.what;
        EXPECT_EQ(outcome.counters.duplicates, c.duplicates) << c.what;
        EXPECT_EQ(outcome.counters.late, c.late) << c.what;
        EXPECT_EQ(outcome.counters.resyncs, c.resyncs) << c.what;
    }
}

// What push() says became of each datagram: handed on (at once, or with
// the ones it was the gap before), held, dropped, or the start of a new
// numbering. Pushed at 0 ms unless an expire at 100 ms comes before.
TEST(RtpReorder, PushSaysWhatBecameOfTheDatagram) {
    using enum RtpReorder::Outcome;
    const auto first_held_last = [](RtpReorder::Outcome first, size_t held,
                                    RtpReorder::Outcome last) {
        std::vector<RtpReorder::Outcome> outcomes(held + 2, kHeld);
        outcomes.front() = first;
        outcomes.back() = last;
        return outcomes;
    };
    struct Case {
        std::string what;
        size_t window;
        std::vector<int> steps;  // kExpire: expire() at 100 ms
        std::vector<RtpReorder::Outcome> outcomes;
    };
    const Case cases[] = {
        {"in order", 32, {1, 2}, {kDelivered, kDelivered}},
        {"a gap, then filled", 32, {1, 3, 2}, {kDelivered, kHeld, kDelivered}},
        {"twice", 32, {1, 1, 3, 3}, {kDelivered, kDuplicate, kHeld, kDuplicate}},
        {"after being given up", 32, {1, 3, kExpire, 2}, {kDelivered, kHeld, kLate}},
        {"the sender restarts", 32, {10, 40000}, {kDelivered, kResynchronised}},
        // 1, then 3 to 33 held (31); 34 is 32 past the missing 2: 2 is given
        // up and 3 to 34 go on, 34 with them.
        {"the one that overflows the window goes on", 32, concatenated({1}, numbers(3, 34)),
         first_held_last(kDelivered, 31, kDelivered)},
        // 35 is 33 past the missing 2: 2 is given up and 3 goes on, but 4 to
        // 34 are missing, so 35 waits.
        {"the one that overflows the window waits for others",
         32,
         {1, 3, 35},
         {kDelivered, kHeld, kHeld}},
        // A window of one: 3 gives up on 2 and goes on at once.
        {"a window of one", 1, {1, 3}, {kDelivered, kDelivered}},
    };
    for (const Case& c : cases) {
        RtpReorder reorder(c.window, milliseconds(100));
        const RtpReorder::Deliver ignore = [](std::span<const uint8_t>) {};
        const RtpReorder::Clock::time_point start{};
        RtpReorder::Clock::time_point now = start;
        std::vector<RtpReorder::Outcome> outcomes;
        for (const int sequence : c.steps) {
            if (sequence == kExpire) {
                now = start + milliseconds(100);
                reorder.expire(now, ignore);
                continue;
            }
            const uint8_t payload[1] = {0};
            outcomes.push_back(reorder.push(static_cast<uint16_t>(sequence), payload, now, ignore));
        }
        EXPECT_EQ(outcomes, c.outcomes) << c.what;
    }
}

TEST(RtpReorder, DeadlineIsTheOldestHeldArrivalPlusTheWait) {
    RtpReorder reorder(32, milliseconds(100));
    const RtpReorder::Deliver ignore = [](std::span<const uint8_t>) {};
    const RtpReorder::Clock::time_point start{};
    const uint8_t payload[1] = {0};
    reorder.push(1, payload, start, ignore);
    EXPECT_FALSE(reorder.deadline());
    reorder.push(4, payload, start + milliseconds(7), ignore);
    reorder.push(3, payload, start + milliseconds(9), ignore);
    EXPECT_EQ(reorder.held(), 2u);
    EXPECT_EQ(reorder.deadline(), start + milliseconds(107));
    reorder.push(2, payload, start + milliseconds(20), ignore);
    EXPECT_EQ(reorder.held(), 0u);
    EXPECT_FALSE(reorder.deadline());
}

}  // namespace
}  // namespace terramod

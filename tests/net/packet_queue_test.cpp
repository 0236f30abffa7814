// The bounded packet queue: a full queue drops its oldest packets and counts
// them; trim_to() drops without counting.

#include "net/packet_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace terramod {
namespace {

using std::chrono::milliseconds;

// `count` packets tagged first, first + 1, ... in their fifth byte.
std::vector<uint8_t> tagged_packets(int first, int count) {
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * ts::kPacketSize, 0);
    for (int index = 0; index < count; ++index) {
        bytes[index * ts::kPacketSize] = ts::kSyncByte;
        bytes[index * ts::kPacketSize + 4] = static_cast<uint8_t>(first + index);
    }
    return bytes;
}

std::vector<int> pop_tags(PacketQueue& queue) {
    std::vector<QueuedPacket> packets(queue.capacity() + 1);
    const size_t count = queue.pop(packets);
    std::vector<int> tags;
    for (size_t index = 0; index < count; ++index) tags.push_back(packets[index].bytes[4]);
    return tags;
}

TEST(PacketQueue, FullQueueDropsTheOldest) {
    struct Case {
        std::string what;
        size_t capacity;
        std::vector<int> pushes;  // packets per push, tagged on from 0
        std::vector<int> left;
        uint64_t dropped;
        size_t high_water;
    };
    const Case cases[] = {
        {"room for all", 8, {3, 2}, {0, 1, 2, 3, 4}, 0, 5},
        {"exactly full", 5, {5}, {0, 1, 2, 3, 4}, 0, 5},
        {"one push too many", 3, {5}, {2, 3, 4}, 2, 3},
        {"across pushes", 4, {3, 3, 1}, {3, 4, 5, 6}, 3, 4},
        {"capacity 0 holds one", 0, {2}, {1}, 1, 1},
    };
    for (const Case& c : cases) {
        PacketQueue queue(c.capacity);
        int tag = 0;
        for (const int count : c.pushes) {
            queue.push(tagged_packets(tag, count), PacketQueue::Clock::now());
            tag += count;
        }
        const PacketQueueCounters counters = queue.counters();
        EXPECT_EQ(counters.packets_pushed, static_cast<uint64_t>(tag)) << c.what;
        EXPECT_EQ(counters.packets_dropped, c.dropped) << c.what;
        EXPECT_EQ(counters.high_water, c.high_water) << c.what;
        EXPECT_EQ(pop_tags(queue), c.left) << c.what;
        EXPECT_EQ(queue.size(), 0u) << c.what;
    }
}

TEST(PacketQueue, TrimKeepsTheNewestUncounted) {
    PacketQueue queue(10);
    const PacketQueue::Clock::time_point start{};
    queue.push(tagged_packets(0, 3), start);
    queue.push(tagged_packets(3, 2), start + milliseconds(5));
    EXPECT_EQ(queue.oldest_arrival(), start);
    EXPECT_EQ(queue.newest_arrival(), start + milliseconds(5));
    EXPECT_EQ(queue.trim_to(7), 0u);
    EXPECT_EQ(queue.trim_to(2), 3u);
    EXPECT_EQ(queue.oldest_arrival(), start + milliseconds(5));
    EXPECT_EQ(queue.counters().packets_dropped, 0u);
    EXPECT_EQ(pop_tags(queue), (std::vector<int>{3, 4}));
}

}  // namespace
}  // namespace terramod

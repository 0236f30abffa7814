#include "net/packet_queue.h"

#include <algorithm>
#include <cstring>

namespace terramod {

PacketQueue::PacketQueue(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {}

void PacketQueue::push(std::span<const uint8_t> packets, Clock::time_point arrival) {
    const size_t count = packets.size() / ts::kPacketSize;
    if (count == 0) return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (size_t index = 0; index < count; ++index) {
            if (packets_.size() == capacity_) {
                packets_.pop_front();
                ++counters_.packets_dropped;
            }
            QueuedPacket& packet = packets_.emplace_back();
            std::memcpy(packet.bytes.data(), packets.data() + index * ts::kPacketSize,
                        ts::kPacketSize);
            packet.arrival = arrival;
        }
        counters_.packets_pushed += count;
        counters_.high_water = std::max(counters_.high_water, packets_.size());
    }
    arrived_.notify_one();
}

size_t PacketQueue::pop(std::span<QueuedPacket> out) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const size_t count = std::min(out.size(), packets_.size());
    std::copy_n(packets_.begin(), count, out.begin());
    packets_.erase(packets_.begin(), packets_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

size_t PacketQueue::trim_to(size_t keep) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (packets_.size() <= keep) return 0;
    const size_t dropped = packets_.size() - keep;
    packets_.erase(packets_.begin(), packets_.begin() + static_cast<std::ptrdiff_t>(dropped));
    return dropped;
}

size_t PacketQueue::drop_arrived_before(Clock::time_point cutoff) {
    const std::lock_guard<std::mutex> lock(mutex_);
    size_t dropped = 0;
    while (!packets_.empty() && packets_.front().arrival < cutoff) {
        packets_.pop_front();
        ++dropped;
    }
    return dropped;
}

bool PacketQueue::wait_until_nonempty(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_until(lock, deadline, [this] { return !packets_.empty(); });
}

size_t PacketQueue::size() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return packets_.size();
}

PacketQueue::Clock::time_point PacketQueue::oldest_arrival() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return packets_.front().arrival;
}

PacketQueue::Clock::time_point PacketQueue::newest_arrival() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return packets_.back().arrival;
}

PacketQueueCounters PacketQueue::counters() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

}  // namespace terramod

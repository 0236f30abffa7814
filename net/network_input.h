// A network input: a receive thread that reads datagrams (UDP, RTP) or an
// SRT connection and pushes the transport stream's packets into a bounded
// queue. The chain's side only pops the queue: it never waits on a socket.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "net/input_uri.h"
#include "net/packet_queue.h"

namespace terramod {

// What the receive thread counts (read at any time from the chain's side).
struct NetworkInputCounters {
    std::atomic<uint64_t> datagrams{0};         // UDP datagrams or SRT messages read
    std::atomic<uint64_t> bytes{0};             // payload bytes read
    std::atomic<uint64_t> bad_datagrams{0};     // not whole packets (their whole packets kept)
    std::atomic<uint64_t> rtp_lost{0};          // RTP sequence numbers never seen
    std::atomic<uint64_t> rtp_reordered{0};     // RTP datagrams put back in order
    std::atomic<uint64_t> rtp_duplicates{0};    // RTP datagrams seen twice (dropped)
    std::atomic<uint64_t> connections{0};       // SRT connections made
};

class NetworkInput {
  public:
    virtual ~NetworkInput() = default;
    NetworkInput(const NetworkInput&) = delete;
    NetworkInput& operator=(const NetworkInput&) = delete;

    // Starts the receive thread (the socket is already open and bound).
    virtual void start() = 0;
    // Stops and joins the receive thread; the destructor does it too.
    virtual void stop() = 0;

    PacketQueue& queue() { return queue_; }
    const NetworkInputCounters& counters() const { return counters_; }
    const std::string& name() const { return name_; }
    // Messages the receive thread raised since the last call (warnings such
    // as "WARNING: udp://...: 3 datagrams of 100 bytes: not whole packets"),
    // for the chain's side to log: the receive thread never writes the log.
    std::vector<std::string> take_messages();

  protected:
    NetworkInput(std::string name, size_t queue_packets)
        : queue_(queue_packets), name_(std::move(name)) {}
    void raise_message(std::string message);

    PacketQueue queue_;
    NetworkInputCounters counters_;

  private:
    std::string name_;
    std::mutex messages_mutex_;
    std::vector<std::string> messages_;
};

struct NetworkInputOptions {
    size_t queue_packets = 65536;  // the queue's capacity (about 12 MB)
};

// Opens the input `name` names (binds, joins, connects or listens); the
// caller starts it. On failure logs a fatal message naming the input and the
// reason ("FATAL ERROR: udp://127.0.0.1:5000: cannot bind (Address already in
// use): is another program receiving on this port?") and returns nothing.
std::unique_ptr<NetworkInput> open_network_input(const std::string& name,
                                                 const NetworkInputOptions& options, Log& log);

}  // namespace terramod

#include "net/udp_input.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

#include "common/descriptor.h"
#include "io/ts_packet.h"
#include "net/datagram.h"
#include "net/rtp_reorder.h"

namespace terramod {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kDefaultReceiveBuffer = 4 << 20;
constexpr size_t kMaxDatagram = 65536;  // a UDP payload is at most 65527 bytes
constexpr size_t kBatch = 16;           // datagrams read per call
constexpr int kBatchesPerWake = 64;     // then the stop descriptor is looked at again
constexpr auto kIdlePoll = 100ms;
constexpr auto kReportInterval = 1s;

std::string system_reason(int error) {
    return std::strerror(error);
}

class UdpInput final : public NetworkInput {
  public:
    UdpInput(const InputUri& uri, size_t queue_packets, Descriptor socket, Descriptor stop_event)
        : NetworkInput(uri.text, queue_packets),
          socket_(std::move(socket)),
          stop_event_(std::move(stop_event)),
          buffers_(kBatch * kMaxDatagram) {
        for (size_t index = 0; index < kBatch; ++index) {
            vectors_[index] = {buffers_.data() + index * kMaxDatagram, kMaxDatagram};
            headers_[index] = {};
            headers_[index].msg_hdr.msg_iov = &vectors_[index];
            headers_[index].msg_hdr.msg_iovlen = 1;
        }
        deliver_ = [this](std::span<const uint8_t> packets) {
            queue_.push(packets, release_time_);
        };
    }
    ~UdpInput() override { stop(); }

    void start() override {
        if (thread_.joinable()) return;
        uint64_t pending;
        // A stop left over from before: read away (EAGAIN when there is none).
        if (::read(stop_event_.get(), &pending, sizeof pending) < 0 && errno != EAGAIN)
            raise_message("WARNING: " + name() + ": stop event (" + system_reason(errno) + ")");
        stop_requested_ = false;
        thread_ = std::thread(&UdpInput::receive, this);
    }

    void stop() override {
        if (!thread_.joinable()) return;
        // The flag ends the loop within one idle poll even if the event is
        // not written; the event ends it at once.
        stop_requested_ = true;
        const uint64_t one = 1;
        if (::write(stop_event_.get(), &one, sizeof one) != sizeof one)
            raise_message("WARNING: " + name() + ": stop event (" + system_reason(errno) + ")");
        thread_.join();
    }

    void report_receive_buffer(int asked, int granted) {
        raise_message("WARNING: " + name() + ": receive buffer of " + std::to_string(granted) +
                      " bytes, not the " + std::to_string(asked) +
                      " asked for (the system's limit: sysctl net.core.rmem_max)");
    }

  private:
    void receive() {
        while (!stop_requested_) {
            const Clock::time_point now = Clock::now();
            release_time_ = now;
            reorder_.expire(now, deliver_);
            publish_rtp_counters();
            report_bad_datagrams(now);

            pollfd descriptors[2] = {{socket_.get(), POLLIN, 0}, {stop_event_.get(), POLLIN, 0}};
            const int ready = ::poll(descriptors, 2, poll_timeout_ms(now));
            if (ready < 0) {
                if (errno == EINTR) continue;
                raise_message("WARNING: " + name() + ": receiving stopped: poll failed (" +
                              system_reason(errno) + ")");
                return;
            }
            if (descriptors[1].revents != 0) return;
            if (descriptors[0].revents != 0) read_datagrams();
        }
    }

    // Until the next thing to do without a datagram: give up on a missing
    // RTP datagram, report bad datagrams, or look at the stop flag.
    int poll_timeout_ms(Clock::time_point now) const {
        Clock::time_point next = now + kIdlePoll;
        if (const std::optional<Clock::time_point> due = reorder_.deadline())
            next = std::min(next, *due);
        if (bad_unreported_ > 0) next = std::min(next, last_bad_report_ + kReportInterval);
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        return static_cast<int>(std::max<int64_t>(wait, 0));
    }

    void read_datagrams() {
        for (int batch = 0; batch < kBatchesPerWake && !stop_requested_; ++batch) {
            const int count =
                ::recvmmsg(socket_.get(), headers_.data(), kBatch, MSG_DONTWAIT, nullptr);
            if (count < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) report_receive_error(errno);
                return;
            }
            const Clock::time_point arrival = Clock::now();
            for (int index = 0; index < count; ++index) {
                const mmsghdr& message = headers_[index];
                const std::span<const uint8_t> datagram(buffers_.data() + index * kMaxDatagram,
                                                        message.msg_len);
                take_datagram(datagram, (message.msg_hdr.msg_flags & MSG_TRUNC) != 0, arrival);
            }
            publish_rtp_counters();
            if (static_cast<size_t>(count) < kBatch) return;
        }
    }

    void take_datagram(std::span<const uint8_t> datagram, bool truncated,
                       Clock::time_point arrival) {
        counters_.datagrams.fetch_add(1, std::memory_order_relaxed);
        counters_.bytes.fetch_add(datagram.size(), std::memory_order_relaxed);
        const DatagramContent content = classify_datagram(datagram, truncated, salvaged_);
        if (content.bad)
            note_bad_datagram(datagram.size(), content.packets.size() / ts::kPacketSize, arrival);
        release_time_ = arrival;
        const std::optional<uint16_t> sequence = content.rtp_sequence;
        if (!sequence) {
            queue_.push(content.packets, arrival);
            return;
        }
        // Its number is tracked even when nothing of it was kept, lest it
        // count as lost too.
        if (reorder_.push(*sequence, content.packets, arrival, deliver_) ==
            RtpReorder::Outcome::kResynchronised) {
            raise_message("WARNING: " + name() + ": RTP sequence numbers jumped to " +
                          std::to_string(*sequence) +
                          " (the sender restarted?): following the new numbering");
        }
    }

    void note_bad_datagram(size_t size, size_t packets_kept, Clock::time_point now) {
        counters_.bad_datagrams.fetch_add(1, std::memory_order_relaxed);
        if (reported_any_bad_) {
            ++bad_unreported_;
            return;
        }
        reported_any_bad_ = true;
        last_bad_report_ = now;
        raise_message("WARNING: " + name() + ": a datagram of " + std::to_string(size) +
                      " bytes is not whole transport stream packets (" +
                      std::to_string(packets_kept) + " packets kept)");
    }

    // At most one summary a second.
    void report_bad_datagrams(Clock::time_point now) {
        if (bad_unreported_ == 0 || now - last_bad_report_ < kReportInterval) return;
        raise_message("WARNING: " + name() + ": " + std::to_string(bad_unreported_) +
                      " more datagrams not whole transport stream packets (" +
                      std::to_string(counters_.bad_datagrams.load()) + " in all)");
        bad_unreported_ = 0;
        last_bad_report_ = now;
    }

    void report_receive_error(int error) {
        const Clock::time_point now = Clock::now();
        if (last_error_report_ && now - *last_error_report_ < kReportInterval) return;
        last_error_report_ = now;
        raise_message("WARNING: " + name() + ": receive failed (" + system_reason(error) + ")");
    }

    void publish_rtp_counters() {
        const RtpReorder::Counters& rtp = reorder_.counters();
        counters_.rtp_lost.store(rtp.lost, std::memory_order_relaxed);
        counters_.rtp_reordered.store(rtp.reordered, std::memory_order_relaxed);
        counters_.rtp_duplicates.store(rtp.duplicates, std::memory_order_relaxed);
    }

    Descriptor socket_;
    Descriptor stop_event_;
    std::thread thread_;
    std::atomic<bool> stop_requested_{false};

    // The receive thread's own.
    std::vector<uint8_t> buffers_;
    std::array<iovec, kBatch> vectors_;
    std::array<mmsghdr, kBatch> headers_;
    std::vector<uint8_t> salvaged_;
    RtpReorder reorder_;
    RtpReorder::Deliver deliver_;
    Clock::time_point release_time_;
    bool reported_any_bad_ = false;
    uint64_t bad_unreported_ = 0;
    Clock::time_point last_bad_report_;
    std::optional<Clock::time_point> last_error_report_;
};

// ---------------------------------------------------------------------------
// Opening: each step logs its own fatal message and returns nothing or false.

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    const sockaddr_in& v4() const { return reinterpret_cast<const sockaddr_in&>(storage); }
    sockaddr_in& v4() { return reinterpret_cast<sockaddr_in&>(storage); }
    const sockaddr_in6& v6() const { return reinterpret_cast<const sockaddr_in6&>(storage); }
    sockaddr_in6& v6() { return reinterpret_cast<sockaddr_in6&>(storage); }
    bool multicast() const {
        return family() == AF_INET ? IN_MULTICAST(ntohl(v4().sin_addr.s_addr))
                                   : IN6_IS_ADDR_MULTICAST(&v6().sin6_addr);
    }
};

class UdpOpener {
  public:
    UdpOpener(const InputUri& uri, Log& log) : uri_(uri), log_(log) {}

    std::unique_ptr<NetworkInput> open(const NetworkInputOptions& options) {
        const std::optional<Address> group = resolve_group();
        if (!group) return nullptr;
        if (!check_source(*group) || !find_interface()) return nullptr;
        Descriptor socket = open_socket(*group);
        if (!socket.valid() || !set_options(socket.get(), *group)) return nullptr;
        const std::optional<int> granted = set_receive_buffer(socket.get());
        if (!granted || !bind_to(socket.get(), *group)) return nullptr;
        if (group->multicast() && !join(socket.get(), *group)) return nullptr;
        Descriptor stop_event(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (!stop_event.valid()) return fail("cannot make a stop event", errno);
        auto input = std::make_unique<UdpInput>(uri_, options.queue_packets, std::move(socket),
                                                std::move(stop_event));
        if (*granted < asked_buffer()) input->report_receive_buffer(asked_buffer(), *granted);
        return input;
    }

  private:
    std::nullptr_t fail(const std::string& what, int error) {
        log_.fatal("%s: %s (%s)\n", uri_.text.c_str(), what.c_str(), system_reason(error).c_str());
        return nullptr;
    }
    std::nullptr_t fail(const std::string& what) {
        log_.fatal("%s: %s\n", uri_.text.c_str(), what.c_str());
        return nullptr;
    }

    std::optional<std::string> setting(const char* key) const {
        const auto found = uri_.query.find(key);
        if (found == uri_.query.end()) return std::nullopt;
        return found->second;
    }
    int asked_buffer() const {
        const std::optional<std::string> buffer = setting("buffer");
        return buffer ? std::stoi(*buffer) : kDefaultReceiveBuffer;
    }

    // Numeric, or a name through getaddrinfo; `family` AF_UNSPEC for any.
    std::optional<Address> resolve(const std::string& host, int family, const char* role) {
        addrinfo hints{};
        hints.ai_family = family;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (result != 0) {
            const std::string reason =
                result == EAI_SYSTEM ? system_reason(errno) : ::gai_strerror(result);
            fail(std::string("cannot resolve the ") + role + " \"" + host + "\" (" + reason + ")");
            return std::nullopt;
        }
        Address address;
        std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
        address.length = found->ai_addrlen;
        ::freeaddrinfo(found);
        return address;
    }

    std::optional<Address> resolve_group() {
        if (uri_.host.empty()) return any_address();
        std::optional<Address> address = resolve(uri_.host, AF_UNSPEC, "address");
        if (!address) return std::nullopt;
        if (address->family() == AF_INET) {
            address->v4().sin_port = htons(uri_.port);
        } else {
            address->v6().sin6_port = htons(uri_.port);
        }
        return address;
    }

    // No host: every address of the machine, IPv6 and IPv4 on one socket
    // where IPv6 is there, IPv4 alone where it is not.
    std::optional<Address> any_address() {
        Address address;
        const Descriptor probe(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (probe.valid()) {
            sockaddr_in6& any = address.v6();
            any.sin6_family = AF_INET6;
            any.sin6_addr = in6addr_any;
            any.sin6_port = htons(uri_.port);
            address.length = sizeof any;
        } else {
            sockaddr_in& any = address.v4();
            any.sin_family = AF_INET;
            any.sin_addr.s_addr = htonl(INADDR_ANY);
            any.sin_port = htons(uri_.port);
            address.length = sizeof any;
        }
        return address;
    }

    bool check_source(const Address& group) {
        if (uri_.source.empty()) return true;
        if (!group.multicast()) {
            fail("a source address (\"" + uri_.source + "@\") is for a multicast group only");
            return false;
        }
        source_ = resolve(uri_.source, group.family(), "source");
        return source_.has_value();
    }

    bool find_interface() {
        const std::optional<std::string> name = setting("interface");
        if (!name) return true;
        interface_index_ = ::if_nametoindex(name->c_str());
        if (interface_index_ == 0) {
            fail("no network interface \"" + *name + "\"", errno);
            return false;
        }
        return true;
    }

    Descriptor open_socket(const Address& group) {
        Descriptor socket(::socket(group.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket.valid()) fail("cannot open a socket", errno);
        return socket;
    }

    bool set_option(int socket, int level, int option, const void* value, socklen_t size,
                    const char* what) {
        if (::setsockopt(socket, level, option, value, size) == 0) return true;
        fail(std::string("cannot ") + what, errno);
        return false;
    }
    bool set_flag(int socket, int level, int option, int value, const char* what) {
        return set_option(socket, level, option, &value, sizeof value, what);
    }

    bool set_options(int socket, const Address& group) {
        if (group.family() == AF_INET6 && IN6_IS_ADDR_UNSPECIFIED(&group.v6().sin6_addr) &&
            !set_flag(socket, IPPROTO_IPV6, IPV6_V6ONLY, 0, "receive IPv4 on an IPv6 socket"))
            return false;
        if (group.multicast()) {
            // Other receivers of the group may share the port.
            if (!set_flag(socket, SOL_SOCKET, SO_REUSEADDR, 1, "share the port")) return false;
            // Only the groups this socket joined, not every group of the port.
            if (group.family() == AF_INET &&
                !set_flag(socket, IPPROTO_IP, IP_MULTICAST_ALL, 0, "receive one group only"))
                return false;
            return true;
        }
        const std::optional<std::string> interface = setting("interface");
        return !interface || set_option(socket, SOL_SOCKET, SO_BINDTODEVICE, interface->c_str(),
                                        static_cast<socklen_t>(interface->size()),
                                        "receive on the interface alone");
    }

    // Returns the buffer the system granted.
    std::optional<int> set_receive_buffer(int socket) {
        const int asked = asked_buffer();
        if (!set_flag(socket, SOL_SOCKET, SO_RCVBUF, asked, "set the receive buffer"))
            return std::nullopt;
        std::optional<int> granted = receive_buffer(socket);
        if (granted && *granted < asked) {
            // Above net.core.rmem_max only with CAP_NET_ADMIN: EPERM otherwise,
            // and the smaller buffer stays.
            if (::setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) == 0)
                granted = receive_buffer(socket);
        }
        return granted;
    }

    std::optional<int> receive_buffer(int socket) {
        int doubled = 0;  // Linux doubles the size asked for (its bookkeeping)
        socklen_t size = sizeof doubled;
        if (::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &doubled, &size) != 0) {
            fail("cannot read the receive buffer's size", errno);
            return std::nullopt;
        }
        return doubled / 2;
    }

    bool bind_to(int socket, Address address) {
        // A link-local or interface-local IPv6 group is bound on its interface.
        if (address.family() == AF_INET6 && address.v6().sin6_scope_id == 0 &&
            (IN6_IS_ADDR_MC_LINKLOCAL(&address.v6().sin6_addr) ||
             IN6_IS_ADDR_MC_NODELOCAL(&address.v6().sin6_addr)))
            address.v6().sin6_scope_id = interface_index_;
        if (::bind(socket, address.get(), address.length) == 0) return true;
        const int error = errno;
        if (error == EADDRINUSE) {
            fail("cannot bind (" + system_reason(error) +
                 "): is another program receiving on this port?");
        } else {
            fail("cannot bind", error);
        }
        return false;
    }

    bool join(int socket, const Address& group) {
        const char* what = "join the multicast group";
        if (group.family() == AF_INET6) {
            if (!source_) {
                ipv6_mreq request{};
                request.ipv6mr_multiaddr = group.v6().sin6_addr;
                request.ipv6mr_interface = interface_index_;
                return set_option(socket, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request,
                                  what);
            }
            group_source_req request{};
            request.gsr_interface = interface_index_;
            std::memcpy(&request.gsr_group, &group.storage, group.length);
            std::memcpy(&request.gsr_source, &source_->storage, source_->length);
            return set_option(socket, IPPROTO_IPV6, MCAST_JOIN_SOURCE_GROUP, &request,
                              sizeof request, what);
        }
        if (!source_) {
            ip_mreqn request{};
            request.imr_multiaddr = group.v4().sin_addr;
            request.imr_address.s_addr = htonl(INADDR_ANY);
            request.imr_ifindex = static_cast<int>(interface_index_);
            return set_option(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request,
                              what);
        }
        ip_mreq_source request{};
        request.imr_multiaddr = group.v4().sin_addr;
        request.imr_sourceaddr = source_->v4().sin_addr;
        const std::optional<in_addr> local = interface_ipv4_address();
        if (!local) return false;
        request.imr_interface = *local;
        return set_option(socket, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &request, sizeof request,
                          what);
    }

    // The IPv4 address of the interface named by "interface" (any without one).
    std::optional<in_addr> interface_ipv4_address() {
        const std::optional<std::string> name = setting("interface");
        in_addr address{};
        address.s_addr = htonl(INADDR_ANY);
        if (!name) return address;
        ifaddrs* interfaces = nullptr;
        if (::getifaddrs(&interfaces) != 0) {
            fail("cannot list the network interfaces", errno);
            return std::nullopt;
        }
        bool found = false;
        for (const ifaddrs* entry = interfaces; entry && !found; entry = entry->ifa_next) {
            if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET &&
                *name == entry->ifa_name) {
                address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
                found = true;
            }
        }
        ::freeifaddrs(interfaces);
        if (!found) fail("network interface \"" + *name + "\" has no IPv4 address");
        if (!found) return std::nullopt;
        return address;
    }

    const InputUri& uri_;
    Log& log_;
    std::optional<Address> source_;
    unsigned interface_index_ = 0;  // 0: the system chooses
};

}  // namespace

std::unique_ptr<NetworkInput> open_udp_input(const InputUri& uri,
                                             const NetworkInputOptions& options, Log& log) {
    return UdpOpener(uri, log).open(options);
}

}  // namespace terramod

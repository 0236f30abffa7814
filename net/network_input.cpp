#include "net/network_input.h"

#include <utility>

#ifdef TERRAMOD_HAVE_SRT
#include "net/srt_input.h"
#endif
#include "net/udp_input.h"

namespace terramod {

std::vector<std::string> NetworkInput::take_messages() {
    const std::lock_guard<std::mutex> lock(messages_mutex_);
    return std::exchange(messages_, {});
}

void NetworkInput::raise_message(std::string message) {
    const std::lock_guard<std::mutex> lock(messages_mutex_);
    messages_.push_back(std::move(message));
}

std::unique_ptr<NetworkInput> open_network_input(const std::string& name,
                                                 const NetworkInputOptions& options, Log& log) {
    std::string error;
    const std::optional<InputUri> uri = parse_input_uri(name, error);
    if (!uri) {
        log.fatal("%s\n", error.c_str());
        return nullptr;
    }
    if (uri->scheme == "udp") return open_udp_input(*uri, options, log);
#ifdef TERRAMOD_HAVE_SRT
    return open_srt_input(*uri, options, log);
#else
    (void)options;
    log.fatal("%s: this terramod was built without SRT (install libsrt-openssl-dev and build "
              "again)\n",
              name.c_str());
    return nullptr;
#endif
}

}  // namespace terramod

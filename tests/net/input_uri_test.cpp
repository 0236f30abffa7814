// Network input names: the fields of good ones, the messages of bad ones.

#include "net/input_uri.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace terramod {
namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

Settings settings_of(const InputUri& uri) {
    return Settings(uri.query.begin(), uri.query.end());
}

TEST(InputUri, NamesNetworkInput) {
    const std::pair<const char*, bool> cases[] = {
        {"udp://239.1.1.1:1234", true},
        {"srt://host:9000", true},
        {"udp://", true},
        {"udp:/239.1.1.1:1234", false},
        {"rtp://239.1.1.1:1234", false},
        {"input.ts", false},
        {"-", false},
        {"", false},
        {"./udp://x", false},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(names_network_input(name), expected) << name;
}

TEST(InputUri, GoodNamesGiveTheirFields) {
    struct Case {
        std::string name;
        const char* scheme;
        const char* source;
        const char* host;
        uint16_t port;
        Settings query;
    };
    const std::string streamid = "#!::r=live/feed,m=request";
    const Case cases[] = {
        {"udp://239.1.1.1:1234", "udp", "", "239.1.1.1", 1234, {}},
        {"udp://@239.1.1.1:1234", "udp", "", "239.1.1.1", 1234, {}},
        {"udp://@:5000", "udp", "", "", 5000, {}},
        {"udp://:5000", "udp", "", "", 5000, {}},
        {"udp://[ff15::1]:5000", "udp", "", "ff15::1", 5000, {}},
        {"udp://[::1]:1", "udp", "", "::1", 1, {}},
        {"udp://10.0.0.2@232.1.1.1:5000?interface=eth0",
         "udp",
         "10.0.0.2",
         "232.1.1.1",
         5000,
         {{"interface", "eth0"}}},
        {"udp://[2001:db8::2]@[ff3e::1234]:65535", "udp", "2001:db8::2", "ff3e::1234", 65535, {}},
        {"udp://sender.example@feed-1.example:6000?buffer=8388608&interface=lo",
         "udp",
         "sender.example",
         "feed-1.example",
         6000,
         {{"buffer", "8388608"}, {"interface", "lo"}}},
        // %-escapes decoded; empty settings ignored.
        {"udp://127.0.0.1:7000?interface=en%30&&",
         "udp",
         "",
         "127.0.0.1",
         7000,
         {{"interface", "en0"}}},
        {"udp://127.0.0.1:7000?", "udp", "", "127.0.0.1", 7000, {}},
        // SRT: caller with a host, listener without one, unless given.
        {"srt://host.example:9000", "srt", "", "host.example", 9000, {{"mode", "caller"}}},
        {"srt://:9000?latency=120",
         "srt",
         "",
         "",
         9000,
         {{"latency", "120"}, {"mode", "listener"}}},
        {"srt://@:9000", "srt", "", "", 9000, {{"mode", "listener"}}},
        {"srt://0.0.0.0:9000?mode=listener&latency=0&passphrase=abc%26def%3D12&streamid=%23!::r="
         "live/feed,m=request&timeout=3000",
         "srt",
         "",
         "0.0.0.0",
         9000,
         {{"latency", "0"},
          {"mode", "listener"},
          {"passphrase", "abc&def=12"},
          {"streamid", streamid},
          {"timeout", "3000"}}},
        {"srt://[::1]:9000?latency=60000&passphrase=0123456789",
         "srt",
         "",
         "::1",
         9000,
         {{"latency", "60000"}, {"mode", "caller"}, {"passphrase", "0123456789"}}},
        {"srt://h:9000?passphrase=" + std::string(79, 'p'),
         "srt",
         "",
         "h",
         9000,
         {{"mode", "caller"}, {"passphrase", std::string(79, 'p')}}},
    };
    for (const Case& c : cases) {
        std::string error;
        const std::optional<InputUri> uri = parse_input_uri(c.name, error);
        ASSERT_TRUE(uri) << c.name << ": " << error;
        EXPECT_EQ(uri->scheme, c.scheme) << c.name;
        EXPECT_EQ(uri->source, c.source) << c.name;
        EXPECT_EQ(uri->host, c.host) << c.name;
        EXPECT_EQ(uri->port, c.port) << c.name;
        EXPECT_EQ(settings_of(*uri), c.query) << c.name;
        EXPECT_EQ(uri->text, c.name);
    }
}

TEST(InputUri, BadNamesSayWhatIsWrong) {
    const std::string udp_keys = " (known: interface, buffer)";
    const std::string srt_keys = " (known: mode, latency, passphrase, streamid, timeout)";
    const std::pair<std::string, std::string> cases[] = {
        {"udp://127.0.0.1:5000?bufer=1", "unknown setting \"bufer\"" + udp_keys},
        {"udp://127.0.0.1:5000?latency=100", "unknown setting \"latency\"" + udp_keys},
        {"udp://127.0.0.1:5000?buffer=1&buffer=2", "setting \"buffer\" given twice" + udp_keys},
        {"udp://127.0.0.1:5000?buffer", "setting \"buffer\" has no value" + udp_keys},
        {"udp://127.0.0.1:5000?buffer=0",
         "bad buffer \"0\": not a positive number of bytes" + udp_keys},
        {"udp://127.0.0.1:5000?buffer=2147483648",
         "bad buffer \"2147483648\": not a positive number of bytes" + udp_keys},
        {"udp://127.0.0.1:5000?buffer=4M",
         "bad buffer \"4M\": not a positive number of bytes" + udp_keys},
        {"udp://127.0.0.1:5000?buffer=-5",
         "bad buffer \"-5\": not a positive number of bytes" + udp_keys},
        {"udp://127.0.0.1:5000?interface=",
         "bad interface \"\": not a network interface name" + udp_keys},
        {"udp://127.0.0.1:5000?interface=abcdefghijklmnop",
         "bad interface \"abcdefghijklmnop\": not a network interface name" + udp_keys},
        {"udp://127.0.0.1:5000?interface=%zz", "setting \"interface\": bad %-escape" + udp_keys},
        {"udp://127.0.0.1:5000?interface=eth%3", "setting \"interface\": bad %-escape" + udp_keys},
        {"udp://127.0.0.1", "no port"},
        {"udp://127.0.0.1:", "no port"},
        {"udp://", "no port"},
        {"udp://[::1]", "no port"},
        {"udp://[::1]5000", "no port"},
        {"udp://127.0.0.1:0", "bad port \"0\" (1 to 65535)"},
        {"udp://127.0.0.1:65536", "bad port \"65536\" (1 to 65535)"},
        {"udp://127.0.0.1:+80", "bad port \"+80\" (1 to 65535)"},
        {"udp://127.0.0.1:5000/", "bad port \"5000/\" (1 to 65535)"},
        {"udp://::1:5000", "an IPv6 address goes in brackets (\"[::1]\")"},
        {"udp://[::1:5000", "no closing bracket"},
        {"udp://[239.1.1.1]:5000", "\"239.1.1.1\" is not an IPv6 address"},
        {"udp://bad host:5000", "\"bad host\" is not a host name or address"},
        {"udp://x y@239.1.1.1:5000", "source: \"x y\" is not a host name or address"},
        {"udp://[::1@[ff15::1]:5000", "source: no closing bracket"},
        {"srt://127.0.0.1:9000?interface=lo", "unknown setting \"interface\"" + srt_keys},
        {"srt://:9000?mode=caller", "a caller needs a host to call"},
        {"srt://h:9000?mode=rendezvous",
         "bad mode \"rendezvous\": not caller or listener" + srt_keys},
        {"srt://h:9000?latency=60001", "bad latency \"60001\": not 0 to 60000 ms" + srt_keys},
        {"srt://h:9000?latency=-1", "bad latency \"-1\": not 0 to 60000 ms" + srt_keys},
        {"srt://h:9000?latency=1.5", "bad latency \"1.5\": not 0 to 60000 ms" + srt_keys},
        // The passphrase itself is never shown.
        {"srt://h:9000?passphrase=123456789", "bad passphrase: not 10 to 79 characters" + srt_keys},
        {"srt://h:9000?passphrase=" + std::string(80, 'p'),
         "bad passphrase: not 10 to 79 characters" + srt_keys},
        {"srt://h:9000?streamid=" + std::string(513, 's'),
         "bad streamid \"" + std::string(513, 's') + "\": longer than 512 characters" + srt_keys},
        {"srt://h:9000?timeout=0", "bad timeout \"0\": not a positive number of ms" + srt_keys},
        {"srt://h:9000?mode=caller&mode=caller", "setting \"mode\" given twice" + srt_keys},
        {"srt://10.0.0.1@h:9000", "a source address (\"source@\") is for udp:// only"},
        {"rtp://239.1.1.1:5000", "not a network input (udp://... or srt://...)"},
    };
    for (const auto& [name, problem] : cases) {
        std::string error;
        EXPECT_FALSE(parse_input_uri(name, error)) << name;
        EXPECT_EQ(error, name + ": " + problem);
    }
}

}  // namespace
}  // namespace terramod

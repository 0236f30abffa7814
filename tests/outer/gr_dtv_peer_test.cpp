// The outer chain against GNU Radio's gr-dtv blocks (an independent DVB-T
// implementation), when it is installed: energy dispersal, RS(204,188) and
// the outer interleaver (zero fill) must give the same bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "outer/energy_dispersal.h"
#include "outer/outer_interleaver.h"
#include "outer/reed_solomon.h"
#include "outer_test_support.h"

namespace terramod {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPeerScript = R"(import sys
from gnuradio import blocks, dtv, gr
folder = sys.argv[1]
tb = gr.top_block()
source = blocks.file_source(gr.sizeof_char, folder + '/in.ts', False)
dispersal = dtv.dvbt_energy_dispersal(1)
encoder = dtv.dvbt_reed_solomon_enc(2, 8, 0x11d, 255, 239, 8, 51, 8)
interleaver = dtv.dvbt_convolutional_interleaver(136, 12, 17)
tb.connect(source, dispersal, encoder, interleaver,
           blocks.file_sink(gr.sizeof_char, folder + '/c.bin'))
tb.connect(dispersal, blocks.file_sink(gr.sizeof_char * 1504, folder + '/e.bin'))
tb.connect(encoder, blocks.file_sink(gr.sizeof_char * 1632, folder + '/r.bin'))
tb.run()
)";

std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

// gr-dtv holds back the last eight-packet group: compare what it wrote.
void expect_prefix(const std::vector<uint8_t>& peer, const std::vector<uint8_t>& ours,
                   const char* stage) {
    ASSERT_GE(peer.size(), ours.size() / 2) << stage;
    ASSERT_LE(peer.size(), ours.size()) << stage;
    EXPECT_TRUE(std::equal(peer.begin(), peer.end(), ours.begin())) << stage;
}

TEST(OuterPeer, SameBytesAsGrDtv) {
    if (std::system("/usr/bin/python3 -c 'from gnuradio import dtv' >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "gr-dtv not installed";
    }
    const fs::path folder =
        fs::temp_directory_path() / ("outer_gr_dtv_peer_" + std::to_string(getpid()));
    fs::create_directories(folder);
    std::vector<uint8_t> ts = test::random_stream(320, 99);
    std::ofstream(folder / "in.ts", std::ios::binary)
        .write(reinterpret_cast<const char*>(ts.data()), static_cast<std::streamsize>(ts.size()));
    std::ofstream(folder / "peer.py") << kPeerScript;
    const std::string command = "/usr/bin/python3 " + (folder / "peer.py").string() + " " +
                                folder.string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);

    const auto ts_bytes = static_cast<int32_t>(ts.size());
    EnergyDispersal dispersal;
    ReedSolomonEncoder encoder;
    OuterInterleaver interleaver(kInitZero);
    std::vector<uint8_t> encoded(320 * test::kCodeword), interleaved(encoded.size());
    dispersal.sync_invert(std::span(ts.data(), ts_bytes));
    dispersal.process(std::span(ts.data(), ts_bytes));
    encoder.process(std::span(ts.data(), ts_bytes), encoded);
    interleaver.process(encoded, interleaved);

    expect_prefix(read_file(folder / "e.bin"), ts, "energy dispersal");
    expect_prefix(read_file(folder / "r.bin"), encoded, "Reed-Solomon");
    expect_prefix(read_file(folder / "c.bin"), interleaved, "outer interleaver");
    fs::remove_all(folder);
}

}  // namespace
}  // namespace terramod

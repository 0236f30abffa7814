#include "tx/stream_coder.h"

#include <cinttypes>

namespace terramod {

namespace {

// Past the first ten, packets out of sync are counted, not listed.
constexpr int64_t kListedUnsyncedPackets = 10;

}  // namespace

StreamSizes StreamSizes::high_priority(const BlockSizes& sizes) {
    return {.ts_bytes = sizes.ts_bytes,
            .rs_bytes = sizes.rs_bytes,
            .coded_bit_count = sizes.coded_bit_count,
            .punctured_bit_count = sizes.punctured_bit_count};
}

StreamSizes StreamSizes::low_priority(const BlockSizes& sizes) {
    return {.ts_bytes = sizes.lp_ts_bytes,
            .rs_bytes = sizes.lp_rs_bytes,
            .coded_bit_count = sizes.lp_coded_bit_count,
            .punctured_bit_count = sizes.lp_punctured_bit_count};
}

StreamCoder::StreamCoder(const char* label, InterleaverInit interleaver_init, CodeRate code_rate,
                         const StreamSizes& sizes, bool packed_bits)
    : label_(label),
      code_rate_(code_rate),
      packed_bits_(packed_bits),
      outer_interleaver_(interleaver_init),
      puncturer_(code_rate),
      ts_buffer_(sizes.ts_bytes, 0),
      rs_buffer_(sizes.rs_bytes, 0),
      outer_interleaved_buffer_(sizes.rs_bytes, 0) {
    conv_encoder_.reset();
    puncturer_.reset();
    if (packed_bits) {
        // Whole bytes: a last partial byte of punctured bits waits in the
        // puncturer for the next cycle.
        coded_packed_.assign((sizes.coded_bit_count + 7) / 8, 0);
        punctured_packed_.assign((sizes.punctured_bit_count + 7) / 8, 0);
    } else {
        coded_buffer_.assign(sizes.coded_bit_count, 0);
        punctured_buffer_.assign(sizes.punctured_bit_count, 0);
    }
}

// Warns of every packet of the block that does not start with 0x47,
// numbered from the start of the stream (1-based).
void StreamCoder::check_sync_bytes(Log& log) {
    for (size_t start = 0; start < ts_buffer_.size(); start += kPacketLength) {
        ++sync_.checked;
        if (ts_buffer_[start] == kSyncByte) continue;
        ++sync_.unsynced;
        if (sync_.unsynced <= kListedUnsyncedPackets) {
            log.write(LogLevel::kWarnings,
                      "WARNING: %sMPEG-2 TS Out of Sync in packet #%" PRId64 "\n", label_,
                      sync_.checked);
        }
        if (sync_.unsynced == kListedUnsyncedPackets + 1) {
            log.write(LogLevel::kWarnings,
                      "WARNING: further %spackets out of sync are counted, not listed\n", label_);
        }
    }
}

void StreamCoder::run_outer(Log& log) {
    log.write(LogLevel::kStages, "%sInverting SYNC1 byte ...", label_);
    check_sync_bytes(log);
    energy_dispersal_.sync_invert(ts_buffer_);
    log.write(LogLevel::kStages, " done.\n");
    log.write(LogLevel::kStages, "%sScrambling ... ", label_);
    energy_dispersal_.process(ts_buffer_, [&log, this](int32_t group) {
        log.write(LogLevel::kWarnings,
                  "WARNING: %sMPEG-2 TS energy dispersal Out of Sync in frame #%d\n", label_,
                  group);
    });
    log.write(LogLevel::kStages, " done.\n");
    log.write(LogLevel::kStages, "%sRS(204, 188) outer encoding ... ", label_);
    reed_solomon_.process(ts_buffer_, rs_buffer_);
    log.write(LogLevel::kStages, "done.\n");
    log.write(LogLevel::kStages, "%sConvolutionally interleaving ...", label_);
    outer_interleaver_.process(rs_buffer_, outer_interleaved_buffer_);
    log.write(LogLevel::kStages, " done.\n");
}

void StreamCoder::run_encoder(Log& log) {
    log.write(LogLevel::kStages, "%sConvolutionally encoding 1/2 ... ", label_);
    if (packed_bits_)
        conv_encoder_.process_packed(outer_interleaved_buffer_, coded_packed_);
    else
        conv_encoder_.process(outer_interleaved_buffer_, coded_buffer_);
    log.write(LogLevel::kStages, "done.\n");
    log.write(LogLevel::kStages, "%sPuncturing to rate %s ...", label_, kCodeRateNames[code_rate_]);
    if (packed_bits_)
        puncturer_.process_packed(coded_packed_, punctured_packed_);
    else
        puncturer_.process(coded_buffer_, punctured_buffer_);
    log.write(LogLevel::kStages, " done.\n");
}

std::span<const uint8_t> StreamCoder::stage_bytes(DumpStage stage) const {
    switch (stage) {
        case kDumpEnergyDispersal:
            return ts_buffer_;
        case kDumpReedSolomon:
            return rs_buffer_;
        case kDumpOuterInterleaver:
            return outer_interleaved_buffer_;
        case kDumpConvEncoder:
            return coded_buffer_;
        case kDumpPuncturer:
            return punctured_buffer_;
        default:
            return {};
    }
}

void StreamCoder::report_unsynced_packets(Log& log) const {
    if (sync_.unsynced == 0) return;
    log.write(LogLevel::kWarnings,
              "WARNING: %" PRId64 " of %" PRId64 " %sMPEG-2 TS packets were out of sync\n",
              sync_.unsynced, sync_.checked, label_);
}

}  // namespace terramod

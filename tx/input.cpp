#include "tx/input.h"

#include "dvbt/dvbt.h"

namespace terramod {

int64_t read_cycle_block(TsSource& source, std::span<uint8_t> block, Log& log,
                         size_t* obtained_bytes, const char* label, bool null_packets) {
    log.write(LogLevel::kStages, "Reading %sMPEG2-TS file ... ", label);
    const size_t obtained = source.read_packets(block);
    if (obtained_bytes) *obtained_bytes = obtained;
    log.write(LogLevel::kStages, "%d bytes read.\n", static_cast<int32_t>(obtained));
    // A short read is not an error, whatever its cause: the block is padded.
    if (obtained < block.size()) {
        log.write(LogLevel::kStages, "%sMPEG-2 bunch too short! Padding with %d bytes ...", label,
                  static_cast<int32_t>(block.size() - obtained));
        pad_block(block, obtained, null_packets);
        log.write(LogLevel::kStages, " done.\n");
        // A file keeps its messages; a stream cut inside a packet says so.
        const size_t partial = obtained % kPacketLength;
        if (!source.known_length() && partial != 0)
            log.write(LogLevel::kWarnings,
                      "WARNING: input ended inside a packet: its %d bytes padded to %d\n",
                      static_cast<int32_t>(partial), static_cast<int32_t>(kPacketLength));
    }
    return static_cast<int64_t>(block.size());
}

void pad_block(std::span<uint8_t> block, size_t start, bool null_packets) {
    // A null packet: PID 0x1FFF, payload only, stuffing bytes 0xFF.
    static constexpr uint8_t kNullHeader[4] = {kSyncByte, 0x1F, 0xFF, 0x10};
    const size_t first_whole = (start + kPacketLength - 1) / kPacketLength * kPacketLength;
    for (size_t position = start; position < block.size(); ++position) {
        const size_t offset = position % kPacketLength;
        if (!null_packets || position < first_whole)
            block[position] = offset == 0 ? kSyncByte : 0x00;
        else
            block[position] = offset < 4 ? kNullHeader[offset] : 0xFF;
    }
}

}  // namespace terramod

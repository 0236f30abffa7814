#include "tx/dump_files.h"

#include <cinttypes>

namespace terramod {

const std::array<DumpDescription, kDumpPostIfft> kDumpDescriptions = {{
    {kDumpEnergyDispersal, "_ed.bin", "Energy disperder stream dumping selected\n", "EnDisp", 1},
    {kDumpReedSolomon, "_rs.bin", "Reed-Solomon encoder stream dumping selected\n", "RS", 1},
    {kDumpOuterInterleaver, "_ci.bin", "Convolutional interleaver stream dumping selected\n",
     "ConvInt", 1},
    {kDumpConvEncoder, "_ve.bin", "Convolutional encoder stream dumping selected\n", "ConvEnco", 1},
    {kDumpPuncturer, "_pu.bin", "Puncturer stream dumping selected\n", "Punct", 1},
    {kDumpBitInterleaver, "_bi.bin", "Bit interleaver stream dumping selected\n", "BitInt", 1},
    {kDumpSymbolInterleaver, "_si.bin", "Symbol interleaver stream dumping selected\n", "SymbInt",
     1},
    {kDumpMapper, "_ma.bin", "Mapper stream dumping selected\n", "Map", sizeof(ComplexSample)},
    {kDumpPreIfft, "_fd.bin", "Pre-IFFT stream dumping selected\n", "FreqDom",
     sizeof(ComplexSample)},
}};

const std::array<DumpDescription, kDumpBitInterleaver> kLowPriorityDumpDescriptions = {{
    {kDumpEnergyDispersal, "_lp_ed.bin", "LP energy disperser stream dumping selected\n",
     "LP EnDisp", 1},
    {kDumpReedSolomon, "_lp_rs.bin", "LP Reed-Solomon encoder stream dumping selected\n", "LP RS",
     1},
    {kDumpOuterInterleaver, "_lp_ci.bin", "LP convolutional interleaver stream dumping selected\n",
     "LP ConvInt", 1},
    {kDumpConvEncoder, "_lp_ve.bin", "LP convolutional encoder stream dumping selected\n",
     "LP ConvEnco", 1},
    {kDumpPuncturer, "_lp_pu.bin", "LP puncturer stream dumping selected\n", "LP Punct", 1},
}};

std::string make_base_name(const std::optional<std::string>& output_path) {
    if (!output_path) return kDefaultBaseName;
    const std::string& path = *output_path;
    // Only the last path component is cut, so a "." in a folder name (as in
    // my.run/out) keeps the file in that folder.
    const size_t last_slash = path.rfind('/');
    const size_t component_start = last_slash == std::string::npos ? 0 : last_slash + 1;
    const size_t dot = path.find('.', component_start);
    return dot == std::string::npos ? path : path.substr(0, dot);
}

DumpFiles::DumpFiles(Log& log, const std::array<bool, kDumpStageCount>& selected,
                     const std::string& base_name, bool lp_stream)
    : log_(log) {
    for (const DumpDescription& description : kDumpDescriptions) {
        if (!selected[description.stage]) continue;
        dumps_.push_back(std::unique_ptr<Dump>(
            new Dump{&description, OutputFile(base_name + description.suffix), false}));
        if (!lp_stream || description.stage >= kDumpBitInterleaver) continue;
        const DumpDescription& lp = kLowPriorityDumpDescriptions[description.stage];
        dumps_.push_back(
            std::unique_ptr<Dump>(new Dump{&lp, OutputFile(base_name + lp.suffix), true}));
    }
}

std::vector<std::string> DumpFiles::selected_file_names() const {
    std::vector<std::string> names;
    for (const auto& dump : dumps_) names.push_back(dump->file.name());
    return names;
}

bool DumpFiles::open() {
    for (const auto& dump : dumps_) {
        log_.write(LogLevel::kProgress, "%s", dump->description->announcement);
        if (!dump->file.open() && dump->file.in_use()) {
            log_.fatal("output file \"%s\" is in use by another run\n", dump->file.name().c_str());
            return false;
        }
        if (!dump->file.is_open()) {
            log_.write(LogLevel::kErrors, "WARNING: Can't open \"%s\" -> skipping ...\n",
                       dump->file.name().c_str());
            had_failure_ = true;
        }
    }
    return true;
}

void DumpFiles::write(const TxChain& chain, DumpStage first, DumpStage last) {
    for (const auto& dump : dumps_) {
        const DumpDescription& description = *dump->description;
        if (description.stage < first || description.stage > last || !dump->file.is_open())
            continue;
        const std::span<const uint8_t> bytes = dump->low_priority
                                                   ? chain.lp_stage_bytes(description.stage)
                                                   : chain.stage_bytes(description.stage);
        const int64_t count = static_cast<int64_t>(bytes.size() / description.element_size);
        log_.write(LogLevel::kStages, "Dumping %" PRId64 " samples to %s file ...", count,
                   description.word);
        if (!dump->file.write_bytes(bytes)) {
            had_failure_ = true;
            log_.write(LogLevel::kErrors, "WARNING: Couldn't write to %s file\n", description.word);
        }
        log_.write(LogLevel::kStages, " done.\n");
    }
}

// Closing flushes what stdio still buffers: a failure there is a failed write.
void DumpFiles::close_all() {
    for (const auto& dump : dumps_) {
        const bool was_open = dump->file.is_open();
        if (!dump->file.close() && was_open) {
            had_failure_ = true;
            log_.write(LogLevel::kErrors, "WARNING: Couldn't write to %s file\n",
                       dump->description->word);
        }
    }
}

}  // namespace terramod

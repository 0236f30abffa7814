#include "channel/channel_stages.h"

#include "channel/awgn_stage.h"
#include "channel/echo_stage.h"
#include "channel/frequency_offset_stage.h"
#include "channel/iq_imbalance_stage.h"
#include "channel/phase_noise_stage.h"

namespace terramod {

std::vector<std::shared_ptr<SampleStage>> make_channel_stages(const ChannelSettings& settings,
                                                              const ChannelSignal& signal) {
    std::vector<std::shared_ptr<SampleStage>> stages;
    // The echoes first: the transmitter's paths, then what the receiver adds.
    if (std::shared_ptr<SampleStage> echoes = make_echo_stage(settings, signal.sample_rate))
        stages.push_back(std::move(echoes));
    if (settings.frequency_offset_hz)
        stages.push_back(std::make_shared<FrequencyOffsetStage>(*settings.frequency_offset_hz,
                                                                signal.sample_rate));
    if (settings.phase_noise)
        stages.push_back(
            std::make_shared<PhaseNoiseStage>(settings.seed, settings.phase_noise->dbc_per_hz,
                                              settings.phase_noise->offset_hz, signal.sample_rate));
    if (settings.iq_imbalance)
        stages.push_back(std::make_shared<IqImbalanceStage>(settings.iq_imbalance->gain_db,
                                                            settings.iq_imbalance->phase_deg));
    if (settings.cn_db)
        stages.push_back(std::make_shared<AwgnStage>(
            settings.seed, AwgnStage::total_noise_power(*settings.cn_db, signal)));
    return stages;
}

}  // namespace terramod

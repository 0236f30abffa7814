"""What terramod's channel simulator was asked (the dvbt:channel_* fields of
the SigMF metadata) and what the signal shows of it: the frequency offset,
the echo paths seen on the pilots and the MER against the C/N asked.

Frequency offset: first from the cyclic prefix (the guard repeats the end of
each symbol, so the phase of their correlation is 2 pi f N / Fs: unambiguous
within half a carrier spacing), then refined from the continual pilots,
whose phase turns by 2 pi f (N + G) / Fs from one symbol to the next.

Echo paths: the channel on every third carrier (the scattered pilots of four
symbols together), averaged over the symbols, a Hann window over the band
and an inverse FFT give the impulse response; its delays repeat every third
of the useful symbol time (those in its last tenth are given as early,
negative delays), and two paths closer than about one over the
occupied bandwidth (0.13 us in 8 MHz) are seen as one."""
import math

import numpy as np

# The paths reported: at most this many, down to this level below the strongest.
MAX_PATHS = 8
PATH_FLOOR_DB = 25.0
ZERO_PADDING = 16
PRE_ECHO_SHARE_FROM = 0.9

NUMBER_FIELDS = {
    "cn_db": "dvbt:channel_cn_db", "seed": "dvbt:channel_seed",
    "frequency_offset_hz": "dvbt:channel_frequency_offset_hz",
    "doppler_hz": "dvbt:channel_doppler_hz",
    "phase_noise_dbc_hz": "dvbt:channel_phase_noise_dbc_hz",
    "phase_noise_offset_hz": "dvbt:channel_phase_noise_offset_hz",
    "iq_gain_db": "dvbt:channel_iq_gain_db", "iq_phase_deg": "dvbt:channel_iq_phase_deg",
}
TEXT_FIELDS = {"echo_profile": "dvbt:channel_echo_profile", "echoes": "dvbt:channel_echoes"}


def asked_channel(meta):
    """The impairments the metadata says were applied: a dict, empty for a
    clean signal (or no metadata)."""
    glob = (meta or {}).get("global", {})
    asked = {}
    for name, key in NUMBER_FIELDS.items():
        if key in glob:
            try:
                asked[name] = float(glob[key])
            except (TypeError, ValueError):
                pass
    for name, key in TEXT_FIELDS.items():
        if isinstance(glob.get(key), str) and glob[key]:
            asked[name] = glob[key]
    if "echoes" in asked:
        asked["echo_taps"] = parse_echoes(asked["echoes"])
    return asked


def parse_echoes(text):
    """DELAY_US:GAIN_DB:PHASE_DEG[:DOPPLER_HZ],... as --echoes takes it;
    taps that do not read are left out."""
    taps = []
    for item in text.split(","):
        fields = item.strip().split(":")
        try:
            values = [float(field) for field in fields]
        except ValueError:
            continue
        if len(values) >= 3:
            taps.append({"delay_us": values[0], "gain_db": values[1], "phase_deg": values[2],
                         "doppler_hz": values[3] if len(values) > 3 else 0.0})
    return taps


def cyclic_prefix_offset(samples, settings, symbols):
    """The frequency offset (Hz) within half a carrier spacing, from the
    correlation of each guard interval with the end of its symbol (its middle
    half only: filters spread the symbol edges)."""
    n, g, length = settings.fft_size, settings.guard_length, settings.symbol_length
    count = min(symbols, len(samples) // length - 1)
    first, last = g // 4, g - g // 4
    starts = np.arange(count) * length
    index = starts[:, None] + np.arange(first, last)[None, :]
    correlation = np.sum(samples[index] * np.conj(samples[index + n]))
    return -np.angle(correlation) * settings.base_rate / (2 * math.pi * n)


def pilot_phase_slope(cells, layout, settings):
    """The frequency offset (Hz) the continual pilots' phase shows from one
    symbol to the next."""
    pilots = cells[:, layout.continual] / layout.pilot_values[layout.continual]
    phases = np.unwrap(np.angle(np.sum(pilots, axis=1)))
    if len(phases) < 2:
        return 0.0
    slope = np.polyfit(np.arange(len(phases)), phases, 1)[0]
    return slope * settings.base_rate / (2 * math.pi * settings.symbol_length)


def derotate(samples, offset_hz, rate):
    n = np.arange(len(samples))
    return samples * np.exp(-2j * math.pi * offset_hz * n / rate)


def echo_paths(cells, layout, settings):
    """The strongest paths of the impulse response seen on the pilots:
    delay (us, within a third of the useful symbol time) and power (dB,
    relative to the strongest)."""
    phases = np.arange(len(cells)) % 4
    pilot_mask = layout.pilot_masks[phases]
    ratio = np.where(pilot_mask, cells / layout.pilot_values, 0)
    counts = pilot_mask.sum(axis=0)
    carriers = np.arange(0, settings.carrier_count, 3)
    carriers = carriers[counts[carriers] > 0]
    response = ratio.sum(axis=0)[carriers] / counts[carriers]
    windowed = response * np.hanning(len(response))
    size = ZERO_PADDING * 2 ** math.ceil(math.log2(len(response)))
    impulse = np.fft.ifft(windowed, size)
    power = np.abs(impulse) ** 2
    strongest = float(np.max(power))
    if strongest <= 0:
        return []
    spacing_hz = settings.base_rate / settings.fft_size
    period_us = 1e6 / (3 * spacing_hz)
    peaks = [m for m in range(size)
             if power[m] >= power[m - 1] and power[m] > power[(m + 1) % size]
             and power[m] >= strongest * 10 ** (-PATH_FLOOR_DB / 10)]
    peaks.sort(key=lambda m: -power[m])
    paths = []
    for m in peaks[:MAX_PATHS]:
        # The last tenth of the period holds paths a little early (a filter's
        # delay, a pre-echo): they are given as negative delays.
        delay = m / size * period_us
        if delay > PRE_ECHO_SHARE_FROM * period_us:
            delay -= period_us
        paths.append({"delay_us": round(delay, 4),
                      "power_db": round(10 * math.log10(power[m] / strongest), 2)})
    return sorted(paths, key=lambda path: path["delay_us"])


def channel_report(asked, measured):
    lines = []
    if not asked:
        return lines
    lines.append("")
    lines.append("Channel (asked / measured):")
    if "cn_db" in asked:
        lines.append(f"  C/N {asked['cn_db']:.1f} dB / MER {measured['mer_db']:.2f} dB")
    if "frequency_offset_hz" in measured:
        lines.append(f"  frequency offset {asked.get('frequency_offset_hz', 0.0):.2f} Hz / "
                     f"{measured['frequency_offset_hz']:.2f} Hz")
    if "echo_profile" in asked or "echoes" in asked:
        lines.append(f"  echoes {asked.get('echo_profile', '')} {asked.get('echoes', '')}".rstrip())
        for path in measured.get("echo_paths", []):
            lines.append(f"    path at {path['delay_us']:8.4f} us {path['power_db']:7.2f} dB")
    return lines

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
occupied bandwidth (0.13 us in 8 MHz) are seen as one.

Sampling clock offset (dvbt:channel_clock_offset_ppm, epsilon = ppm 1e-6):
symbol s of a signal made with a clock off by epsilon starts at file
sample s L / (1 + epsilon). Where it starts is measured on probes of a few
symbols spread over the whole file, placed where the estimate so far puts
them (the first at the start, each next one about four times as far, the
last at the end): the frequency offset of the probe from its cyclic prefix
is taken off, the FFT window is put in the middle of the guard interval,
and the pilots' phase across the carriers, which turns by 2 pi d / N per
carrier for a window d samples late, gives the start of each symbol to a
small fraction of a sample (first from the scattered pilots twelve
carriers apart, then refined by a straight line through every pilot's
unwrapped phase). A straight line through the starts against s L gives
1 / (1 + epsilon); the channel's own delay is the same in every probe and
falls out. The file is then resampled back to the nominal clock (sample n
read at file position n / (1 + epsilon) by a windowed sinc) before it is
demodulated, so that the symbols stay in their windows and the carriers
in their bins however long the file."""
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
    "clock_offset_ppm": "dvbt:channel_clock_offset_ppm",
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


# The clock offset's probes: symbols each, the share of the band the rounds
# of the first (at the start) take, the next ones' starts (in symbols; then four times the one
# before), the symbols kept clear of the file's end.
CLOCK_PROBE_SYMBOLS = 8
CLOCK_PROBE_STARTS = (8, 32)
CLOCK_FIRST_BANDS = (1 / 8, 1 / 4, 1 / 2, 1, 1)
CLOCK_END_MARGIN = 2
# The resampler back to the nominal clock: a Kaiser-windowed sinc of
# 2 x RESAMPLER_HALF taps (images of the occupied band about 100 dB down at
# the base rate), tabulated at RESAMPLER_PHASES phases of a sample.
RESAMPLER_HALF = 24
RESAMPLER_PHASES = 1024
RESAMPLER_BETA = 10.0
RESAMPLER_CHUNK = 1 << 15


def probe_starts(samples, first, scale, layout, settings, band=1.0):
    """The measured start (in file samples, fractional) of symbols first ..
    first + CLOCK_PROBE_SYMBOLS - 1, on the file resampled by the estimate
    `scale` so far (1 / (1 + epsilon)): their carriers in their bins. Only
    the pilots within `band` of the occupied band about its centre count."""
    n, g, length = settings.fft_size, settings.guard_length, settings.symbol_length
    k_count, centre = settings.carrier_count, (settings.carrier_count - 1) // 2
    origin = first * length
    excerpt = resample_to_nominal_clock(samples, scale, (CLOCK_PROBE_SYMBOLS + 1) * length,
                                        origin)
    guesses = np.arange(CLOCK_PROBE_SYMBOLS) * length
    # The probe's frequency offset from its cyclic prefixes (middle half).
    index = guesses[:, None] + np.arange(g // 4, g - g // 4)[None, :]
    turns = -np.angle(np.sum(excerpt[index] * np.conj(excerpt[index + n]))) / (2 * math.pi * n)
    windows = guesses[:, None] + g // 2 + np.arange(n)[None, :]
    blocks = excerpt[windows] * np.exp(-2j * math.pi * turns * np.arange(n))[None, :]
    offsets = np.arange(k_count) - centre
    # The window g / 2 early: its ramp across the carriers taken off.
    cells = (np.fft.fft(blocks, axis=1)[:, offsets % n]
             * np.exp(2j * math.pi * offsets * (g // 2) / n)[None, :])
    inside = np.abs(offsets) <= band * k_count / 2
    symbols = first + np.arange(CLOCK_PROBE_SYMBOLS)
    starts = []
    for row, symbol, guess in zip(cells, symbols, guesses):
        scattered = np.arange(3 * (symbol % 4), k_count, 12)
        scattered = scattered[inside[scattered]]
        ratio = row[scattered] / layout.pilot_values[scattered]
        late = np.angle(np.sum(ratio[1:] * np.conj(ratio[:-1]))) * n / (2 * math.pi * 12)
        mask = layout.pilot_masks[symbol % 4] & inside
        ratio = row[mask] / layout.pilot_values[mask]
        ratio = ratio * np.exp(-2j * math.pi * offsets[mask] * late / n)
        phases = np.unwrap(np.angle(ratio))
        slope = np.polyfit(offsets[mask], phases, 1, w=np.abs(ratio))[0]
        late += slope * n / (2 * math.pi)
        # The symbol starts `late` samples before its guess; back to the
        # file's samples.
        starts.append((origin + guess - late) * scale)
    return symbols, np.array(starts)


def clock_offset_ppm(samples, layout, settings):
    """The sampling clock offset (ppm) and 1 / (1 + epsilon), from the drift
    of the symbols' starts over the whole file (see the module's
    description)."""
    length = settings.symbol_length

    def last_probe(scale):
        return int(len(samples) / (length * scale)) - CLOCK_PROBE_SYMBOLS - 1 - CLOCK_END_MARGIN

    if last_probe(1.0) < 0:
        return 0.0, 1.0
    # The first probe again on its own estimate, the band widened each time:
    # an error of epsilon puts carrier k (from the centre) k epsilon of a
    # spacing away (the edges of 8k 3.4 spacings at 1000 ppm), the middle
    # of the band the least.
    scale = 1.0
    for band in CLOCK_FIRST_BANDS:
        symbols, starts = probe_starts(samples, 0, scale, layout, settings, band)
        scale = np.polyfit(symbols * length, starts, 1)[0]
    pending = list(CLOCK_PROBE_STARTS)
    first = 0
    while first < last_probe(scale):
        first = min(max(pending.pop(0) if pending else 4 * first, int(symbols[-1]) + 1),
                    last_probe(scale))
        probe_symbols, probe = probe_starts(samples, first, scale, layout, settings)
        symbols = np.concatenate([symbols, probe_symbols])
        starts = np.concatenate([starts, probe])
        scale = np.polyfit(symbols * length, starts, 1)[0]
    return (1 / scale - 1) * 1e6, scale


def resampler_table():
    """Row p, tap j: the windowed sinc at p / PHASES + HALF - 1 - j, rows
    0 .. PHASES (the last one for the interpolation between phases)."""
    half = RESAMPLER_HALF
    t = (np.arange(RESAMPLER_PHASES + 1)[:, None] / RESAMPLER_PHASES
         + (half - 1 - np.arange(2 * half))[None, :])
    inside = np.clip(1 - (t / half) ** 2, 0, None)
    window = np.where(np.abs(t) < half, np.i0(RESAMPLER_BETA * np.sqrt(inside)), 0)
    return np.sinc(t) * window / np.i0(RESAMPLER_BETA)


def resample_to_nominal_clock(samples, scale, count, origin=0):
    """Sample n (origin <= n < origin + count) read at file position
    n scale, scale = 1 / (1 + epsilon): the signal on the nominal clock
    again. Positions beyond the file read zeros."""
    half = RESAMPLER_HALF
    table = resampler_table()
    slope = table[1:] - table[:-1]
    padded = np.concatenate([np.zeros(half, samples.dtype), samples,
                             np.zeros(2 * half, samples.dtype)]).astype(np.complex128)
    result = np.empty(count, np.complex128)
    taps = np.arange(2 * half)
    for first in range(0, count, RESAMPLER_CHUNK):
        positions = (origin + np.arange(first, min(first + RESAMPLER_CHUNK, count))) * scale
        whole = np.floor(positions).astype(np.int64)
        phase = (positions - whole) * RESAMPLER_PHASES
        row = np.minimum(np.floor(phase).astype(np.int64), RESAMPLER_PHASES - 1)
        weight = (phase - row)[:, None]
        kernel = table[row] + weight * slope[row]
        index = np.minimum(whole[:, None] + 1 + taps[None, :], len(padded) - 1)
        result[first:first + len(positions)] = np.sum(kernel * padded[index], axis=1)
    return result


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
    if "clock_offset_ppm" in measured:
        lines.append(f"  clock offset {asked.get('clock_offset_ppm', 0.0):.3f} ppm / "
                     f"{measured['clock_offset_ppm']:.3f} ppm")
    if "echo_profile" in asked or "echoes" in asked:
        lines.append(f"  echoes {asked.get('echo_profile', '')} {asked.get('echoes', '')}".rstrip())
        for path in measured.get("echo_paths", []):
            lines.append(f"    path at {path['delay_us']:8.4f} us {path['power_db']:7.2f} dB")
    return lines

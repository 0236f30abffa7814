"""A DVB-T-like signal built from scratch in numpy, as an oracle for
terramod-analyze: random constellation points on the data carriers, the
boosted pilots, DBPSK-coded TPS words, numpy's inverse FFT and a cyclic
prefix. It shares no code with the tool: tables, reference sequence and
constellations are written out here again from EN 300 744, in another form
(the reference sequence as a bit register, the constellations as the
magnitudes of clause 4.3.5, whole TPS words). They are kept apart from
terramod_tools.dvbt on purpose: a wrong value there would then be in the
signal and in the analysis alike, and the tests would pass."""
from fractions import Fraction

import numpy as np

SYMBOLS_PER_FRAME = 68
MODES = {"2k": (2048, 1705), "8k": (8192, 6817)}
BASE_RATE_8MHZ = 64e6 / 7
# EN 300 744 table 7 (continual pilots) and table 8 (TPS carriers), 2k mode.
CONTINUAL_2K = [0, 48, 54, 87, 141, 156, 192, 201, 255, 279, 282, 333, 432, 450, 483, 525, 531,
                618, 636, 714, 759, 765, 780, 804, 873, 888, 918, 939, 942, 969, 984, 1050, 1101,
                1107, 1110, 1137, 1140, 1146, 1206, 1269, 1323, 1377, 1491, 1683, 1704]
TPS_2K = [34, 50, 209, 346, 413, 569, 595, 688, 790, 901, 1073, 1219, 1262, 1286, 1469, 1594,
          1687]
# First 32 values of the pilot reference sequence w_k.
REFERENCE_START = "11111111111000000000110000000111"
# Axis magnitudes of the normalised constellations (EN 300 744 clause 4.3.5).
MAGNITUDES = {
    (4, "NH"): [0.707106769],
    (16, "1"): [0.316227764, 0.948683321],
    (16, "2"): [0.447213590, 0.894427180],
    (16, "4"): [0.554700196, 0.832050323],
    (64, "1"): [0.154303357, 0.462910056, 0.771516740, 1.080123425],
    (64, "2"): [0.258198887, 0.516397774, 0.774596691, 1.032795548],
    (64, "4"): [0.384900182, 0.577350259, 0.769800365, 0.962250471],
}
# TPS words s1..s67 of EN 300 744 clause 4.6 for four parameter sets.
TPS_WORDS = {
    "2k_qpsk_frame0": "00110101111011100101110000000000000000000000000000000" "01100110000100",
    "2k_qpsk_frame1": "11001010000100010101110100000000000000000000000000000" "00110010101000",
    "8k_64qam_a4_r78_g14_frame3": "11001010000100010101111110011100000110100000000000000"
                                  "00000011100110",
    "8k_16qam_a1_r34_g116_frame2": "00110101111011100101111001001010000010100000000000000"
                                   "11011011111110",
}


def reference_sequence(count):
    """w_k from an 11-bit register (x^11 + x^2 + 1, all ones); bit 10 is
    the output stage."""
    state, values = 0x7FF, []
    for _ in range(count):
        values.append((state >> 10) & 1)
        feedback = ((state >> 10) ^ (state >> 8)) & 1
        state = ((state << 1) | feedback) & 0x7FF
    return np.array(values)


def repeated(table_2k, carrier_count):
    copies = (k + 1704 * i for i in range(4) for k in table_2k)
    return sorted({k for k in copies if k < carrier_count})


class Signal:
    """Frames of one parameter set; the cells and the samples."""

    def __init__(self, mode, constellation, alpha, guard, tps_words, seed=1):
        self.mode, self.guard = mode, guard
        self.n, self.k = MODES[mode]
        self.g = int(self.n * Fraction(guard))
        self.kc = (self.k - 1) // 2
        rng = np.random.default_rng(seed)
        w = reference_sequence(self.k)
        continual = repeated(CONTINUAL_2K, self.k)
        tps = repeated(TPS_2K, self.k)
        tps_set = set(tps)
        levels = np.array(MAGNITUDES[(constellation, alpha)])
        symbol_count = SYMBOLS_PER_FRAME * len(tps_words)
        cells = np.zeros((symbol_count, self.k), complex)
        self.data_mask = np.zeros((symbol_count, self.k), bool)
        tps_values = np.zeros(len(tps))
        for q in range(symbol_count):
            l = q % SYMBOLS_PER_FRAME
            pilots = set(range(3 * (l % 4), self.k, 12)) | set(continual)
            data = np.array([k for k in range(self.k) if k not in pilots and k not in tps_set])
            self.data_mask[q, data] = True

            def axis():
                return (rng.choice([-1, 1], len(data)) * rng.choice(levels, len(data)))
            cells[q, data] = axis() + 1j * axis()
            pilot_list = sorted(pilots)
            cells[q, pilot_list] = 4 / 3 * (1 - 2 * w[pilot_list])
            if l == 0:
                tps_values = 1.0 - 2 * w[tps]
            elif tps_words[q // SYMBOLS_PER_FRAME][l - 1] == "1":
                tps_values = -tps_values
            cells[q, tps] = tps_values
        self.cells = cells
        self.samples = self._modulate(cells)

    def _modulate(self, cells):
        bins = np.zeros((len(cells), self.n), complex)
        bins[:, (np.arange(self.k) - self.kc) % self.n] = cells
        useful = np.fft.ifft(bins, axis=1) * self.n  # terramod's IFFT has no 1/N
        with_prefix = np.concatenate([useful[:, self.n - self.g:], useful], axis=1)
        return with_prefix.ravel()

    def with_noise(self, snr_db, seed=2):
        """White noise whose power per FFT bin is the data cell power (1)
        divided by the SNR: its variance per sample is N / SNR."""
        variance = self.n / 10 ** (snr_db / 10)
        rng = np.random.default_rng(seed)
        noise = rng.normal(size=(len(self.samples), 2)) @ np.array([1, 1j]) * np.sqrt(variance / 2)
        return self.samples + noise

    def with_tone(self, carrier, amplitude):
        """A sine wave exactly on one carrier's frequency."""
        n = np.arange(len(self.samples))
        return self.samples + amplitude * np.exp(2j * np.pi * (carrier - self.kc) * n / self.n)


def with_clock_offset(samples, ppm, half=40):
    """The samples as a sampling clock ppm 1e-6 fast would have made them:
    output m is the band-limited signal at position m (1 + ppm 1e-6),
    evaluated there directly as a sum of sincs under a Blackman-Harris
    window (2 x half of them; zeros beyond the samples),
    ceil(len / (1 + ppm 1e-6)) outputs."""
    scale = 1 + ppm * 1e-6
    count = int(np.ceil(len(samples) / scale))
    padded = np.concatenate([np.zeros(half), samples, np.zeros(half + 1)])
    positions = np.arange(count) * scale
    whole = np.floor(positions).astype(int)
    result = np.zeros(count, complex)
    for k in range(-half + 1, half + 1):
        t = positions - (whole + k)
        angle = np.pi * t / half
        window = 0.35875 + 0.48829 * np.cos(angle) + 0.14128 * np.cos(2 * angle) \
            + 0.01168 * np.cos(3 * angle)
        result += padded[whole + k + half] * np.sinc(t) * window
    return result

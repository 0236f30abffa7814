"""The DVB-T numbers of EN 300 744 that the tools and the tests share: mode
sizes, carrier tables, TPS fields, code rates, guard fractions and the
constellations' scaling."""
import math
from dataclasses import dataclass
from fractions import Fraction

import numpy as np

PACKET_SIZE = 188
RS_PACKET_SIZE = 204
SYMBOLS_PER_FRAME = 68
FRAMES_PER_SUPERFRAME = 4


@dataclass(frozen=True)
class Mode:
    """Clause 4.4: FFT size, carriers K and data carriers per symbol."""
    name: str
    fft_size: int
    carrier_count: int
    data_carrier_count: int


MODES = {"2k": Mode("2k", 2048, 1705, 1512), "8k": Mode("8k", 8192, 6817, 6048)}
# Sampling rate of the base-rate output by channel spacing in MHz: the
# elementary period T = 7/64 us for 8 MHz (clause 4.4 and annex E).
SAMPLING_RATES = {6: 48e6 / 7, 7: 8e6, 8: 64e6 / 7}
GUARDS = ("1/32", "1/16", "1/8", "1/4")
CODE_RATES = ("1/2", "2/3", "3/4", "5/6", "7/8")
HIERARCHIES = ("NH", "1", "2", "4")
CONSTELLATION_NAMES = {4: "4QAM", 16: "16QAM", 64: "64QAM"}
BITS_PER_CELL = {4: 2, 16: 4, 64: 6}

# Continual pilot and TPS carriers of the 2k mode (tables 7 and 8); the 8k
# lists are the 2k list repeated at offsets of 1704 carriers.
CONTINUAL_PILOTS_2K = (
    0, 48, 54, 87, 141, 156, 192, 201, 255, 279, 282, 333, 432, 450, 483, 525, 531, 618, 636,
    714, 759, 765, 780, 804, 873, 888, 918, 939, 942, 969, 984, 1050, 1101, 1107, 1110, 1137,
    1140, 1146, 1206, 1269, 1323, 1377, 1491, 1683, 1704)
TPS_CARRIERS_2K = (34, 50, 209, 346, 413, 569, 595, 688, 790, 901, 1073, 1219, 1262, 1286, 1469,
                   1594, 1687)
CARRIER_TABLE_PERIOD = 1704
PILOT_BOOST = 4.0 / 3.0

# TPS (clause 4.6): the synchronisation word of frames 1 and 3 (frame
# numbers 0 and 2); frames 2 and 4 carry its inverse.
TPS_SYNC_WORD = "0011010111101110"
TPS_LENGTH_INDICATORS = {"010111": 23, "011111": 31}
# g(x) = x^14 + x^9 + x^8 + x^6 + x^5 + x^4 + x^2 + x + 1, the BCH code's generator.
TPS_BCH_GENERATOR = 0b100001101110111
TPS_CONSTELLATIONS = {"00": 4, "01": 16, "10": 64}
TPS_HIERARCHIES = {"000": "NH", "001": "1", "010": "2", "011": "4"}
TPS_CODE_RATES = {"000": "1/2", "001": "2/3", "010": "3/4", "011": "5/6", "100": "7/8"}
TPS_GUARDS = {"00": "1/32", "01": "1/16", "10": "1/8", "11": "1/4"}
TPS_MODES = {"00": "2k", "01": "8k"}


def guard_length(mode, guard):
    """Samples of the guard interval at the base rate."""
    return int(MODES[mode].fft_size * Fraction(guard))


def base_rate(bandwidth_mhz):
    """Samples per second at the base rate: 6, 7 and 8 MHz by the table, any
    other bandwidth (terramod's --bandwidth) at 8/7 of it."""
    return SAMPLING_RATES.get(bandwidth_mhz, bandwidth_mhz * 8e6 / 7)


def pilot_reference(count):
    """w_k of clause 4.5.2: x^11 + x^2 + 1, all ones at the start."""
    register = [1] * 11
    values = np.empty(count, np.int8)
    for k in range(count):
        values[k] = register[10]
        feedback = register[10] ^ register[8]
        register = [feedback] + register[:10]
    return values


def carrier_table(table_2k, carrier_count):
    """A 2k carrier table repeated over the carriers of the mode."""
    return np.array(sorted({k + CARRIER_TABLE_PERIOD * copy for copy in range(4)
                            for k in table_2k
                            if k + CARRIER_TABLE_PERIOD * copy < carrier_count}))


def axis_levels(constellation, alpha):
    """The coordinate values of the constellation on one axis, normalised to
    unit mean cell energy (clause 4.3.5), non-uniform alpha included."""
    alpha = 1 if alpha == "NH" or constellation == 4 else int(alpha)
    count = {4: 1, 16: 2, 64: 4}[constellation]
    magnitudes = np.array([alpha + 2 * i for i in range(count)], float)
    magnitudes /= math.sqrt(2 * np.mean(magnitudes ** 2))
    return np.concatenate([-magnitudes[::-1], magnitudes])

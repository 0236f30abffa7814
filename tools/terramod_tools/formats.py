"""terramod's output formats read back as complex baseband samples, and
brought to the base rate and zero IF."""
import json
import os
from dataclasses import dataclass

import numpy as np
from scipy import signal


@dataclass(frozen=True)
class SampleType:
    """One --sample-type of the standard, 2x and 4x formats."""
    name: str             # terramod's --sample-type
    sigmf_datatype: str   # the core:datatype terramod writes
    component: str        # numpy type of one I or Q value
    full_scale: int       # integers saturate at +-full_scale; None for floats

    @property
    def element_bytes(self):
        return 2 * np.dtype(self.component).itemsize


SAMPLE_TYPE_LIST = (SampleType("cf32", "cf32_le", "<f4", None),
                    SampleType("cs16", "ci16_le", "<i2", 32767),
                    SampleType("cs8", "ci8", "i1", 127))
SAMPLE_TYPES = {sample_type.name: sample_type for sample_type in SAMPLE_TYPE_LIST}
FORMATS = ("float", "agi", "2x", "4x")
# Agilent words are 8192 + trunc(scale * x) (EN 300 744 has no say here; the
# scale maps 3.2 times the RMS of one component to 8191), 14-bit offset
# binary saturated to 0 .. 16383.
AGILENT_OFFSET = 8192
AGILENT_SCALE = {"2k": 84.3674774, "8k": 42.1894684}
AGILENT_MIN_WORD, AGILENT_MAX_WORD = 0, 16383
# The interpolated outputs lag the input by the group delay of their filter,
# in output samples: input sample j is output sample factor * j + lag.
INTERPOLATION_LAG = {2: 15, 4: 31}
# Span of the decimation low-pass filter on either side, in base-rate samples.
DECIMATION_HALF_LENGTH = 24


def read_float_iq(path):
    return np.fromfile(path, dtype="<f4").view(np.complex64)


def sigmf_meta_path(path):
    """The SigMF metadata terramod writes beside a sample file."""
    return os.path.splitext(path)[0] + ".sigmf-meta"


def integer_scale(path):
    """The scale k of a cs16/cs8 file (integer = float sample times k), from
    its SigMF metadata's dvbt:scale."""
    with open(sigmf_meta_path(path), encoding="utf-8") as stream:
        return float(json.load(stream)["global"]["dvbt:scale"])


def read_iq(path, sample_type="cf32"):
    """Interleaved I/Q of any sample type as complex samples; integers are
    divided by their scale, which brings them back to the float output's level."""
    if sample_type == "cf32":
        return read_float_iq(path)
    values = np.fromfile(path, dtype=SAMPLE_TYPES[sample_type].component).astype(np.float64)
    return (values[0::2] + 1j * values[1::2]) / integer_scale(path)


def read_agilent(base_name, mode):
    """The two 16-bit word files back as samples: (w - 8192) / scale. Words are
    read as signed so that the rare peaks beyond the 14-bit range that wrapped
    below zero come back with their true value."""
    i_words = np.fromfile(base_name + "_I.bin", dtype="<i2").astype(np.float64)
    q_words = np.fromfile(base_name + "_Q.bin", dtype="<i2").astype(np.float64)
    scale = AGILENT_SCALE[mode]
    return ((i_words - AGILENT_OFFSET) + 1j * (q_words - AGILENT_OFFSET)) / scale


def decimation_filter(factor):
    """Linear-phase low-pass filter at the output rate, cutting off at 0.485
    of the base rate: flat over the occupied band (which reaches 0.416 of the
    base rate on either side of 0 Hz) and stopping before the first image of
    the band (from 0.584 of the base rate)."""
    taps = 2 * DECIMATION_HALF_LENGTH * factor + 1
    return signal.firwin(taps, 0.5 / factor * 0.97, window=("kaiser", 8.0), fs=1.0)


def decimate(samples, factor):
    """Interpolated output back to the base rate, choosing the phase on which
    the original samples lie (the filter's lag)."""
    aligned = samples[INTERPOLATION_LAG[factor]:]
    return signal.resample_poly(aligned, 1, factor, window=decimation_filter(factor)) * factor


def shift_from_bb_if(samples):
    """BB IF puts the spectrum's centre at half the sampling rate: negating the
    odd samples moves it back to zero IF."""
    shifted = np.array(samples, copy=True)
    shifted[1::2] *= -1
    return shifted


def shift_down_by_half_base_rate(samples, factor):
    """Interpolated BB IF is the zero-IF interpolation moved up by half the
    base rate (output sample m times e^{j pi m / P}): undone here."""
    m = np.arange(len(samples))
    return samples * np.exp(-1j * np.pi * (m % (2 * factor)) / factor)


def to_base_rate_zero_if(samples, factor, bb_if):
    """Samples at factor times the base rate (1, 2 or 4), zero IF or BB IF,
    brought to the base rate and zero IF."""
    if factor > 1:
        if bb_if:
            samples = shift_down_by_half_base_rate(samples, factor)
        return decimate(samples, factor)
    return shift_from_bb_if(samples) if bb_if else samples


def base_rate_samples(path, output_format, mode, bb_if=False, sample_type="cf32"):
    if output_format == "agi":
        return to_base_rate_zero_if(read_agilent(path, mode), 1, bb_if)
    factor = int(output_format[0]) if output_format in ("2x", "4x") else 1
    return to_base_rate_zero_if(read_iq(path, sample_type), factor, bb_if)

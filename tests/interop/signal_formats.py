"""Reading terramod's output formats back as complex baseband samples at the
base rate and zero IF."""
import json
import os

import numpy as np
from scipy import signal

FORMATS = ("float", "agi", "2x", "4x")
# --sample-type of the standard, 2x and 4x formats: numpy element type of one
# I or Q value.
SAMPLE_TYPES = {"cf32": "<f4", "cs16": "<i2", "cs8": "i1"}
# Agilent words are 8192 + trunc(scale * x) (EN 300 744 has no say here; the
# scale maps 3.2 times the RMS of one component to 8191).
AGILENT_OFFSET = 8192
AGILENT_SCALE = {"2k": 84.3674774, "8k": 42.1894684}
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
    values = np.fromfile(path, dtype=SAMPLE_TYPES[sample_type]).astype(np.float64)
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


def base_rate_samples(path, output_format, mode, bb_if=False, sample_type="cf32"):
    if output_format == "agi":
        samples = read_agilent(path, mode)
    else:
        samples = read_iq(path, sample_type)
        if output_format in ("2x", "4x"):
            factor = int(output_format[0])
            if bb_if:
                samples = shift_down_by_half_base_rate(samples, factor)
            return decimate(samples, factor)
    return shift_from_bb_if(samples) if bb_if else samples

"""The measurements: modulation error ratio of the data cells, the power
spectrum with the shoulder attenuation, and the CCDF of the power."""
import math

import numpy as np
from scipy import signal as scipy_signal

from . import dvbt

CCDF_PROBABILITIES = (1e-2, 1e-3, 1e-4, 1e-5)
# The level of a CCDF point is only reported when this many samples exceed it.
CCDF_MIN_EXCEEDING = 10
# Shoulder attenuation (ETSI TR 101 290): a straight line is fitted to the
# power density from 300 kHz beyond each band edge over at most 1.4 MHz and
# read at 300 kHz; the in-band level is the mean density over the inner 90 %.
SHOULDER_OFFSET_HZ = 300e3
SHOULDER_FIT_SPAN_HZ = 1.4e6
IN_BAND_SHARE = 0.9
WELCH_RESOLUTION_HZ = 4e3
MER_CEILING_DB = 300.0


# ------------------------------------------------------------------- MER

def axis_levels(settings):
    return dvbt.axis_levels(settings.constellation, settings.alpha)


def slice_axis(values, levels):
    thresholds = (levels[1:] + levels[:-1]) / 2
    return levels[np.searchsorted(thresholds, values)]


def ideal_points(cells, settings):
    levels = axis_levels(settings)
    return slice_axis(cells.real, levels) + 1j * slice_axis(cells.imag, levels)


def ratio_db(signal_power, error_power):
    if error_power <= 0:
        return MER_CEILING_DB
    return min(MER_CEILING_DB, 10 * math.log10(signal_power / error_power))


def measure_mer(cells, layout, settings):
    """MER (TR 101 290: ideal power over error power, the ideal point being
    the nearest one of the constellation) over all data cells and per
    carrier."""
    data_mask = layout.data_masks[np.arange(len(cells)) % 4]
    data = cells[data_mask]
    ideal = ideal_points(data, settings)
    error_power = np.abs(data - ideal) ** 2
    ideal_power = np.abs(ideal) ** 2
    per_carrier_error = np.zeros(cells.shape[1])
    per_carrier_ideal = np.zeros(cells.shape[1])
    carrier_of_cell = np.nonzero(data_mask)[1]
    np.add.at(per_carrier_error, carrier_of_cell, error_power)
    np.add.at(per_carrier_ideal, carrier_of_cell, ideal_power)
    data_carriers = np.flatnonzero(per_carrier_ideal > 0)
    per_carrier = [ratio_db(per_carrier_ideal[k], per_carrier_error[k]) for k in data_carriers]
    total_error = float(np.sum(error_power))
    total_ideal = float(np.sum(ideal_power))
    return {
        "mer_db": ratio_db(total_ideal, total_error),
        "evm_rms_percent": 100 * math.sqrt(total_error / total_ideal),
        "data_cells": int(data.size),
        "per_carrier": {"carriers": data_carriers.tolist(),
                        "mer_db": [round(v, 3) for v in per_carrier]},
        "worst_carrier": int(data_carriers[int(np.argmin(per_carrier))]),
        "worst_carrier_mer_db": float(min(per_carrier)),
    }, data, ideal


# ------------------------------------------------------- spectrum and CCDF

def power_spectrum(samples, rate, centre):
    """Welch density (Blackman-Harris window), frequencies relative to the
    band centre, ascending."""
    segment = 2 ** math.ceil(math.log2(rate / WELCH_RESOLUTION_HZ))
    segment = min(segment, 2 ** int(math.log2(max(16, len(samples)))))
    frequencies, density = scipy_signal.welch(samples, fs=rate, window="blackmanharris",
                                              nperseg=segment, return_onesided=False,
                                              detrend=False)
    relative = (frequencies - centre + rate / 2) % rate - rate / 2
    order = np.argsort(relative)
    # An exactly empty frequency bin stays finite in dB.
    return relative[order], np.maximum(density[order], np.finfo(float).tiny)


def measure_spectrum(frequencies, density, settings):
    edge = settings.carrier_count / settings.fft_size * settings.base_rate / 2
    in_band = np.abs(frequencies) <= IN_BAND_SHARE * edge
    in_band_db = 10 * math.log10(np.mean(density[in_band]))
    nyquist = settings.output_rate / 2
    result = {"band_edge_hz": edge, "in_band_density_db": in_band_db,
              "resolution_hz": float(frequencies[1] - frequencies[0])}
    for side, sign in (("lower", -1), ("upper", 1)):
        distance = sign * frequencies - edge
        reach = min(SHOULDER_OFFSET_HZ + SHOULDER_FIT_SPAN_HZ, nyquist - edge - 20e3)
        fit = (distance >= SHOULDER_OFFSET_HZ) & (distance <= reach)
        if np.count_nonzero(fit) < 4:
            result[f"shoulder_{side}_db"] = None
            continue
        slope, intercept = np.polyfit(distance[fit], 10 * np.log10(density[fit]), 1)
        level = slope * SHOULDER_OFFSET_HZ + intercept
        result[f"shoulder_{side}_db"] = in_band_db - level
        result[f"shoulder_{side}_fit_hz"] = [SHOULDER_OFFSET_HZ, reach]
    sides = [result[f"shoulder_{side}_db"] for side in ("lower", "upper")]
    result["shoulder_db"] = min(sides) if None not in sides else None
    return result


def measure_ccdf(samples):
    power = np.abs(np.asarray(samples, np.complex128)) ** 2
    mean = float(np.mean(power))
    relative = power / mean if mean > 0 else power
    papr = {}
    for probability in CCDF_PROBABILITIES:
        key = f"{probability:.0e}"
        if probability * len(relative) < CCDF_MIN_EXCEEDING:
            papr[key] = None
        else:
            level = np.quantile(relative, 1 - probability)
            papr[key] = 10 * math.log10(level) if level > 0 else None
    peak = float(np.max(relative)) if len(relative) else 0.0
    return {"mean_power": mean, "papr_db": papr,
            "peak_to_average_db": 10 * math.log10(peak) if peak > 0 else None}, relative

"""The OFDM layout of a mode and the cells of each symbol: demodulation at
the known symbol timing, and the channel seen on the pilots."""
from dataclasses import dataclass

import numpy as np

from . import dvbt


@dataclass
class Layout:
    """Which carrier carries what, per symbol index modulo 4."""
    continual: np.ndarray
    tps: np.ndarray
    pilot_values: np.ndarray     # the boosted value of every carrier as a pilot
    tps_reference: np.ndarray    # the absolute TPS value of symbol 0 on each TPS carrier
    pilot_masks: np.ndarray      # [4, K]: continual or scattered pilot
    data_masks: np.ndarray       # [4, K]


def ofdm_layout(settings):
    k_count = settings.carrier_count
    w = dvbt.pilot_reference(k_count)
    continual = dvbt.carrier_table(dvbt.CONTINUAL_PILOTS_2K, k_count)
    tps = dvbt.carrier_table(dvbt.TPS_CARRIERS_2K, k_count)
    carriers = np.arange(k_count)
    pilot_masks = np.zeros((4, k_count), bool)
    data_masks = np.zeros((4, k_count), bool)
    for phase in range(4):
        pilot_masks[phase] = (carriers % 12) == 3 * phase
        pilot_masks[phase, continual] = True
        data_masks[phase] = ~pilot_masks[phase]
        data_masks[phase, tps] = False
        if np.count_nonzero(data_masks[phase]) != settings.data_carrier_count:
            raise AssertionError("carrier tables inconsistent")
    sign = 1.0 - 2.0 * w
    return Layout(continual, tps, dvbt.PILOT_BOOST * sign, sign[tps], pilot_masks, data_masks)


def demodulate(samples, settings, max_symbols, advance=0):
    """Cells [symbol, carrier] at the known symbol timing: symbol 0 of frame
    0 starts at sample 0; the guard is cut, the FFT taken, the carriers picked
    (carrier k in FFT bin k - (K - 1)/2). The IFFT of terramod has no 1/N, so
    the FFT is divided by N. With an advance d the FFT window starts d
    samples early, inside the guard interval, and the phase ramp that gives
    each carrier (e^{-j 2 pi b d / N} in bin b) is taken off again: the cells
    are the same, but the window keeps clear of the neighbouring symbols
    where a filter has spread them in time."""
    n, g, k_count = settings.fft_size, settings.guard_length, settings.carrier_count
    symbol_count = min(len(samples) // settings.symbol_length, max_symbols)
    bins = (np.arange(k_count) - (k_count - 1) // 2) % n
    derotation = np.exp(2j * np.pi * bins * advance / n)
    cells = np.empty((symbol_count, k_count), np.complex128)
    chunk = dvbt.SYMBOLS_PER_FRAME
    start = g - advance
    for first in range(0, symbol_count, chunk):
        count = min(chunk, symbol_count - first)
        block = samples[first * settings.symbol_length:(first + count) * settings.symbol_length]
        symbols = np.asarray(block, np.complex128).reshape(count, settings.symbol_length)
        spectrum = np.fft.fft(symbols[:, start:start + n], axis=1)[:, bins] / n
        cells[first:first + count] = spectrum * derotation if advance else spectrum
    return cells


def pilot_gain(cells, layout):
    """The mean ratio of the received pilots to their nominal values: 1 for
    a file at terramod's level."""
    pilot_mask = layout.pilot_masks[np.arange(len(cells)) % 4]
    values = np.broadcast_to(layout.pilot_values, cells.shape)[pilot_mask]
    return complex(np.mean(cells[pilot_mask] / values))


def pilot_channel(cells, layout):
    """Channel per carrier from the pilots (every third carrier is a pilot
    once in four symbols), averaged over the symbols and interpolated
    linearly between pilot carriers."""
    phases = np.arange(len(cells)) % 4
    pilot_mask = layout.pilot_masks[phases]
    ratio = np.where(pilot_mask, cells / layout.pilot_values, 0)
    counts = pilot_mask.sum(axis=0)
    estimated = counts > 0
    channel_at = ratio.sum(axis=0)[estimated] / counts[estimated]
    carriers = np.arange(cells.shape[1])
    known = carriers[estimated]
    return (np.interp(carriers, known, channel_at.real)
            + 1j * np.interp(carriers, known, channel_at.imag))


def pilot_channel_per_symbol(cells, layout):
    """Channel per carrier of each symbol from its own pilots (the scattered
    ones every 12th carrier and the continual ones), interpolated linearly
    between them: for a channel that changes from symbol to symbol (fading),
    at the cost of the noise averaging over the symbols."""
    carriers = np.arange(cells.shape[1])
    channel = np.empty_like(cells)
    for symbol, row in enumerate(cells):
        mask = layout.pilot_masks[symbol % 4]
        known = carriers[mask]
        ratio = row[mask] / layout.pilot_values[mask]
        channel[symbol] = np.interp(carriers, known, ratio.real) + 1j * np.interp(
            carriers, known, ratio.imag)
    return channel

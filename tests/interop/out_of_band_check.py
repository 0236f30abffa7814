#!/usr/bin/python3
"""Spectrum of terramod's interpolated outputs: with -F 2x and -F 4x, at zero
IF and at BB IF (centred at half the base rate, a quarter or an eighth of the
output rate), the power density further than 0.30 (2x) or 0.15 (4x) of the
output rate from the centre of the band, where the interpolation filters
stop, must be at least 55 dB below the density inside the occupied band, and
the band must be whole: flat within 1 dB across it. Writes the measured
spectra as spectrum.png into the output folder.

    out_of_band_check.py --terramod PATH --source-dir DIR --out DIR
"""
import argparse
import os
import subprocess
import sys

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy import signal  # noqa: E402

from dvbt_params import SAMPLING_RATES, Transmission  # noqa: E402
import run_interop  # noqa: E402

TRANSMISSION = Transmission("2k", 64, "NH", "2/3", "1/4")
CHANNEL_SPACING_MHZ = 8
PACKET_COUNT = 1200
# Where each interpolation filter stops, as a fraction of the output rate.
STOP_BAND_START = {2: 0.30, 4: 0.15}
REQUIRED_REJECTION_DB = 55.0
# In-band density is averaged over the inner 90 % of the occupied band, away
# from the band edges.
IN_BAND_SHARE = 0.9
WELCH_SEGMENT = 8192
# Flatness: the density averaged over FLATNESS_BINS neighbouring bins (about
# 130 kHz at 2x, 32 carriers: single bins scatter by the randomness of the data
# and the boosted continual pilots stand out) across the occupied band but for
# its outermost 2 % (the analysis window's resolution). The 2x filter alone
# ripples by 0.36 dB over the band.
FLATNESS_SHARE = 0.98
FLATNESS_BINS = 64
REQUIRED_FLATNESS_DB = 1.0


def interpolated_output(terramod, source_dir, folder, factor, bb_if):
    input_path = os.path.join(folder, "input.ts")
    if not os.path.exists(input_path):
        with open(input_path, "wb") as stream:
            stream.write(run_interop.random_stream(PACKET_COUNT, 7, source_dir))
    base = os.path.join(folder, f"tx_{factor}x" + ("_bbif" if bb_if else ""))
    command = [terramod, "-i", input_path, "-o", base, "-l", base + ".log", "-d", "t",
               "-v", "1", "-F", f"{factor}x", "-b", str(CHANNEL_SPACING_MHZ),
               "-f", "BBIF" if bb_if else "0"]
    command += TRANSMISSION.terramod_options()
    subprocess.run(command, check=True, capture_output=True)
    samples = np.fromfile(base + ".bin", dtype="<f4").view(np.complex64)
    os.remove(base + ".bin")
    return samples


def power_density(samples):
    """Welch estimate, frequencies as a fraction of the sampling rate, in
    ascending order. The Blackman-Harris window keeps leakage near -90 dB."""
    frequencies, density = signal.welch(samples, fs=1.0, window="blackmanharris",
                                        nperseg=WELCH_SEGMENT, return_onesided=False,
                                        detrend=False)
    order = np.argsort(frequencies)
    return frequencies[order], density[order]


def band_edge(factor):
    """Edge of the occupied band as a fraction of the output rate."""
    mode = TRANSMISSION.ofdm
    return mode.carrier_count / mode.fft_size / 2 / factor


def band_centre(factor, bb_if):
    """Centre of the occupied band as a fraction of the output rate: BB IF
    sits at half the base rate."""
    return 0.5 / factor if bb_if else 0.0


def distance_from(frequencies, centre):
    """|f - centre| on the circle of frequencies (the spectrum wraps at +-1/2)."""
    return np.abs((frequencies - centre + 0.5) % 1.0 - 0.5)


def measure(frequencies, density, factor, bb_if):
    """In-band density (dB), the highest density in the stop band (dB) and
    the flatness across the band (max - min of the smoothed density, dB)."""
    distance = distance_from(frequencies, band_centre(factor, bb_if))
    in_band = distance <= IN_BAND_SHARE * band_edge(factor)
    out_of_band = distance >= STOP_BAND_START[factor]
    in_band_db = 10 * np.log10(np.mean(density[in_band]))
    worst_out_db = 10 * np.log10(np.max(density[out_of_band]))
    smoothed = np.convolve(density, np.ones(FLATNESS_BINS) / FLATNESS_BINS, mode="same")
    # Bins whose whole smoothing span lies inside the band.
    span = FLATNESS_BINS / WELCH_SEGMENT
    flat = distance <= FLATNESS_SHARE * band_edge(factor) - span
    flat_db = 10 * np.log10(smoothed[flat])
    return in_band_db, worst_out_db, float(np.max(flat_db) - np.min(flat_db))


def plot(spectra, path):
    figure, axes = plt.subplots(len(spectra), 1, figsize=(10, 4 * len(spectra)))
    for axis, (factor, bb_if, frequencies, density, in_band_db) in zip(axes, spectra):
        output_rate_mhz = SAMPLING_RATES[CHANNEL_SPACING_MHZ] * factor / 1e6
        axis.plot(frequencies * output_rate_mhz, 10 * np.log10(density) - in_band_db,
                  linewidth=0.6)
        stop = STOP_BAND_START[factor] * output_rate_mhz
        centre = band_centre(factor, bb_if) * output_rate_mhz
        axis.axvspan(centre + stop, centre + output_rate_mhz - stop, color="tab:red", alpha=0.08)
        axis.axvspan(centre - output_rate_mhz + stop, centre - stop, color="tab:red", alpha=0.08)
        axis.axhline(-REQUIRED_REJECTION_DB, color="tab:red", linestyle="--", linewidth=0.8,
                     label=f"limit -{REQUIRED_REJECTION_DB:.0f} dB further than "
                           f"{STOP_BAND_START[factor]:.2f} of the output rate from the centre")
        axis.set_xlim(-output_rate_mhz / 2, output_rate_mhz / 2)
        axis.set_ylim(-120, 10)
        axis.set_xlabel(f"frequency (MHz), output rate {output_rate_mhz:.4f} Msps")
        axis.set_ylabel("density relative to in-band (dB)")
        axis.set_title(f"terramod -F {factor}x, {TRANSMISSION.mode} "
                       f"{TRANSMISSION.constellation}QAM, {CHANNEL_SPACING_MHZ} MHz, "
                       + ("BB IF" if bb_if else "zero IF"))
        axis.grid(True, linewidth=0.3)
        axis.legend(loc="upper right", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    run_interop.add_build_arguments(parser)
    args = parser.parse_args()
    folder = os.path.join(args.out, "spectrum")
    os.makedirs(folder, exist_ok=True)
    spectra, failed = [], False
    for bb_if in (False, True):
        for factor in (2, 4):
            samples = interpolated_output(args.terramod, args.source_dir, folder, factor, bb_if)
            frequencies, density = power_density(samples)
            in_band_db, worst_out_db, flatness_db = measure(frequencies, density, factor, bb_if)
            rejection = in_band_db - worst_out_db
            ok = rejection >= REQUIRED_REJECTION_DB and flatness_db <= REQUIRED_FLATNESS_DB
            failed |= not ok
            print(f"-F {factor}x {'BB IF  ' if bb_if else 'zero IF'}: in-band density "
                  f"{in_band_db:7.2f} dB, highest further than {STOP_BAND_START[factor]:.2f} "
                  f"of the output rate from the centre {worst_out_db:7.2f} dB: "
                  f"{rejection:5.1f} dB below (required {REQUIRED_REJECTION_DB:.0f}); "
                  f"flat within {flatness_db:.2f} dB (required {REQUIRED_FLATNESS_DB:.0f})  "
                  + ("ok" if ok else "FAIL"))
            spectra.append((factor, bb_if, frequencies, density, in_band_db))
    plot(spectra, os.path.join(folder, "spectrum.png"))
    print(f"plot: {os.path.join(folder, 'spectrum.png')}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

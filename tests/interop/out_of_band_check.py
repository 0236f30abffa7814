#!/usr/bin/python3
"""Spectrum of terramod's interpolated outputs: with -F 2x and -F 4x at zero
IF, the power density beyond 0.30 (2x) or 0.15 (4x) of the output rate, where
the interpolation filters stop, must be at least 55 dB below the density
inside the occupied band. Writes the measured spectra as spectrum.png into
the output folder.

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


def interpolated_output(terramod, source_dir, folder, factor):
    input_path = os.path.join(folder, "input.ts")
    if not os.path.exists(input_path):
        with open(input_path, "wb") as stream:
            stream.write(run_interop.random_stream(PACKET_COUNT, 7, source_dir))
    base = os.path.join(folder, f"tx_{factor}x")
    command = [terramod, "-i", input_path, "-o", base, "-l", base + ".log", "-d", "t",
               "-v", "1", "-F", f"{factor}x", "-b", str(CHANNEL_SPACING_MHZ), "-f", "0"]
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


def measure(frequencies, density, factor):
    in_band = np.abs(frequencies) <= IN_BAND_SHARE * band_edge(factor)
    out_of_band = np.abs(frequencies) >= STOP_BAND_START[factor]
    in_band_db = 10 * np.log10(np.mean(density[in_band]))
    worst_out_db = 10 * np.log10(np.max(density[out_of_band]))
    return in_band_db, worst_out_db


def plot(spectra, path):
    figure, axes = plt.subplots(len(spectra), 1, figsize=(10, 4 * len(spectra)))
    for axis, (factor, frequencies, density, in_band_db) in zip(axes, spectra):
        output_rate_mhz = SAMPLING_RATES[CHANNEL_SPACING_MHZ] * factor / 1e6
        axis.plot(frequencies * output_rate_mhz, 10 * np.log10(density) - in_band_db,
                  linewidth=0.6)
        stop = STOP_BAND_START[factor] * output_rate_mhz
        for edge in (-output_rate_mhz / 2, stop):
            axis.axvspan(edge, edge + output_rate_mhz / 2 - stop, color="tab:red", alpha=0.08)
        axis.axhline(-REQUIRED_REJECTION_DB, color="tab:red", linestyle="--", linewidth=0.8,
                     label=f"limit -{REQUIRED_REJECTION_DB:.0f} dB beyond "
                           f"{STOP_BAND_START[factor]:.2f} of the output rate")
        axis.set_xlim(-output_rate_mhz / 2, output_rate_mhz / 2)
        axis.set_ylim(-120, 10)
        axis.set_xlabel(f"frequency (MHz), output rate {output_rate_mhz:.4f} Msps")
        axis.set_ylabel("density relative to in-band (dB)")
        axis.set_title(f"terramod -F {factor}x, {TRANSMISSION.mode} "
                       f"{TRANSMISSION.constellation}QAM, {CHANNEL_SPACING_MHZ} MHz, zero IF")
        axis.grid(True, linewidth=0.3)
        axis.legend(loc="upper right", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terramod", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    folder = os.path.join(args.out, "spectrum")
    os.makedirs(folder, exist_ok=True)
    spectra, failed = [], False
    for factor in (2, 4):
        samples = interpolated_output(args.terramod, args.source_dir, folder, factor)
        frequencies, density = power_density(samples)
        in_band_db, worst_out_db = measure(frequencies, density, factor)
        rejection = in_band_db - worst_out_db
        ok = rejection >= REQUIRED_REJECTION_DB
        failed |= not ok
        print(f"-F {factor}x: in-band density {in_band_db:7.2f} dB, highest beyond "
              f"{STOP_BAND_START[factor]:.2f} of the output rate {worst_out_db:7.2f} dB: "
              f"{rejection:5.1f} dB below (required {REQUIRED_REJECTION_DB:.0f})  "
              + ("ok" if ok else "FAIL"))
        spectra.append((factor, frequencies, density, in_band_db))
    plot(spectra, os.path.join(folder, "spectrum.png"))
    print(f"plot: {os.path.join(folder, 'spectrum.png')}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""The README's signal-quality pictures: 8k 64QAM (code rate 2/3, guard 1/4)
with the default transform, with --precise, and with --precise --window 512,
and --arithmetic fast against --precise, measured by tools/terramod-analyze.

    tools/make_quality_figures.py TERRAMOD OUT_DIR

Writes OUT_DIR/quality_shoulders.png (at 2x, where the shoulders show),
quality_constellation.png, quality_ccdf.png and quality_fast_errors.png (at
the base rate), and prints the numbers they show.
"""
import os
import subprocess
import sys
import tempfile

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

TOOLS = os.path.dirname(os.path.abspath(__file__))
SETTINGS = ["-8k", "-M", "64", "-p", "2/3", "-D", "1/4"]
TOOL_SETTINGS = ["--mode", "8k", "--constellation", "64", "--code-rate", "2/3",
                 "--guard", "1/4"]
PACKETS = 4000
# (label, terramod options)
VARIANTS = [("default", []), ("--precise", ["--precise"]),
            ("--precise --window 512", ["--precise", "--window", "512"])]
FAST = ("--arithmetic fast", ["--arithmetic", "fast"])


def transmit(terramod, stream, base, options):
    subprocess.run([terramod, "-i", stream, "-o", base, "-l", base + ".log", "-d", "t", "-v",
                    "1", "--no-sigmf", *SETTINGS, *options], check=True, capture_output=True)
    return base + ".bin"


def main(terramod, out_dir):
    sys.path.insert(0, TOOLS)
    import make_random_ts
    from terramod_tools import analyze as analyzer
    os.makedirs(out_dir, exist_ok=True)
    results = {}
    with tempfile.TemporaryDirectory() as scratch:
        stream = os.path.join(scratch, "stream.ts")
        with open(stream, "wb") as file:
            file.write(b"".join(make_random_ts.random_packets(PACKETS, 3)))
        for index, (label, options) in enumerate(VARIANTS):
            for factor in (1, 2):
                extra = ["-F", "2x"] if factor == 2 else []
                path = transmit(terramod, stream, os.path.join(scratch, f"v{index}_{factor}"),
                                options + extra)
                tool = TOOL_SETTINGS + (["--format", "2x"] if factor == 2 else [])
                results[label, factor] = analyzer.analyse(analyzer.parse_arguments([path, *tool]))
                os.remove(path)
        label, options = FAST
        path = transmit(terramod, stream, os.path.join(scratch, "fast"), options)
        results[label, 1] = analyzer.analyse(analyzer.parse_arguments([path, *TOOL_SETTINGS]))
        os.remove(path)

    figure, axis = plt.subplots(figsize=(6, 3.4))
    # The windowed one first: the other two coincide and would hide it.
    for (label, _), style in zip(reversed(VARIANTS), ("-", "-", "--")):
        summary, _, (frequencies, density), *_ = results[label, 2]
        spectrum_summary = summary["spectrum"]
        axis.plot(frequencies / 1e6, 10 * np.log10(density) - spectrum_summary["in_band_density_db"],
                  style, linewidth=0.7, label=f"{label}: shoulder {spectrum_summary['shoulder_db']:.1f} dB")
        print(f"2x {label}: shoulder {spectrum_summary['shoulder_db']:.1f} dB, MER {summary['mer_db']:.1f} dB")
    edge = results["default", 2][0]["spectrum"]["band_edge_hz"] / 1e6
    for x in (-edge - 0.3, edge + 0.3):
        axis.axvline(x, color="tab:red", linestyle=":", linewidth=0.8)
    axis.set(xlabel="MHz from the centre (2x output)", ylabel="dB", ylim=(-150, 8))
    axis.set_title("8k 64QAM spectrum; shoulders at the band edges ± 300 kHz", fontsize=9)
    axis.grid(True, linewidth=0.3)
    axis.legend(fontsize=7, loc="center left")
    figure.tight_layout()
    figure.savefig(os.path.join(out_dir, "quality_shoulders.png"), dpi=90)

    figure, axes = plt.subplots(1, 2, figsize=(6, 3.2))
    for axis, (label, _) in zip(axes, VARIANTS[:2]):
        summary, _, _, data, ideal, *_ = results[label, 1]
        points = np.asarray(data).ravel()[:40000]
        corner = (points.real > 0) & (points.imag > 0)
        axis.plot(points[corner].real, points[corner].imag, ".", markersize=0.6, alpha=0.5)
        axis.set_title(f"{label}: MER {summary['mer_db']:.1f} dB", fontsize=9)
        axis.set_aspect("equal")
        axis.tick_params(labelsize=7)
        print(f"1x {label}: MER {summary['mer_db']:.1f} dB")
    figure.suptitle("8k 64QAM data cells (one quadrant)", fontsize=9)
    figure.tight_layout()
    figure.savefig(os.path.join(out_dir, "quality_constellation.png"), dpi=90)

    figure, axis = plt.subplots(figsize=(6, 3.2))
    for label, _ in VARIANTS[:2]:
        summary, *_, relative_power = results[label, 1]
        levels = np.sort(10 * np.log10(np.maximum(relative_power, 1e-12)))
        probability = 1 - np.arange(len(levels)) / len(levels)
        papr = summary["ccdf"]["papr_db"]["1e-04"]
        axis.semilogy(levels, probability, linewidth=0.9,
                      label=f"{label}: PAPR {papr:.2f} dB at 1e-4")
        print(f"1x {label}: PAPR at 1e-4 {papr:.2f} dB")
    axis.set(xlim=(0, 13), ylim=(1e-6, 1), xlabel="instantaneous power over mean (dB)",
             ylabel="probability exceeded")
    axis.set_title("8k 64QAM CCDF", fontsize=9)
    axis.grid(True, which="both", linewidth=0.3)
    axis.legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(os.path.join(out_dir, "quality_ccdf.png"), dpi=90)

    # The points of fast and precise coincide at any visible scale: their
    # error vectors (cell - ideal point), a million times enlarged.
    figure, axes = plt.subplots(1, 2, figsize=(6, 3.5), sharex=True, sharey=True)
    for axis, label in zip(axes, (FAST[0], "--precise")):
        summary, _, _, data, ideal, *_ = results[label, 1]
        errors = (np.asarray(data).ravel() - np.asarray(ideal).ravel())[:40000] * 1e6
        axis.plot(errors.real, errors.imag, ".", markersize=0.6, alpha=0.5)
        axis.set_title(f"{label}: MER {summary['mer_db']:.1f} dB", fontsize=9)
        axis.set_aspect("equal")
        axis.set_xlabel("error x 10^6", fontsize=7)
        axis.tick_params(labelsize=7)
        print(f"1x {label}: MER {summary['mer_db']:.1f} dB")
    figure.suptitle("8k 64QAM data cells: error vectors (unit mean power)", fontsize=9)
    figure.tight_layout()
    figure.savefig(os.path.join(out_dir, "quality_fast_errors.png"), dpi=90)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])

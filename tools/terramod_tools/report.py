"""The analysis as text (printed, and in the report's corner) and as a
one-page PNG report."""
import os

import numpy as np

from .channel import channel_report
from .dvbt import CONSTELLATION_NAMES
from .measure import axis_levels


def plot_report(path, summary, spectrum, data, ideal, mer, relative_power, settings):
    """The one-page report: spectrum, summary text, constellation, MER per
    carrier and CCDF."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure = plt.figure(figsize=(15, 9.5))
    grid = figure.add_gridspec(2, 3)
    figure.suptitle(report_title(summary, settings) + f"  —  MER {summary['mer_db']:.2f} dB")
    plot_spectrum(figure.add_subplot(grid[0, :2]), spectrum, summary["spectrum"])
    axis = figure.add_subplot(grid[0, 2])
    axis.axis("off")
    axis.text(0, 1, summary_text(summary), va="top", family="monospace", fontsize=8)
    plot_constellation(figure.add_subplot(grid[1, 0]), data, ideal, settings,
                       matplotlib.colors.LogNorm())
    plot_mer_per_carrier(figure.add_subplot(grid[1, 1]), mer, summary["mer_db"])
    plot_ccdf(figure.add_subplot(grid[1, 2]), relative_power)
    figure.tight_layout()
    figure.savefig(path, dpi=80)
    plt.close(figure)


def report_title(summary, settings):
    return (f"{os.path.basename(summary['file'])}: {settings.mode} "
            f"{CONSTELLATION_NAMES[settings.constellation]}"
            f"{'' if settings.alpha == 'NH' else ' alpha ' + settings.alpha} "
            f"{settings.code_rate} guard {settings.guard}, {settings.bandwidth_mhz} MHz, "
            f"{'BB IF' if settings.bb_if else 'zero IF'}, {settings.sample_type}"
            f"{'' if settings.interpolation == 1 else f' {settings.interpolation}x'}")


def plot_spectrum(axis, spectrum, spectrum_summary):
    frequencies, density = spectrum
    axis.plot(frequencies / 1e6, 10 * np.log10(density) - spectrum_summary["in_band_density_db"],
              linewidth=0.5)
    edge = spectrum_summary["band_edge_hz"] / 1e6
    axis.axvspan(-edge, edge, color="tab:green", alpha=0.08, label="occupied band")
    for x in (-edge - 0.3, edge + 0.3):
        axis.axvline(x, color="tab:red", linestyle=":", linewidth=0.8)
    shoulder = spectrum_summary["shoulder_db"]
    axis.set_title("spectrum (Welch), relative to the in-band density; shoulder attenuation "
                   + (f"{shoulder:.1f} dB" if shoulder is not None else "n/a")
                   + " at the band edges ± 300 kHz")
    axis.set_xlabel("frequency relative to the band centre (MHz)")
    axis.set_ylabel("dB")
    axis.set_ylim(max(-140, np.min(10 * np.log10(density + 1e-300))
                      - spectrum_summary["in_band_density_db"] - 5), 10)
    axis.grid(True, linewidth=0.3)
    axis.legend(loc="upper right", fontsize=8)


def plot_constellation(axis, data, ideal, settings, norm):
    limit = 1.25 * max(1.0, float(np.max(np.abs(ideal.real))))
    axis.hist2d(data.real, data.imag, bins=300, range=[[-limit, limit], [-limit, limit]],
                cmap="viridis", cmin=1, norm=norm)
    levels = axis_levels(settings)
    grid_i, grid_q = np.meshgrid(levels, levels)
    axis.plot(grid_i.ravel(), grid_q.ravel(), "r+", markersize=5, markeredgewidth=0.6)
    axis.set_aspect("equal")
    axis.set_title(f"constellation of the data cells ({len(data)} cells)")
    axis.set_facecolor("black")


def plot_mer_per_carrier(axis, mer, mer_db):
    carriers = np.array(mer["per_carrier"]["carriers"])
    axis.plot(carriers, mer["per_carrier"]["mer_db"], ".", markersize=1.5)
    axis.axhline(mer_db, color="tab:red", linewidth=0.8, label=f"all cells {mer_db:.2f} dB")
    axis.set_xlabel("carrier")
    axis.set_ylabel("MER (dB)")
    axis.set_title("MER per data carrier")
    axis.grid(True, linewidth=0.3)
    axis.legend(loc="lower right", fontsize=8)


def plot_ccdf(axis, relative_power):
    levels_db = np.linspace(0, 14, 281)
    sorted_power = np.sort(relative_power)
    exceeding = 1 - np.searchsorted(sorted_power, 10 ** (levels_db / 10)) / len(sorted_power)
    axis.semilogy(levels_db, np.maximum(exceeding, 1e-9))
    axis.semilogy(levels_db, np.exp(-10 ** (levels_db / 10)), "--", linewidth=0.8,
                  label="complex Gaussian")
    axis.set_ylim(1e-6, 1)
    axis.set_xlabel("instantaneous power above the mean (dB)")
    axis.set_ylabel("probability of exceeding")
    axis.set_title("CCDF")
    axis.grid(True, which="both", linewidth=0.3)
    axis.legend(fontsize=8)


def summary_text(summary):
    def number(value, unit):
        return "n/a" if value is None else f"{value:.2f} {unit}"
    lines = [f"MER            {summary['mer_db']:.2f} dB",
             f"EVM            {summary['evm_rms_percent']:.4f} %",
             f"worst carrier  {summary['worst_carrier']} "
             f"({summary['worst_carrier_mer_db']:.2f} dB)",
             f"symbols        {summary['symbols_analysed']} (equalizer "
             f"{summary['equalizer']})",
             f"pilot level    {number(summary['pilot_gain_db'], 'dB')}, "
             f"{summary['pilot_phase_deg']:.2f} deg",
             f"shoulder       {number(summary['spectrum']['shoulder_db'], 'dB')}"]
    for key, value in summary["ccdf"]["papr_db"].items():
        lines.append(f"PAPR at {key}  {number(value, 'dB')}")
    clipping = summary.get("clipping")
    if clipping:
        lines.append(f"clipped        {clipping['clipped_samples']} samples "
                     f"({100 * clipping['clipped_fraction']:.4f} %) at full scale "
                     f"{clipping['full_scale'][1]}")
    tps = summary["tps"]
    lines.append("")
    lines.append(f"TPS: {tps['frames_valid']} of {tps['frames_decoded']} frames valid")
    for name, value in tps.get("signalled", {}).items():
        if name == "cell_id":
            value = f"{value} (0x{value:04X})"
        lines.append(f"  {name:17s}{value}")
    if tps["checked"]:
        lines.append("  matches the settings" if tps["match"] else "  MISMATCH:")
        for mismatch in tps.get("mismatches", [])[:8]:
            lines.append("   " + mismatch[:60])
    else:
        lines.append("  " + tps["note"])
    if "channel" in summary:
        lines.extend(channel_report(summary["channel"]["asked"], summary["channel"]["measured"]))
    return "\n".join(lines)



def print_summary(summary):
    print(f"{summary['file']}: {summary['symbols_analysed']} OFDM symbols analysed")
    text = summary_text(summary)
    print("\n".join("  " + line for line in text.splitlines()))

"""terramod-analyze: signal quality of a file of DVB-T samples that terramod
wrote: spectrum and shoulder attenuation, constellation and modulation error
ratio (MER), CCDF of the instantaneous power, and the TPS decoded from the
signal checked against the settings.

    terramod-analyze FILE [--json SUMMARY.json] [--png REPORT.png] [settings options]

FILE is a sample file (cf32, cs16 or cs8), its SigMF metadata (.sigmf-meta),
or for the Agilent format the base name or either file of the _I.bin/_Q.bin
pair. The settings come from the SigMF metadata beside the file
(<base>.sigmf-meta); options given on the command line override them, and
without metadata they are the only source (defaults: terramod's).

Exit status: 0 analysis complete; 1 fatal error (unreadable input, invalid
settings, signal too short); 2 the JSON summary or the PNG report could not
be written; 3 analysis complete but the TPS decoded from the signal do not
match the settings (or carry no valid word).
"""
import argparse
import json
import math
import os
import sys
from dataclasses import asdict

import numpy as np

from . import dvbt
from .channel import (CLOCK_END_MARGIN, CLOCK_PROBE_SYMBOLS, asked_channel, clock_offset_ppm,
                      cyclic_prefix_offset, derotate, echo_paths, pilot_phase_slope,
                      resample_to_nominal_clock)
from .measure import measure_ccdf, measure_mer, measure_spectrum, power_spectrum
from .ofdm import (demodulate, ofdm_layout, pilot_channel, pilot_channel_per_symbol,
                   pilot_gain)
from .report import plot_report, print_summary
from .samples import locate_input, read_samples, to_base_rate_zero_if
from .settings import (FORMAT_TYPES, AnalysisError, Settings, apply_options,
                       read_sigmf_settings)
from .tps import decode_tps, tps_report

EXIT_OK, EXIT_FATAL, EXIT_FILE, EXIT_TPS_MISMATCH = 0, 1, 2, 3
DEFAULT_MAX_FRAMES = 8


def cell_id_option(text):
    """--cell-id: a whole number from 0 to 65535, decimal or 0x hexadecimal."""
    try:
        value = int(text, 0)
    except ValueError:
        value = -1
    if not 0 <= value <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"{text!r}: a whole number from 0 to 65535 expected")
    return value


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="terramod-analyze", description=__doc__.split("\n\n")[0],
        epilog="Exit status: 0 done, 1 fatal error, 2 a report file could not be written, "
               "3 the signalled TPS do not match the settings.")
    parser.add_argument("file", help="sample file, its .sigmf-meta, or an Agilent pair "
                                     "(base name or either word file)")
    parser.add_argument("--json", metavar="SUMMARY.json", help="write the summary as JSON")
    parser.add_argument("--png", metavar="REPORT.png", help="write the one-page report")
    parser.add_argument("--format", choices=list(FORMAT_TYPES),
                        help="sample format when there is no SigMF metadata (default float)")
    parser.add_argument("--bb-if", action="store_true",
                        help="the spectrum is centred on half the base rate (-f BBIF)")
    parser.add_argument("--mode", choices=list(dvbt.MODES))
    parser.add_argument("--constellation", type=int, choices=list(dvbt.CONSTELLATION_NAMES))
    parser.add_argument("--alpha", choices=list(dvbt.HIERARCHIES))
    parser.add_argument("--code-rate", choices=list(dvbt.CODE_RATES))
    parser.add_argument("--lp-code-rate", choices=list(dvbt.CODE_RATES),
                        help="hierarchical transmission: the LP code rate the TPS must signal")
    parser.add_argument("--guard", choices=list(dvbt.GUARDS))
    parser.add_argument("--cell-id", type=cell_id_option, metavar="N",
                        help="the cell identifier (0 to 65535, or 0x hex) the TPS must carry")
    parser.add_argument("--bandwidth", type=int, choices=sorted(dvbt.SAMPLING_RATES),
                        help="channel spacing in MHz (default 8)")
    parser.add_argument("--scale", type=float,
                        help="cs16/cs8: the factor k of value = rint(sample * k)")
    parser.add_argument("--equalizer", choices=["none", "pilots"],
                        help="none: cells as received; pilots: per-carrier channel from the "
                             "pilots (default: pilots for 2x/4x outputs, none otherwise)")
    parser.add_argument("--max-frames", type=int, default=DEFAULT_MAX_FRAMES, metavar="N",
                        help=f"frames demodulated from the start (default "
                             f"{DEFAULT_MAX_FRAMES}; 0 for all)")
    return parser.parse_args(argv)


def load_settings(args):
    """The input's metadata and data path, and the settings: SigMF metadata,
    then the command line."""
    meta, meta_path, data_path, agilent = locate_input(args.file)
    settings = Settings()
    if meta is not None:
        read_sigmf_settings(meta, settings)
    if agilent:
        settings.sample_type = "agi"
    apply_options(args, settings)
    settings.channel = asked_channel(meta)
    if settings.recorded_rate and abs(settings.recorded_rate - settings.output_rate) > 1:
        print(f"terramod-analyze: warning: the metadata's core:sample_rate "
              f"{settings.recorded_rate} differs from the {settings.output_rate:.1f} of the "
              "settings, which are used", file=sys.stderr)
    return meta_path, data_path, settings


def checked_samples(data_path, settings):
    """The samples and their clip count; samples that cannot be a signal
    (not finite, all zero) are a fatal error."""
    samples, clipping = read_samples(data_path, settings)
    non_finite = np.count_nonzero(~np.isfinite(samples))
    if non_finite:
        raise AnalysisError(f"{data_path}: {non_finite} samples are not finite numbers")
    if not np.any(samples):
        raise AnalysisError(f"{data_path}: every sample is zero")
    return samples, clipping


def follow_the_clock(base, layout, settings, max_symbols, channel):
    """A simulated sampling clock offset: measured over the whole file, then
    the samples to be demodulated (`max_symbols`, None for all) resampled
    back to the nominal clock. The samples and the file's length on the
    nominal clock."""
    length = settings.symbol_length
    if len(base) < (CLOCK_PROBE_SYMBOLS + CLOCK_END_MARGIN + 1) * length:
        return base, len(base)
    ppm, scale = clock_offset_ppm(base, layout, settings)
    channel["clock_offset_ppm"] = float(ppm)
    nominal = int(len(base) / scale)
    count = nominal if max_symbols is None else min(nominal, (max_symbols + 1) * length)
    return resample_to_nominal_clock(base, scale, count), nominal


def analyse(args):
    meta_path, data_path, settings = load_settings(args)
    samples, clipping = checked_samples(data_path, settings)
    base = to_base_rate_zero_if(samples, settings)
    layout = ofdm_layout(settings)
    max_frames_symbols = (args.max_frames * dvbt.SYMBOLS_PER_FRAME if args.max_frames > 0
                          else None)
    channel = {}
    nominal_length = len(base)
    if "clock_offset_ppm" in settings.channel:
        base, nominal_length = follow_the_clock(base, layout, settings, max_frames_symbols,
                                                channel)
    available = nominal_length // settings.symbol_length
    if settings.interpolation > 1:
        available -= 1  # the filters' tail at the end of the file
    if available < 1:
        raise AnalysisError(f"{args.file}: {len(base)} base-rate samples, less than one "
                            f"OFDM symbol ({settings.symbol_length})")
    max_symbols = max_frames_symbols if max_frames_symbols is not None else available
    # The interpolation and decimation filters spread each symbol by their
    # half length on either side: the FFT window then starts in the middle of
    # the guard interval.
    advance = settings.guard_length // 2 if settings.interpolation > 1 else 0
    symbols = min(available, max_symbols, len(base) // settings.symbol_length)
    if settings.channel:
        # A simulated channel: its frequency offset measured and taken off
        # before the cells are judged, which are equalised from the pilots.
        coarse = cyclic_prefix_offset(base, settings, symbols)
        fine = pilot_phase_slope(demodulate(derotate(base, coarse, settings.base_rate), settings,
                                            symbols, advance), layout, settings)
        channel["frequency_offset_hz"] = float(coarse + fine)
        base = derotate(base, channel["frequency_offset_hz"], settings.base_rate)
    cells = demodulate(base, settings, symbols, advance)
    equalizer = args.equalizer or (
        "pilots" if settings.interpolation > 1 or settings.channel else "none")
    if settings.channel:
        channel["echo_paths"] = echo_paths(cells, layout, settings)
    gain = pilot_gain(cells, layout)
    if equalizer == "pilots":
        # A fading channel (a simulated Doppler) is followed symbol by symbol.
        fading = settings.channel.get("doppler_hz", 0) > 0
        cells = cells / (pilot_channel_per_symbol(cells, layout) if fading
                         else pilot_channel(cells, layout))
    mer, data, ideal = measure_mer(cells, layout, settings)
    centre = settings.base_rate / 2 if settings.bb_if else 0.0
    spectrum = power_spectrum(samples, settings.output_rate, centre)
    ccdf, relative_power = measure_ccdf(samples)
    tps = tps_report(decode_tps(cells, layout), settings)
    summary = {
        "file": os.path.abspath(data_path), "metadata": meta_path,
        "settings": asdict(settings),
        "sample_rate_hz": settings.output_rate, "samples": int(len(samples)),
        "symbols_in_file": int(available), "symbols_analysed": int(len(cells)),
        "equalizer": equalizer,
        "pilot_gain_db": 20 * math.log10(abs(gain)) if gain else None,
        "pilot_phase_deg": math.degrees(np.angle(gain)),
        "mer_db": mer["mer_db"], "evm_rms_percent": mer["evm_rms_percent"],
        "data_cells": mer["data_cells"], "worst_carrier": mer["worst_carrier"],
        "worst_carrier_mer_db": mer["worst_carrier_mer_db"],
        "spectrum": measure_spectrum(*spectrum, settings),
        "ccdf": ccdf, "clipping": clipping, "tps": tps,
        "mer_per_carrier": mer["per_carrier"],
    }
    if settings.channel:
        channel["mer_db"] = mer["mer_db"]
        summary["channel"] = {"asked": settings.channel, "measured": channel}
    return summary, settings, spectrum, data, ideal, mer, relative_power


def main(argv):
    args = parse_arguments(argv)
    try:
        summary, settings, spectrum, data, ideal, mer, relative_power = analyse(args)
    except AnalysisError as error:
        print(f"terramod-analyze: {error}", file=sys.stderr)
        return EXIT_FATAL
    print_summary(summary)
    status = EXIT_OK
    if args.json:
        try:
            with open(args.json, "w", encoding="utf-8") as stream:
                json.dump(summary, stream, indent=1)
                stream.write("\n")
        except OSError as error:
            print(f"terramod-analyze: cannot write {args.json}: {error}", file=sys.stderr)
            status = EXIT_FILE
    if args.png:
        try:
            plot_report(args.png, summary, spectrum, data, ideal, mer, relative_power, settings)
        except OSError as error:
            print(f"terramod-analyze: cannot write {args.png}: {error}", file=sys.stderr)
            status = EXIT_FILE
    tps = summary["tps"]
    if status == EXIT_OK and tps["checked"] and not tps["match"]:
        print("terramod-analyze: TPS MISMATCH: " + "; ".join(tps["mismatches"]),
              file=sys.stderr)
        status = EXIT_TPS_MISMATCH
    return status



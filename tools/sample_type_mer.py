#!/usr/bin/python3
"""MER of terramod's integer sample types against its float output of the
same settings, for a few backoffs.

    sample_type_mer.py [--terramod build/terramod] [--packets 3000]
                       [--backoff 9 12 15] [--out DIR]

For each setting the float output (cf32) is written once, then cs16 and cs8
at each backoff. The integers are divided by the scale k of their SigMF
metadata (dvbt:scale) and compared sample by sample with the float output:

    MER = 10 log10(sum |float|^2 / sum |int / k - float|^2)

which takes in rounding and clipping alike. Rounding alone (error uniform
over one step, a variance of 1/12 per component) gives 10 log10(6 k^2 P), P
the mean power of the float samples: the "rounding" column. Clipped samples
are counted twice: independently here (samples with a component whose
float x k, rounded, is beyond full scale) and from terramod's own "Clipped
samples" line; the two must agree. With --check, where nothing clipped the
MER must also lie within 0.3 dB of rounding alone, and below it where
samples clipped. Exit status 1 when a check fails or a run fails.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_random_ts  # noqa: E402
from terramod_tools.formats import SAMPLE_TYPES  # noqa: E402

# Name, terramod options.
SETTINGS = (
    ("8k 64QAM 7/8 g1/4", ["-8k", "-M", "64", "-p", "7/8", "-D", "1/4"]),
    ("2k QPSK 1/2 g1/32", ["-2k", "-M", "4", "-p", "1/2", "-D", "1/32"]),
)
# numpy type of one component, and the full scale it saturates at.
INTEGER_TYPES = {name: (sample_type.component, sample_type.full_scale)
                 for name, sample_type in SAMPLE_TYPES.items() if sample_type.full_scale}
CLIP_LINE = re.compile(r"Clipped samples: (\d+) of (\d+)")
ROUNDING_TOLERANCE_DB = 0.3


def run_terramod(terramod, input_path, base, options):
    command = [terramod, "-i", input_path, "-o", base, "-l", base + ".log", "-d", "t",
               "-v", "2"] + options
    completed = subprocess.run(command, capture_output=True, text=True)
    if completed.returncode != 0:
        sys.exit(f"{' '.join(command)} exited with {completed.returncode}:\n"
                 f"{completed.stdout}{completed.stderr}")
    return completed.stdout + completed.stderr


def measure(floats, integers, scale, full_scale):
    """MER in dB, the MER of rounding alone, and the clipped samples counted
    from the float output."""
    received = (integers[0::2] + 1j * integers[1::2]) / scale
    reference = floats[0::2] + 1j * floats[1::2]
    error_power = np.sum(np.abs(received - reference) ** 2)
    mer_db = 10 * np.log10(np.sum(np.abs(reference) ** 2) / error_power)
    rounding_db = 10 * np.log10(6 * scale ** 2 * np.mean(np.abs(reference) ** 2))
    beyond = np.abs(np.rint(floats * scale)) > full_scale
    clipped = int(np.count_nonzero(beyond[0::2] | beyond[1::2]))
    return mer_db, rounding_db, clipped


def measure_setting(terramod, folder, name, options, backoffs):
    input_path = os.path.join(folder, "in.ts")
    float_base = os.path.join(folder, "float")
    run_terramod(terramod, input_path, float_base, options)
    floats = np.fromfile(float_base + ".bin", "<f4").astype(np.float64)
    rows = []
    for sample_type, (dtype, full_scale) in INTEGER_TYPES.items():
        for backoff in backoffs:
            base = os.path.join(folder, f"{sample_type}_{backoff:g}")
            console = run_terramod(terramod, input_path, base, options + [
                "--sample-type", sample_type, "--backoff", f"{backoff:g}"])
            with open(base + ".sigmf-meta", encoding="utf-8") as stream:
                scale = float(json.load(stream)["global"]["dvbt:scale"])
            integers = np.fromfile(base + ".bin", dtype).astype(np.float64)
            if len(integers) != len(floats):
                sys.exit(f"{base}.bin: {len(integers)} components, float output {len(floats)}")
            mer_db, rounding_db, clipped = measure(floats, integers, scale, full_scale)
            reported = CLIP_LINE.search(console)
            rows.append((name, sample_type, backoff, scale, mer_db, rounding_db, clipped,
                         int(reported.group(1)) if reported else None, len(floats) // 2))
            os.remove(base + ".bin")
    os.remove(float_base + ".bin")
    return rows


def print_table(rows):
    print(f"{'setting':18s} {'type':5s} {'backoff':>7s} {'scale k':>10s} {'MER dB':>7s} "
          f"{'rounding':>8s} {'clipped':>8s} {'terramod':>8s} {'share':>9s}")
    for name, sample_type, backoff, scale, mer_db, rounding_db, clipped, reported, samples \
            in rows:
        print(f"{name:18s} {sample_type:5s} {backoff:7g} {scale:10.4f} {mer_db:7.2f} "
              f"{rounding_db:8.2f} {clipped:8d} {str(reported):>8s} "
              f"{100 * clipped / samples:8.4f}%")


def faults(rows, check):
    """What disagrees: the clip counts always, the MER with check."""
    found = []
    for name, sample_type, backoff, _, mer_db, rounding_db, clipped, reported, _ in rows:
        where = f"{name} {sample_type} {backoff:g} dB"
        if clipped != reported:
            found.append(f"{where}: {clipped} samples clip, terramod reports {reported}")
        if not check:
            continue
        if clipped == 0 and abs(mer_db - rounding_db) > ROUNDING_TOLERANCE_DB:
            found.append(f"{where}: MER {mer_db:.2f} dB, rounding alone {rounding_db:.2f} dB")
        if clipped > 0 and mer_db >= rounding_db:
            found.append(f"{where}: {clipped} samples clip, yet MER {mer_db:.2f} dB is not "
                         f"below rounding alone ({rounding_db:.2f} dB)")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--terramod", default="build/terramod")
    parser.add_argument("--packets", type=int, default=3000,
                        help="random transport stream packets per setting")
    parser.add_argument("--backoff", type=float, nargs="+", default=[9, 12, 15])
    parser.add_argument("--out", help="working folder (default: a temporary one)")
    parser.add_argument("--check", action="store_true",
                        help="also check the MER against rounding alone")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = args.out or scratch
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "in.ts"), "wb") as stream:
            stream.write(b"".join(make_random_ts.random_packets(args.packets, 1)))
        rows = []
        for name, options in SETTINGS:
            rows += measure_setting(args.terramod, folder, name, options, args.backoff)
    print_table(rows)
    found = faults(rows, args.check)
    for fault in found:
        print(f"FAIL: {fault}", file=sys.stderr)
    sys.exit(1 if found else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""terramod's OFDM cells compared with those of GNU Radio's independent
DVB-T transmitter (gr-dtv) fed the same transport stream: every data cell,
pilot and TPS cell of every symbol must agree.

    cell_agreement.py --terramod PATH --source-dir DIR --out DIR

The receiver test (run_interop.py) shows that the signal decodes; this one
also covers what the receiver does not look at: the TPS fields beyond the
sync word and parity (length indicator, frame number, constellation,
hierarchy, code rates, guard interval, mode), the pilot values and the exact
carrier of every cell. terramod runs with -c 0, as gr-dtv's outer
interleaver starts from zeros, and writes its frame builder output (-d f).
"""
import argparse
import os
import shutil
import subprocess
import sys

import numpy as np

from dvbt_params import SYMBOLS_PER_FRAME, Transmission
import gr_dvbt_tx
import run_interop

# Five frames: all four frame numbers of the superframe and the start of the
# next, so every TPS word of a superframe is compared.
FRAMES = 5
# Cells have unit mean power; both sides are floats, gr-dtv's after an
# inverse and a forward FFT.
TOLERANCE = 1e-3
SHOWN_DIFFERENCES = 5

CASES = [
    Transmission("2k", 4, "NH", "1/2", "1/32"),
    Transmission("2k", 4, "NH", "5/6", "1/4"),
    Transmission("2k", 16, "NH", "3/4", "1/8"),
    Transmission("2k", 16, "2", "2/3", "1/16"),
    Transmission("2k", 64, "1", "7/8", "1/4"),
    Transmission("2k", 64, "NH", "1/2", "1/16"),
    Transmission("8k", 4, "NH", "2/3", "1/8"),
    Transmission("8k", 16, "4", "5/6", "1/32"),
    Transmission("8k", 64, "NH", "7/8", "1/4"),
    Transmission("8k", 64, "2", "3/4", "1/16"),
]


def terramod_cells(terramod, tx, input_path, base):
    command = [terramod, "-i", input_path, "-o", base, "-l", base + ".log", "-d", "f",
               "-v", "1", "-c", "0"] + tx.terramod_options()
    subprocess.run(command, check=True, capture_output=True)
    cells = np.fromfile(base + "_fd.bin", dtype="<f4").view(np.complex64)
    return cells.reshape(-1, tx.ofdm.carrier_count), " ".join(command[1:])


def differences(ours, theirs):
    """Cells that differ once gr-dtv's scale (fitted on the first symbol) is
    taken out; returns the scaled gr-dtv cells and the (symbol, carrier)
    pairs that differ."""
    scale = np.vdot(theirs[0], ours[0]) / np.vdot(theirs[0], theirs[0])
    theirs = theirs * scale
    return theirs, np.argwhere(np.abs(ours - theirs) > TOLERANCE)


def describe(symbol, carrier, ours, theirs):
    frame, in_frame = divmod(int(symbol), SYMBOLS_PER_FRAME)
    return (f"symbol {in_frame} of frame {frame}, carrier {carrier}: terramod "
            f"{complex(ours):.4f}, gr-dtv {complex(theirs):.4f}")


def run_case(tx, terramod, source_dir, out_dir, seed):
    folder = os.path.join(out_dir, tx.label())
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    # gr-dtv keeps the last few symbols' worth of a stream in its blocks.
    packet_count = int((FRAMES + 1) * tx.packets_per_frame) + 1
    input_path = os.path.join(folder, "input.ts")
    with open(input_path, "wb") as stream:
        stream.write(run_interop.random_stream(packet_count, seed, source_dir))
    ours, command = terramod_cells(terramod, tx, input_path, os.path.join(folder, "tx"))
    theirs = gr_dvbt_tx.carrier_cells(tx, input_path, os.path.join(folder, "gr_symbols.cf32"))
    for scratch in ("tx_fd.bin", "gr_symbols.cf32"):
        os.remove(os.path.join(folder, scratch))
    count = min(len(ours), len(theirs))
    theirs, differing = differences(ours[:count], theirs[:count])
    short = count < FRAMES * SYMBOLS_PER_FRAME
    ok = len(differing) == 0 and not short
    print(f"{tx.label():32s} symbols compared {count:5d}  cells {count * tx.ofdm.carrier_count:9d}"
          f"  differing {len(differing):7d}  " + ("ok" if ok else "FAIL"))
    print(f"    terramod {command}")
    for symbol, carrier in differing[:SHOWN_DIFFERENCES]:
        print("    " + describe(symbol, carrier, ours[symbol, carrier], theirs[symbol, carrier]))
    if short:
        print(f"    FAIL: only {count} symbols to compare, {FRAMES} frames wanted")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    run_interop.add_build_arguments(parser)
    args = parser.parse_args()
    out_dir = os.path.join(args.out, "cell_agreement")
    passed = sum(run_case(tx, args.terramod, args.source_dir, out_dir, seed)
                 for seed, tx in enumerate(CASES, start=1))
    print(f"cell_agreement: {passed} of {len(CASES)} cases passed")
    sys.exit(0 if passed == len(CASES) else 1)


if __name__ == "__main__":
    main()

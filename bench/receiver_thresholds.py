#!/usr/bin/python3
"""Receiver thresholds: GNU Radio's DVB-T receiver (gr-dtv, the one the
interop tests use) decoding terramod's output as the C/N falls in steps, next
to the required C/N of EN 300 744 Annex A (table A.1).

For each setting and C/N, terramod transmits the same random transport stream
through its channel simulator (--cn, and --echo-profile for the P1 rows) with
the same seed; the receiver decodes it with the symbol timing given, and two
error rates are counted:

- the bit error rate after the Viterbi decoder, against terramod's own dump
  of the convolutional encoder's input (-d c): Annex A's criterion is
  2e-4 there, which the Reed-Solomon decoder then makes quasi-error-free;
- the transport packets that come out wrong or not at all after the
  Reed-Solomon decoder.

The threshold is where the Viterbi BER crosses 2e-4 (interpolated in log BER
between the two steps around it) and the lowest C/N of the sweep above which
every packet arrives intact. gr-dtv decides each cell hard before its Viterbi
decoder; Annex A assumes soft decisions and perfect channel knowledge, so
some dB more are expected.

    bench/receiver_thresholds.py [build/terramod] [--seconds 2] [--step 0.5]
                                 [--only NAME] [--markdown]
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass

import numpy as np

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "interop"))

from dvbt_params import PACKET_SIZE, Transmission  # noqa: E402
import dvbt_rx  # noqa: E402
from gnuradio import blocks, gr  # noqa: E402

ANNEX_A_BER = 2e-4
# Bytes of the Viterbi output matched against the dump to find where the
# receiver started (it starts at a symbol of its choosing).
ALIGNMENT_BYTES = 4096
# The receiver starts within its first frames: where to look for its start.
SEARCH_BYTES = 300000


@dataclass
class Setting:
    name: str
    tx: Transmission
    annex_a_db: float  # EN 300 744 table A.1, this channel
    channel: list  # terramod options besides --cn
    cn_from: float
    cn_to: float


SETTINGS = [
    Setting("QPSK 1/2, Gaussian", Transmission("2k", 4, "NH", "1/2", "1/32"), 3.1, [], 9, 2),
    Setting("16QAM 2/3, Gaussian", Transmission("2k", 16, "NH", "2/3", "1/32"), 11.1, [], 17,
            10),
    Setting("64QAM 3/4, Gaussian", Transmission("2k", 64, "NH", "3/4", "1/32"), 18.0, [], 25,
            17),
    Setting("QPSK 1/2, Rayleigh P1", Transmission("2k", 4, "NH", "1/2", "1/32"), 5.4,
            ["--echo-profile", "P1"], 30, 8),
]


def transmit(terramod, setting, stream, cn_db, seed, base):
    command = [terramod, "-i", stream, "-o", base, "-l", base + ".log", "-d", "tc",
               "--seed", str(seed), *setting.tx.terramod_options(), *setting.channel]
    if cn_db is not None:
        command += ["--cn", f"{cn_db:g}"]
    subprocess.run(command, check=True, capture_output=True)


def receive(tx, samples, folder):
    """The receiver's bytes after its Viterbi decoder, and the packets after
    its Reed-Solomon decoder and energy descrambler."""
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        samples_path = os.path.join(scratch, "samples.cf32")
        cells_path = os.path.join(scratch, "cells.u8")
        viterbi_path = os.path.join(scratch, "viterbi.u8")
        packets_path = os.path.join(scratch, "decoded.ts")
        silence = np.zeros(dvbt_rx.TRAILING_SILENCE_SYMBOLS * tx.symbol_length, np.complex64)
        np.concatenate([samples, silence]).tofile(samples_path)
        dvbt_rx.run_chain(dvbt_rx.demodulator(tx, samples_path, cells_path, known_timing=True))
        with open(cells_path, "ab") as stream:
            stream.write(bytes(dvbt_rx.flush_cell_count(tx)))
        dvbt_rx.run_chain([blocks.file_source(gr.sizeof_char, cells_path, False),
                           dvbt_rx.decoding(tx)[0],
                           blocks.file_sink(gr.sizeof_char, viterbi_path, False)])
        dvbt_rx.run_chain(dvbt_rx.decoder(tx, cells_path, packets_path))
        viterbi = np.fromfile(viterbi_path, np.uint8)
        with open(packets_path, "rb") as stream:
            decoded = stream.read()
    return viterbi, decoded


def bit_errors(viterbi, sent):
    """Bit errors of the receiver's Viterbi output against the sent bytes,
    from where its first bytes agree best with them; None when they agree
    nowhere (no lock)."""
    window = viterbi[:ALIGNMENT_BYTES]
    if len(window) < ALIGNMENT_BYTES:
        return None
    best_start, best_score = None, 0.5 * ALIGNMENT_BYTES
    for start in range(0, min(len(sent) - ALIGNMENT_BYTES, SEARCH_BYTES)):
        score = np.count_nonzero(sent[start:start + ALIGNMENT_BYTES] == window)
        if score > best_score:
            best_start, best_score = start, score
    if best_start is None:
        return None
    length = min(len(viterbi), len(sent) - best_start)
    difference = np.bitwise_xor(viterbi[:length], sent[best_start:best_start + length])
    return int(np.unpackbits(difference).sum()), 8 * length


def intact_packets(decoded, sent_packets):
    """How many packets of the sent stream the receiver delivered intact."""
    sent = set(sent_packets)
    return len({decoded[i:i + PACKET_SIZE]
                for i in range(0, len(decoded) - PACKET_SIZE + 1, PACKET_SIZE)} & sent)


def sweep(terramod, setting, seconds, step, folder):
    tx = setting.tx
    rate = packets_per_second(tx)
    packet_count = int(seconds * rate)
    stream = os.path.join(folder, "in.ts")
    subprocess.run([sys.executable, os.path.join(SOURCE_DIR, "tools", "make_random_ts.py"),
                    stream, str(packet_count), "--seed", "25"], check=True, capture_output=True)
    with open(stream, "rb") as source:
        data = source.read()
    sent_packets = [data[i:i + PACKET_SIZE] for i in range(0, len(data), PACKET_SIZE)]
    base = os.path.join(folder, "out")
    rows = []
    baseline = None  # the packets a clean signal delivers
    for cn in [None] + list(np.arange(setting.cn_from, setting.cn_to - 1e-9, -step)):
        transmit(terramod, setting, stream, cn, 1, base)
        samples = np.fromfile(base + ".bin", np.complex64)
        # -d c: the outer interleaver's output, the Viterbi decoder's goal.
        sent = np.fromfile(base + "_ci.bin", np.uint8)
        viterbi, decoded = receive(tx, samples, folder)
        errors = bit_errors(viterbi, sent)
        intact = intact_packets(decoded, sent_packets)
        if cn is None:
            baseline = intact
            print(f"  {setting.name}: clean signal, {intact} of {packet_count} packets "
                  f"delivered", flush=True)
            continue
        lost = max(0, baseline - intact)
        ber = None if errors is None else errors[0] / errors[1]
        rows.append((float(cn), ber, lost, baseline))
        print(f"  {setting.name}: C/N {cn:5.1f} dB  BER after Viterbi "
              f"{'no lock' if ber is None else f'{ber:.2e}'}  packets lost {lost}/{baseline}",
              flush=True)
        if (ber is None or ber > 0.02) and lost >= baseline:
            break
    return rows


def packets_per_second(tx):
    useful_bits = (tx.ofdm.data_carrier_count * {4: 2, 16: 4, 64: 6}[tx.constellation]
                   * float(eval(tx.code_rate)) * 188 / 204)
    symbol_seconds = tx.symbol_length / (64e6 / 7)
    return useful_bits / symbol_seconds / (8 * PACKET_SIZE)


def ber_threshold(rows):
    """Where the BER after Viterbi crosses 2e-4, interpolated in log BER."""
    for (cn_hi, ber_hi, _, _), (cn_lo, ber_lo, _, _) in zip(rows, rows[1:]):
        if ber_hi is None or ber_lo is None:
            continue
        if ber_hi <= ANNEX_A_BER < ber_lo:
            low = math.log10(max(ber_hi, 1e-9))
            high = math.log10(ber_lo)
            return cn_hi - (cn_hi - cn_lo) * (math.log10(ANNEX_A_BER) - low) / (high - low)
    return None


def qef_threshold(rows):
    """The lowest C/N above which (and at which) no packet was lost."""
    lowest = None
    for cn, _, lost, _ in rows:
        if lost:
            break
        lowest = cn
    return lowest


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("terramod", nargs="?", default=os.path.join(SOURCE_DIR, "build",
                                                                  "terramod"))
    parser.add_argument("--seconds", type=float, default=2.0, help="signal per step")
    parser.add_argument("--step", type=float, default=0.5, help="C/N step, dB")
    parser.add_argument("--only", help="settings whose name contains this")
    args = parser.parse_args(argv)
    table = []
    for setting in SETTINGS:
        if args.only and args.only not in setting.name:
            continue
        with tempfile.TemporaryDirectory() as folder:
            rows = sweep(args.terramod, setting, args.seconds, args.step, folder)
        table.append((setting, ber_threshold(rows), qef_threshold(rows)))
    print()
    print("| setting | Annex A C/N | gr-dtv C/N at BER 2e-4 | difference | "
          "gr-dtv lowest C/N with no packet lost |")
    print("|---|---|---|---|---|")
    for setting, ber_db, qef_db in table:
        ber_text = "—" if ber_db is None else f"{ber_db:.1f} dB"
        difference = "—" if ber_db is None else f"{ber_db - setting.annex_a_db:+.1f} dB"
        qef_text = "—" if qef_db is None else f"{qef_db:.1f} dB"
        print(f"| {setting.name} | {setting.annex_a_db:.1f} dB | {ber_text} | {difference} | "
              f"{qef_text} |")


if __name__ == "__main__":
    main(sys.argv[1:])

#!/usr/bin/python3
"""End-to-end interoperability cases: a transport stream goes through
terramod, GNU Radio's gr-dtv receiver decodes terramod's output, and the
decoded stream is compared with the one that went in.

    run_interop.py GROUP --terramod PATH [--sfnadapt PATH] --source-dir DIR --out DIR

GROUP is one of the case groups below (CTest runs each as a test of its own).
For each case the report gives the packets sent (input plus the empty
packets that pad the last cycle), the packets that can have left the
transmitter (the outer interleaver keeps the last bytes of the run), the
packets lost at the start while the receiver acquires, and how many of the
rest came back identical. A case passes when the start-up loss is within
its bound and every packet from the first one delivered up to the last that
left the transmitter is identical, none missing.

The sfn group first runs the stream through sfnadapt (--sfnadapt, which the
other groups do not need) and then terramod --sfn, which starts at the
mega-frame the first MIP points to: the stream compared is sfnadapt's output
from that mega-frame on, MIPs and all.
"""
import argparse
import json
import math
import os
import shlex
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, replace
from fractions import Fraction

import numpy as np

from dvbt_params import (BITS_PER_CELL, PACKET_SIZE, RS_PACKET_SIZE, SYMBOLS_PER_FRAME,
                         Transmission)
import dvbt_rx
import signal_formats

SYNC_BYTE = 0x47
# Bytes of the run that the outer interleaver still holds at the end: branch
# 11 delays by 11 x 17 x 12 bytes (EN 300 744 clause 4.3.2).
OUTER_INTERLEAVER_TAIL = 11 * 17 * 12
# Input length: enough frames for the receiver to acquire (it starts
# delivering 3 to 4 frames in) and then deliver a whole superframe, every
# frame of it with its own TPS, and the start of the next.
INPUT_FRAMES = 8
INPUT_EXTRA_PACKETS = 250
# Start-up loss bound, asserted for every case: the receiver delivers from the
# first 8-packet energy-dispersal group that begins in the fourth or fifth
# frame of the run (measured over the whole matrix), so it may lose at most
# four frames plus one group.
START_LOSS_FRAMES = 4
START_LOSS_EXTRA_PACKETS = 8
# Packets compared to place the receiver's first packet in the input.
ALIGNMENT_WINDOW = 64
# The receiver finds the signal even when it sits a few carriers off its
# place, so the carrier placement is checked on the samples themselves: over
# a few symbols from the middle of the run (away from the zero fill of -c 0
# and the filters' start), every active carrier must carry power and every
# other FFT bin stay well below it. The margin allows for the transform's own
# error (in 8k about 35 dB below the signal, from its twiddle recurrence).
PLACEMENT_SYMBOLS = 4
PLACEMENT_MARGIN_DB = 20.0
# terramod-analyze runs on the samples each case hands the receiver (at most
# the first ANALYSED_FRAMES frames of them), writes analysis.json into the
# case's folder, and its MER must reach ANALYZER_MIN_MER_DB (the default 8k
# transform gives about 35 dB) with the TPS matching the settings. On gr-dtv's
# transmitter, whose level differs, the tool equalises from the pilots, and the
# peer's exact signal must measure near the float limit: a check of the tool.
ANALYSED_FRAMES = 16
ANALYZER_MIN_MER_DB = {"terramod": 25.0, "gr-dtv": 100.0}
# The sfn group: sfnadapt's settings besides the DVB-T ones (a fixed 1 PPS
# pulse, which terramod --sfn is given too, a time offset and a cell id for
# transmitter 1), and its input's null packets, where the MIPs go: every
# SFN_NULL_SPACING-th packet, but none early in mega-frame 1, so that its MIP
# comes after the receiver's start-up loss and is decoded.
SFN_PULSE = "1800000000"
SFN_ADAPTER_OPTIONS = ["--max-delay", "0.25", "--time-source", "fixed:" + SFN_PULSE,
                       "--tx-offset", "1:-1500", "--tx-cell-id", "1:7"]
SFN_NULL_SPACING = 37
MIP_PID = 0x0015


@dataclass(frozen=True)
class Case:
    tx: Transmission
    spacing: int = 8
    interleaver_init: str = "rand"
    bb_if: bool = False
    output_format: str = "float"
    # --sample-type of the standard/2x/4x output, and --backoff in dB (None:
    # terramod's default, 12 dB).
    sample_type: str = "cf32"
    backoff: float = None
    source: str = "random"
    transmitter: str = "terramod"
    # "device": terramod transmits through SoapySDR to the test device module
    # (tests/soapy_device), which records the samples; the recording is decoded.
    destination: str = "file"
    lp_rate: str = None   # hierarchical transmission: the LP stream's code rate
    # Signal-quality options: --precise, --arithmetic fast, and --window N
    # (0: off).
    precise: bool = False
    fast: bool = False
    window: int = 0
    # The receiver given the symbol timing instead of acquiring it (see
    # dvbt_rx.symbol_acquisition: needed for windowed signals).
    known_timing: bool = False
    # --cell-id: the TPS carry the cell identifier (length indicator 31).
    cell_id: int = None
    # The stream through sfnadapt, then terramod --sfn.
    sfn: bool = False

    @property
    def name(self):
        parts = [self.tx.label(), f"b{self.spacing}", f"c{self.interleaver_init}"]
        if self.lp_rate:
            parts.insert(1, f"lp{self.lp_rate.replace('/', '')}")
        if self.bb_if:
            parts.append("bbif")
        if self.output_format != "float":
            parts.append(self.output_format)
        if self.destination != "file":
            parts.append(self.destination)
        if self.sample_type != "cf32":
            parts.append(self.sample_type)
        if self.backoff is not None:
            parts.append(f"bo{self.backoff:g}")
        if self.source != "random":
            parts.append(self.source)
        if self.transmitter != "terramod":
            parts.append(self.transmitter)
        if self.precise:
            parts.append("precise")
        if self.fast:
            parts.append("fast")
        if self.window:
            parts.append(f"w{self.window}")
        if self.known_timing:
            parts.append("timed")
        if self.cell_id is not None:
            parts.append(f"cell{self.cell_id:04x}")
        if self.sfn:
            parts.append("sfn")
        return "_".join(parts)

    def terramod_options(self):
        options = self.tx.terramod_options() + [
            "-b", str(self.spacing), "-c", "0" if self.interleaver_init == "zero" else "rand",
            "-f", "BBIF" if self.bb_if else "0"]
        if self.output_format != "float":
            options += ["-F", self.output_format]
        if self.sample_type != "cf32":
            options += ["--sample-type", self.sample_type]
        if self.backoff is not None:
            options += ["--backoff", f"{self.backoff:g}"]
        if self.lp_rate:
            options += ["--lp-rate", self.lp_rate]
        if self.precise:
            options.append("--precise")
        if self.fast:
            options += ["--arithmetic", "fast"]
        if self.window:
            options += ["--window", str(self.window)]
        if self.cell_id is not None:
            options += ["--cell-id", str(self.cell_id)]
        if self.sfn:
            options += ["--sfn", "--time-source", "fixed:" + SFN_PULSE]
        return options


def settings(mode, constellation, code_rate, guard, alpha="NH"):
    return Transmission(mode, constellation, alpha, code_rate, guard)


CODE_RATES = ("1/2", "2/3", "3/4", "5/6", "7/8")
GUARDS = ("1/4", "1/8", "1/16", "1/32")
SPACINGS = (8, 7, 6)


def cycled_case(transmission, n):
    """A case whose other settings cycle with n: channel spacing, interleaver
    fill, and BB IF on every fifth case."""
    return Case(transmission, spacing=SPACINGS[n % 3],
                interleaver_init="zero" if n % 2 else "rand", bb_if=n % 5 == 2)


def constellation_cases(constellation, offset):
    """Both modes with all five code rates for one constellation; the guard
    interval and the other settings cycle through their values."""
    pairs = [(mode, rate) for mode in ("2k", "8k") for rate in CODE_RATES]
    return [cycled_case(settings(mode, constellation, rate, GUARDS[(i + offset) % 4]),
                        i + offset)
            for i, (mode, rate) in enumerate(pairs)]


def non_uniform_cases():
    """16QAM and 64QAM with each alpha, in both modes."""
    cases = []
    for i, (constellation, alpha, mode) in enumerate(
            (c, a, m) for c in (16, 64) for a in ("1", "2", "4") for m in ("2k", "8k")):
        transmission = settings(mode, constellation, CODE_RATES[i % 5], GUARDS[i % 4],
                                alpha=alpha)
        cases.append(cycled_case(transmission, i))
    return cases


# Rate pairs (HP, LP) of the hierarchical cases.
HIERARCHICAL_RATE_PAIRS = (("1/2", "1/2"), ("2/3", "3/4"), ("3/4", "7/8"), ("5/6", "2/3"),
                           ("7/8", "5/6"), ("1/2", "7/8"), ("2/3", "1/2"), ("3/4", "5/6"),
                           ("5/6", "3/4"), ("7/8", "1/2"), ("1/2", "2/3"), ("2/3", "5/6"))


def hierarchical_cases():
    """Two streams: 16QAM and 64QAM with each alpha, in both modes, each
    with its own pair of HP and LP code rates."""
    cases = []
    for i, (constellation, alpha, mode) in enumerate(
            (c, a, m) for c in (16, 64) for a in ("1", "2", "4") for m in ("2k", "8k")):
        hp_rate, lp_rate = HIERARCHICAL_RATE_PAIRS[i]
        transmission = settings(mode, constellation, hp_rate, GUARDS[i % 4], alpha=alpha)
        case = cycled_case(transmission, i)
        cases.append(Case(case.tx, case.spacing, case.interleaver_init, case.bb_if,
                          lp_rate=lp_rate))
    return cases


# Together the groups cover every value of every parameter: both modes, the
# three constellations, the five code rates, the four guard intervals, the
# three alphas of the non-uniform constellations, both interleaver fills,
# zero IF and BB IF, the three channel spacings and the four output formats,
# plus the heaviest setting (8k 64QAM 7/8, guard 1/4), the sample stream and
# live pipelines.
# The offsets give the heaviest setting the longest guard interval.
GROUPS = {
    "qpsk": constellation_cases(4, 0),
    "16qam": constellation_cases(16, 1),
    "64qam": constellation_cases(64, 3),
    "non_uniform": non_uniform_cases(),
    "hierarchical": hierarchical_cases(),
    "output_formats": [
        Case(settings("2k", 64, "3/4", "1/8"), output_format="agi"),
        Case(settings("8k", 16, "2/3", "1/16"), interleaver_init="zero", output_format="agi"),
        Case(settings("2k", 4, "5/6", "1/32"), spacing=6, bb_if=True, output_format="agi"),
        Case(settings("2k", 16, "1/2", "1/4"), spacing=7, output_format="2x"),
        Case(settings("8k", 4, "3/4", "1/8"), spacing=6, output_format="2x"),
        Case(settings("2k", 64, "2/3", "1/32"), interleaver_init="zero", output_format="4x"),
        Case(settings("8k", 16, "7/8", "1/16"), spacing=7, output_format="4x"),
    ],
    "sample_stream": [
        # The whole sample file with terramod's defaults.
        Case(settings("2k", 4, "1/2", "1/32"), source="testcard_whole"),
        Case(settings("8k", 16, "3/4", "1/8"), spacing=7, interleaver_init="zero",
             source="testcard"),
    ],
    # Live pipelines: make_random_ts.py | terramod -i - -o - > file, the
    # second starting 100 bytes into a packet, which terramod skips.
    "live_pipe": [
        Case(settings("2k", 16, "2/3", "1/8"), source="pipe"),
        Case(settings("8k", 64, "3/4", "1/16"), spacing=7, bb_if=True, output_format="2x",
             source="pipe_mid_packet"),
    ],
    # The exact transform in both modes, and the fast arithmetic (at the base
    # rate and interpolated by 4); symbol windowing at the longest
    # transition the guard allows (a quarter of it) with the symbol timing
    # given, and a short one that gr-dtv's own acquisition still follows; BB
    # IF interpolated by 2 and 4 (decoded after moving it down by half the
    # base rate).
    "signal_quality": [
        Case(settings("2k", 64, "3/4", "1/8"), precise=True),
        Case(settings("8k", 64, "7/8", "1/4"), spacing=7, precise=True),
        Case(settings("8k", 64, "7/8", "1/32"), fast=True),
        Case(settings("2k", 16, "2/3", "1/8"), bb_if=True, output_format="4x", fast=True),
        Case(settings("2k", 64, "2/3", "1/32"), window=16, known_timing=True),
        Case(settings("2k", 16, "3/4", "1/32"), window=4),
        Case(settings("8k", 16, "3/4", "1/4"), window=512, output_format="2x", known_timing=True),
        Case(settings("2k", 16, "1/2", "1/4"), spacing=7, bb_if=True, output_format="2x"),
        Case(settings("8k", 4, "5/6", "1/16"), interleaver_init="zero", bb_if=True,
             output_format="4x"),
        Case(settings("2k", 64, "2/3", "1/8"), spacing=6, bb_if=True, output_format="4x",
             precise=True, window=64, known_timing=True),
    ],
    # SDR sample types: the integers, divided by the scale of their SigMF
    # metadata, are decoded like the float output: both types at the base
    # rate (zero IF and BB IF), cs16 interpolated by 2, and the heaviest
    # setting (8k 64QAM 7/8) in cs8 at the default backoff of 12 dB.
    # The SDR output: what the test device recorded, decoded (SoapySDR builds).
    "device": [
        Case(settings("2k", 16, "2/3", "1/8"), destination="device"),
        Case(settings("8k", 64, "7/8", "1/32"), output_format="2x", destination="device"),
    ],
    "sample_types": [
        Case(settings("2k", 16, "2/3", "1/8"), sample_type="cs16"),
        Case(settings("2k", 4, "3/4", "1/32"), spacing=7, bb_if=True, sample_type="cs8"),
        Case(settings("8k", 16, "1/2", "1/16"), interleaver_init="zero", output_format="2x",
             sample_type="cs16", backoff=15),
        Case(settings("8k", 64, "7/8", "1/4"), sample_type="cs8"),
    ],
    # The cell identifier in the TPS (length indicator 31, s40..s47 one byte
    # of it a frame): the receiver still decodes the stream, and
    # terramod-analyze reads the identifier back from the samples it gets.
    "cell_id": [
        Case(settings("2k", 16, "2/3", "1/8"), cell_id=0x2A5C),
        Case(settings("8k", 64, "3/4", "1/16"), spacing=7, cell_id=42),
    ],
    # A single-frequency network's stream: sfnadapt's MIPs in every
    # mega-frame, terramod --sfn starting at the mega-frame the first one
    # points to; the receiver's stream is sfnadapt's from there on, MIPs
    # included, and the cell identifier reads back from the TPS.
    "sfn": [
        Case(settings("2k", 4, "1/2", "1/32"), sfn=True),
        Case(settings("8k", 64, "2/3", "1/8"), interleaver_init="zero", sfn=True, cell_id=7),
    ],
    # The receiver on gr-dtv's own transmitter: shows the peer itself works.
    "peer_selfcheck": [
        Case(settings("2k", 16, "2/3", "1/8"), transmitter="gr-dtv"),
        Case(settings("8k", 64, "3/4", "1/16"), transmitter="gr-dtv"),
    ],
}


# ---------------------------------------------------------------- streams

def packets_per_symbol(tx):
    bits = tx.ofdm.data_carrier_count * BITS_PER_CELL[tx.constellation] * Fraction(tx.code_rate)
    return bits / (8 * RS_PACKET_SIZE)


def packets_per_cycle(tx):
    """The smallest whole number of packets carried by whole OFDM symbols:
    terramod's cycle, whose last one it pads with empty packets."""
    return packets_per_symbol(tx).numerator


def input_packet_count(tx):
    count = math.ceil(INPUT_FRAMES * SYMBOLS_PER_FRAME * packets_per_symbol(tx)) \
        + INPUT_EXTRA_PACKETS
    if count % packets_per_cycle(tx) == 0:
        count += 1  # keep a padded last cycle in every case
    return count


def start_loss_bound(tx):
    return math.ceil(START_LOSS_FRAMES * SYMBOLS_PER_FRAME * packets_per_symbol(tx)) \
        + START_LOSS_EXTRA_PACKETS


def stream_view(tx, bits_per_cell, code_rate):
    """One stream of a hierarchical transmission for the packet accounting:
    a transmission with as many bits a cell (2: QPSK, 4: 16QAM) and its rate."""
    return Transmission(tx.mode, {2: 4, 4: 16}[bits_per_cell], "NH", code_rate, tx.guard)


def hierarchical_views(case):
    bits = BITS_PER_CELL[case.tx.constellation]
    return (stream_view(case.tx, 2, case.tx.code_rate),
            stream_view(case.tx, bits - 2, case.lp_rate))


def hierarchical_cycle_symbols(case):
    """terramod's cycle: the fewest OFDM symbols with whole packets of both."""
    hp, lp = hierarchical_views(case)
    return math.lcm(packets_per_symbol(hp).denominator, packets_per_symbol(lp).denominator)


def random_stream(packet_count, seed, source_dir):
    sys.path.insert(0, os.path.join(source_dir, "tools"))
    import make_random_ts
    return b"".join(make_random_ts.random_packets(packet_count, seed))


def make_input(case, seed, source_dir):
    """The input stream of a case and a note on where it came from."""
    count = input_packet_count(case.tx)
    if case.source.startswith("pipe"):
        # The stream the pipeline's generator writes, to compare with.
        return random_stream(count, seed, source_dir), "random payload, live from the tool"
    if case.source.startswith("testcard"):
        path = os.path.join(source_dir, "samples", "testcard.ts")
        if os.path.exists(path):
            whole = case.source == "testcard_whole"
            with open(path, "rb") as stream:
                data = stream.read() if whole else stream.read(count * PACKET_SIZE)
            return data, (f"{'all' if whole else 'first'} {len(data) // PACKET_SIZE} packets "
                          "of samples/testcard.ts")
        return random_stream(count, seed, source_dir), "samples/testcard.ts missing: random stream"
    return random_stream(count, seed, source_dir), "random payload"


def pid_of(packet):
    return (packet[1] & 0x1F) << 8 | packet[2]


def packets_per_megaframe(tx):
    """A mega-frame (ETSI TS 101 191): 2 super-frames in 8k, 8 in 2k, so 8
    or 32 frames; whole packets in every setting."""
    frames = {"2k": 32, "8k": 8}[tx.mode]
    count = tx.packets_per_frame * frames
    assert count.denominator == 1
    return int(count)


def sfn_stream(case, seed, source_dir, sfnadapt, folder):
    """The sfn group's streams: sfnadapt's whole output (for terramod) and
    that output from the first mega-frame start on (the stream the receiver
    must give back), with a note on where it came from. The input is one
    mega-frame (which terramod --sfn drops) and then as many packets as any
    case sends, random payloads with null packets."""
    if not sfnadapt:
        raise CaseFailure("the sfn group needs --sfnadapt")
    per_megaframe = packets_per_megaframe(case.tx)
    total = per_megaframe + input_packet_count(case.tx)
    quiet = range(per_megaframe, per_megaframe + start_loss_bound(case.tx) + ALIGNMENT_WINDOW)
    payload = iter(as_packets(random_stream(total, seed, source_dir)))
    null = bytes((SYNC_BYTE, 0x1F, 0xFF, 0x10)) + bytes([0xFF]) * (PACKET_SIZE - 4)
    packets = [null if index % SFN_NULL_SPACING == SFN_NULL_SPACING - 1 and index not in quiet
               else next(payload) for index in range(total)]
    plain_path = os.path.join(folder, "plain.ts")
    adapted_path = os.path.join(folder, "adapted.ts")
    with open(plain_path, "wb") as stream:
        stream.write(b"".join(packets))
    command = ([sfnadapt, "-i", plain_path, "-o", adapted_path] + case.tx.terramod_options()
               + ["-b", str(case.spacing)] + SFN_ADAPTER_OPTIONS)
    completed = subprocess.run(command, capture_output=True, text=True)
    if completed.returncode != 0:
        raise CaseFailure(f"sfnadapt exited with {completed.returncode}: {' '.join(command)}\n"
                          f"{completed.stderr}")
    with open(adapted_path, "rb") as stream:
        adapted = as_packets(stream.read())
    if len(adapted) != total:
        raise CaseFailure(f"sfnadapt wrote {len(adapted)} packets for {total}")
    # The first MIP's pointer (TS 101 191: the 16 bits after
    # synchronization_id and section_length) gives the next mega-frame's
    # first packet, which must be EN 300 744's count of packets on.
    first = next((i for i, packet in enumerate(adapted) if pid_of(packet) == MIP_PID), None)
    if first is None:
        raise CaseFailure("sfnadapt's output holds no MIP")
    start = first + int.from_bytes(adapted[first][6:8], "big") + 1
    if start != per_megaframe:
        raise CaseFailure(f"the first MIP (packet {first}) points to packet {start}, "
                          f"the mega-frame has {per_megaframe}")
    origin = (f"random payload, a null packet every {SFN_NULL_SPACING}th, through "
              f"sfnadapt {' '.join(command[5:])}; compared from packet {start} on")
    return adapted_path, b"".join(adapted[start:]), origin


def mips_delivered(received, expected, comparison):
    """MIPs among the received packets compared, each identical to sfnadapt's."""
    if comparison.lost_at_start < 0:
        return 0
    compared = min(len(received), comparison.last_out + 1 - comparison.lost_at_start)
    return sum(1 for index in range(compared) if pid_of(received[index]) == MIP_PID
               and received[index] == expected[comparison.lost_at_start + index])


def as_packets(data):
    """188-byte packets; an incomplete last one is kept as it is."""
    return [data[i:i + PACKET_SIZE] for i in range(0, len(data), PACKET_SIZE)]


def padded(packets, total):
    """The stream as transmitted: an incomplete last packet is completed with
    zeros, then empty packets (0x47 and 187 zeros) fill the last cycle."""
    packets = list(packets)
    if packets and len(packets[-1]) < PACKET_SIZE:
        packets[-1] = packets[-1].ljust(PACKET_SIZE, b"\0")
    empty = bytes([SYNC_BYTE]) + bytes(PACKET_SIZE - 1)
    return packets + [empty] * (total - len(packets))


def last_packet_out(symbol_count, tx):
    """Index of the last packet whose every byte has left the outer
    interleaver after symbol_count OFDM symbols."""
    rs_bytes = int(symbol_count * packets_per_symbol(tx) * RS_PACKET_SIZE)
    return (rs_bytes - OUTER_INTERLEAVER_TAIL - RS_PACKET_SIZE) // RS_PACKET_SIZE


@dataclass
class CarrierPlacement:
    weakest_active_db: float     # relative to the mean active carrier power
    weakest_active_bin: int
    strongest_empty_db: float
    strongest_empty_bin: int

    def fault(self):
        if (self.weakest_active_db < -PLACEMENT_MARGIN_DB
                or self.strongest_empty_db > -PLACEMENT_MARGIN_DB):
            return (f"carrier placement: weakest active bin {self.weakest_active_bin} at "
                    f"{self.weakest_active_db:.1f} dB, strongest empty bin "
                    f"{self.strongest_empty_bin} at {self.strongest_empty_db:.1f} dB "
                    f"(limit {PLACEMENT_MARGIN_DB:.0f} dB)")
        return None


def measure_carrier_placement(samples, tx):
    """Where the power of each symbol lies: carrier k belongs in FFT bin
    k - (K - 1)/2, the centre carrier on 0 Hz (EN 300 744 clause 4.4). The
    samples are at zero IF and start with symbol 0."""
    n, k = tx.ofdm.fft_size, tx.ofdm.carrier_count
    first = len(samples) // tx.symbol_length // 2
    symbols = [samples[q * tx.symbol_length + tx.guard_length:][:n]
               for q in range(first, first + PLACEMENT_SYMBOLS)]
    power = np.mean(np.abs(np.fft.fft(np.array(symbols), axis=1)) ** 2, axis=0)
    active = np.zeros(n, bool)
    active[(np.arange(k) - (k - 1) // 2) % n] = True
    mean_power = np.mean(power[active])
    active_bins, empty_bins = np.flatnonzero(active), np.flatnonzero(~active)
    weakest = active_bins[np.argmin(power[active_bins])]
    strongest = empty_bins[np.argmax(power[empty_bins])]
    return CarrierPlacement(
        10 * np.log10(power[weakest] / mean_power), int(weakest),
        10 * np.log10(power[strongest] / mean_power + 1e-30), int(strongest))


def analyse_received(case, samples, folder, source_dir):
    """terramod-analyze on the receiver's input: the MER and the faults it
    reports (TPS not matching the settings, or a failure)."""
    path = os.path.join(folder, "received_input.cf32")
    np.asarray(samples[:ANALYSED_FRAMES * case.tx.frame_length], np.complex64).tofile(path)
    summary_path = os.path.join(folder, "analysis.json")
    tx = case.tx
    command = [sys.executable, "-B", os.path.join(source_dir, "tools", "terramod-analyze"),
               path, "--json", summary_path, "--mode", tx.mode,
               "--constellation", str(tx.constellation), "--alpha", tx.alpha,
               "--code-rate", tx.code_rate, "--guard", tx.guard,
               "--bandwidth", str(case.spacing)]
    if case.transmitter == "gr-dtv":
        command += ["--equalizer", "pilots"]
    if case.lp_rate:
        command += ["--lp-code-rate", case.lp_rate]
    if case.cell_id is not None:
        command += ["--cell-id", str(case.cell_id)]
    completed = subprocess.run(command, capture_output=True, text=True)
    os.remove(path)
    if completed.returncode not in (0, 3):
        return None, [f"terramod-analyze exited with {completed.returncode}: "
                      f"{completed.stderr.strip()}"]
    with open(summary_path, encoding="utf-8") as stream:
        mer_db = json.load(stream)["mer_db"]
    faults = [completed.stderr.strip()] if completed.returncode == 3 else []
    if mer_db < ANALYZER_MIN_MER_DB[case.transmitter]:
        faults.append(f"MER {mer_db:.1f} dB below {ANALYZER_MIN_MER_DB[case.transmitter]:.0f} dB")
    return mer_db, faults


# ------------------------------------------------------------- comparison

@dataclass
class Comparison:
    sent: int
    last_out: int
    received: int
    lost_at_start: int = -1
    identical: int = 0
    differing: int = 0
    missing_at_end: int = 0
    placement: CarrierPlacement = None
    mer_db: float = None
    analyzer_faults: list = None
    mips: int = None  # the sfn group: MIPs among the packets compared

    @property
    def expected(self):
        return self.last_out + 1 - self.lost_at_start


def first_packet_position(received, expected):
    """Where the receiver's first packet lies in the sent stream: the position
    whose following packets agree best with the first received ones (a real
    stream repeats packets, null packets above all)."""
    window = received[:ALIGNMENT_WINDOW]
    best, best_score = -1, 0
    for start, packet in enumerate(expected):
        if packet != window[0]:
            continue
        score = sum(a == b for a, b in zip(window, expected[start:]))
        if score > best_score:
            best, best_score = start, score
    return best


def compare_streams(received, expected, last_out):
    result = Comparison(sent=len(expected), last_out=last_out, received=len(received))
    if not received:
        return result
    start = first_packet_position(received, expected)
    if start < 0:
        return result
    result.lost_at_start = start
    # Packets after last_out are decoded from the flush filler, not compared.
    for index in range(min(len(received), last_out + 1 - start)):
        if received[index] == expected[start + index]:
            result.identical += 1
        else:
            result.differing += 1
    result.missing_at_end = max(0, last_out + 1 - start - len(received))
    return result


# --------------------------------------------------------------- one case

class CaseFailure(Exception):
    pass


def run_terramod(terramod, case, input_path, base, lp_input_path=None):
    command = [terramod, "-i", input_path, "-o", base, "-l", base + ".log", "-d", "t", "-v", "1"]
    if case.destination == "device":
        command = [terramod, "-i", input_path, "-l", base + ".log", "-v", "1",
                   "--device", f"driver=terramod_test,pace=0,record={base}.bin",
                   "--frequency", "474000000"]
    command += case.terramod_options()
    if lp_input_path:
        command += ["--lp-input", lp_input_path]
    completed = subprocess.run(command, capture_output=True, text=True)
    if completed.returncode != 0:
        raise CaseFailure(f"terramod exited with {completed.returncode}: {' '.join(command)}\n"
                          f"{completed.stdout}{completed.stderr}")
    return command


# Bytes before the first packet of the mid-packet pipeline: the last 100
# bytes of a packet with a counting payload (no sync byte among them).
MID_PACKET_PREFIX = bytes(range(PACKET_SIZE - 100, PACKET_SIZE))


def run_terramod_in_pipe(terramod, case, base, packet_count, seed, source_dir):
    """tools/make_random_ts.py writes the stream into a pipe that terramod
    reads (-i -); terramod writes the samples to its standard output, which
    goes into the output file. The mid-packet case first sends the tail of a
    packet, which terramod must skip and report."""
    generator = [sys.executable, os.path.join(source_dir, "tools", "make_random_ts.py"),
                 "/dev/stdout", str(packet_count), "--seed", str(seed)]
    command = [terramod, "-i", "-", "-o", "-", "-l", base + ".log", "-v", "1"]
    command += case.terramod_options()
    prefix = b"" if case.source == "pipe" else MID_PACKET_PREFIX
    pipeline = (f"set -o pipefail; {{ head -c {len(prefix)} {shlex.quote(base + '.prefix')}; "
                f"{shlex.join(generator)}; }} | {shlex.join(command)} "
                f">{shlex.quote(base + '.bin')}")
    with open(base + ".prefix", "wb") as stream:
        stream.write(prefix)
    completed = subprocess.run(["bash", "-c", pipeline], capture_output=True, text=True)
    if completed.returncode != 0:
        raise CaseFailure(f"the pipeline exited with {completed.returncode}: {pipeline}\n"
                          f"{completed.stderr}")
    skipped = f"WARNING: {len(prefix)} bytes skipped before the first packet of standard input"
    if bool(prefix) != (skipped in completed.stderr):
        raise CaseFailure(f"the skip warning is wrong:\n{completed.stderr}")
    return command


def output_paths(case, base):
    if case.output_format == "agi":
        return [base + "_I.bin", base + "_Q.bin"]
    return [base + ".bin"]


def check_output_length(case, base, symbol_count):
    """Every cycle's samples must be in the file(s), no more, no less."""
    samples = symbol_count * case.tx.symbol_length
    if case.output_format == "agi":
        expected_bytes = samples * 2
    else:
        factor = {"float": 1, "2x": 2, "4x": 4}[case.output_format]
        bytes_per_sample = signal_formats.SAMPLE_TYPES[case.sample_type].element_bytes
        expected_bytes = samples * factor * bytes_per_sample
    for path in output_paths(case, base):
        actual = os.path.getsize(path) if os.path.exists(path) else -1
        if actual != expected_bytes:
            raise CaseFailure(f"{path}: {actual} bytes, expected {expected_bytes} "
                              f"({symbol_count} OFDM symbols)")


def transmit_with_terramod(case, terramod, input_path, base, packet_count, seed, source_dir):
    """Runs terramod and checks the length of its output; returns the
    command line, the samples at the base rate and zero IF, and the number
    of OFDM symbols sent."""
    if case.source.startswith("pipe"):
        command = run_terramod_in_pipe(terramod, case, base, packet_count, seed, source_dir)
        description = "make_random_ts.py | terramod "
    else:
        command = run_terramod(terramod, case, input_path, base)
        description = "terramod "
    cycle = packets_per_cycle(case.tx)
    transmitted = -(-packet_count // cycle) * cycle
    symbol_count = int(transmitted / packets_per_symbol(case.tx))
    check_output_length(case, base, symbol_count)
    sample_source = base if case.output_format == "agi" else base + ".bin"
    samples = signal_formats.base_rate_samples(sample_source, case.output_format,
                                               case.tx.mode, case.bb_if, case.sample_type)
    for path in output_paths(case, base):
        os.remove(path)  # the large files are not needed any more
    return description + " ".join(command[1:]), samples, symbol_count


def transmit_with_gr_dtv(case, input_path, base):
    """The same with gr-dtv's transmitter, which sends only whole symbols of
    its input and pads nothing."""
    import gr_dvbt_tx
    gr_dvbt_tx.build_transmitter(case.tx, input_path, base + ".bin").run()
    samples = signal_formats.read_float_iq(base + ".bin")
    os.remove(base + ".bin")
    return "gr-dtv transmitter", samples, len(samples) // case.tx.symbol_length


def run_hierarchical_case(case, terramod, source_dir, folder, seed):
    """Both streams through terramod and the hierarchical receive path;
    returns the HP and LP comparisons."""
    import hierarchical_rx
    hp_view, lp_view = hierarchical_views(case)
    inputs = []
    for name, view, stream_seed in (("input.ts", hp_view, seed), ("lp_input.ts", lp_view,
                                                                    1000 + seed)):
        data = random_stream(input_packet_count(view), stream_seed, source_dir)
        path = os.path.join(folder, name)
        with open(path, "wb") as stream:
            stream.write(data)
        inputs.append((path, data))
    (hp_path, hp_data), (lp_path, lp_data) = inputs
    base = os.path.join(folder, "tx")
    command = run_terramod(terramod, case, hp_path, base, lp_path)
    symbols_per_cycle = hierarchical_cycle_symbols(case)
    hp_packets = len(hp_data) // PACKET_SIZE
    hp_per_cycle = int(symbols_per_cycle * packets_per_symbol(hp_view))
    symbol_count = -(-hp_packets // hp_per_cycle) * symbols_per_cycle
    check_output_length(case, base, symbol_count)
    samples = signal_formats.base_rate_samples(base + ".bin", "float", case.tx.mode, case.bb_if)
    os.remove(base + ".bin")
    received = [os.path.join(folder, "received_hp.ts"), os.path.join(folder, "received_lp.ts")]
    hierarchical_rx.decode(case.tx, case.lp_rate, samples, *received)
    comparisons = []
    for view, data, path in ((hp_view, hp_data, received[0]), (lp_view, lp_data, received[1])):
        sent = int(symbol_count * packets_per_symbol(view))
        expected = padded(as_packets(data)[:sent], sent)
        with open(path, "rb") as stream:
            comparison = compare_streams(as_packets(stream.read()), expected,
                                         last_packet_out(symbol_count, view))
        comparison.placement = measure_carrier_placement(samples, case.tx)
        comparisons.append(comparison)
    comparisons[0].mer_db, comparisons[0].analyzer_faults = analyse_received(
        case, samples, folder, source_dir)
    return comparisons, "random payloads", "terramod " + " ".join(command[1:])


def run_case(case, terramod, source_dir, out_dir, seed, sfnadapt=None):
    folder = os.path.join(out_dir, case.name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    if case.sfn:
        # terramod gets sfnadapt's whole output; data is what it sends.
        input_path, data, origin = sfn_stream(case, seed, source_dir, sfnadapt, folder)
    else:
        data, origin = make_input(case, seed, source_dir)
        input_path = os.path.join(folder, "input.ts")
        with open(input_path, "wb") as stream:
            stream.write(data)
    base = os.path.join(folder, "tx")
    packet_count = -(-len(data) // PACKET_SIZE)
    if case.transmitter == "gr-dtv":
        command, samples, symbol_count = transmit_with_gr_dtv(case, input_path, base)
    else:
        command, samples, symbol_count = transmit_with_terramod(case, terramod, input_path,
                                                                base, packet_count, seed,
                                                                source_dir)
    received_path = os.path.join(folder, "received.ts")
    dvbt_rx.decode(case.tx, samples, received_path, case.known_timing)
    with open(received_path, "rb") as stream:
        received = as_packets(stream.read())
    sent_count = max(packet_count, math.ceil(symbol_count * packets_per_symbol(case.tx)))
    expected = padded(as_packets(data), sent_count)
    comparison = compare_streams(received, expected, last_packet_out(symbol_count, case.tx))
    if case.sfn:
        comparison.mips = mips_delivered(received, expected, comparison)
    comparison.placement = measure_carrier_placement(samples, case.tx)
    comparison.mer_db, comparison.analyzer_faults = analyse_received(case, samples, folder,
                                                                     source_dir)
    return comparison, origin, command


def verdict(case, comparison, tx=None):
    """The reasons a case fails; empty when it passes. tx: the stream's
    view for the start-up bound (hierarchical cases)."""
    placement_fault = comparison.placement.fault()
    reasons = [placement_fault] if placement_fault else []
    reasons += comparison.analyzer_faults or []
    bound = start_loss_bound(tx or case.tx)
    if comparison.received == 0:
        reasons.append("the receiver delivered no packet")
    elif comparison.lost_at_start < 0:
        reasons.append("no delivered packet matches the input")
    else:
        if comparison.lost_at_start > bound:
            reasons.append(f"lost {comparison.lost_at_start} packets at the start, "
                           f"bound {bound}")
        if comparison.differing:
            reasons.append(f"{comparison.differing} packets differ from the input")
        if comparison.missing_at_end:
            reasons.append(f"{comparison.missing_at_end} packets missing before the last that "
                           f"left the transmitter (#{comparison.last_out})")
        if case.sfn and not comparison.mips:
            reasons.append("no MIP (PID 0x0015) among the packets compared")
        # The receiver starts at an energy-dispersal group (8 packets from
        # the first one terramod sends): sfnadapt's mega-frame start must be
        # the first packet of one.
        if case.sfn and comparison.lost_at_start % 8:
            reasons.append(f"the first packet delivered is #{comparison.lost_at_start} from the "
                           "mega-frame start, not the first of an 8-packet group: terramod did "
                           "not start at the mega-frame")
    return reasons


def report_line(case, comparison, seconds, tx=None):
    return (f"{case.name:44s} sent {comparison.sent:6d}  left tx {comparison.last_out + 1:6d}  "
            f"lost at start {comparison.lost_at_start:5d} (bound {start_loss_bound(tx or case.tx):5d})  "
            f"identical {comparison.identical:6d}/{comparison.expected:6d}  "
            f"empty bins {comparison.placement.strongest_empty_db:6.1f} dB  "
            + (f"MER {comparison.mer_db:5.1f} dB  " if comparison.mer_db is not None else "")
            + (f"MIPs {comparison.mips}  " if comparison.mips is not None else "")
            + f"{seconds:5.1f} s")


def run_group(name, terramod, source_dir, out_dir, sfnadapt=None):
    failures = 0
    group_dir = os.path.join(out_dir, name)
    if name == "hierarchical":
        failures += not oracle_signal_check(terramod, source_dir, group_dir)
    for seed, case in enumerate(GROUPS[name], start=1):
        started = time.monotonic()
        if case.lp_rate:
            failures += not run_hierarchical_group_case(case, terramod, source_dir, group_dir,
                                                        seed, started)
            continue
        try:
            comparison, origin, command = run_case(case, terramod, source_dir, group_dir, seed,
                                                   sfnadapt)
        except CaseFailure as failure:
            print(f"{case.name:44s} FAIL: {failure}")
            failures += 1
            continue
        reasons = verdict(case, comparison)
        print(report_line(case, comparison, time.monotonic() - started)
              + ("  ok" if not reasons else "  FAIL"))
        print(f"    {command}   [{origin}]")
        for reason in reasons:
            print(f"    FAIL: {reason}")
        failures += bool(reasons)
        sys.stdout.flush()
    print(f"{name}: {len(GROUPS[name]) - failures} of {len(GROUPS[name])} cases passed")
    return failures == 0


def run_hierarchical_group_case(case, terramod, source_dir, group_dir, seed, started):
    """One hierarchical case: a line per stream; True when both pass."""
    folder = os.path.join(group_dir, case.name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    try:
        comparisons, origin, command = run_hierarchical_case(case, terramod, source_dir, folder,
                                                             seed)
    except CaseFailure as failure:
        print(f"{case.name:44s} FAIL: {failure}")
        return False
    ok = True
    for label, view, comparison in zip(("HP", "LP"), hierarchical_views(case), comparisons):
        reasons = verdict(case, comparison, view)
        print(report_line(case, comparison, time.monotonic() - started, view)
              + f"  {label}" + ("  ok" if not reasons else "  FAIL"))
        for reason in reasons:
            print(f"    FAIL: {label}: {reason}")
        ok = ok and not reasons
    print(f"    {command}   [{origin}]")
    sys.stdout.flush()
    return ok


def oracle_signal_check(terramod, source_dir, group_dir):
    """The receive path first on cells from the bit-level oracle of EN 300
    744 clause 4.3.4.1 (hierarchical_rx.hierarchical_interleave) over two
    streams that terramod coded and punctured as single streams: gr-dtv's
    non-hierarchical bit deinterleaver, the word split, one decoder chain
    per stream must give back every packet of both; the naive split (top
    two bits as HP) must not. True when all holds."""
    import hierarchical_rx
    folder = os.path.join(group_dir, "oracle_cells")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    ok = True
    for v, hp_rate, lp_rate in ((4, "2/3", "5/6"), (6, "3/4", "1/2")):
        punctured = []
        for name, rate, count, seed in (("hp", hp_rate, 600, 7), ("lp", lp_rate, 900, 8)):
            data = random_stream(count, seed, source_dir)
            path = os.path.join(folder, f"{name}.ts")
            with open(path, "wb") as stream:
                stream.write(data)
            command = [terramod, "-i", path, "-o", os.path.join(folder, name), "-p", rate,
                       "-d", "p", "-v", "0", "-l", os.path.join(folder, name + ".log")]
            subprocess.run(command, check=True, capture_output=True)
            punctured.append((data, np.fromfile(os.path.join(folder, name + "_pu.bin"),
                                                np.uint8)))
        cells = hierarchical_rx.hierarchical_interleave(punctured[0][1], punctured[1][1], v)
        words = hierarchical_rx.deinterleave_with_gr_dtv(cells, v)
        results = []
        for split in (hierarchical_rx.split_words, hierarchical_rx.naive_split):
            out = [os.path.join(folder, f"{name}_{split.__name__}_{v}.ts") for name in ("hp", "lp")]
            hierarchical_rx.decode_words(words, v, hp_rate, lp_rate, *out, split=split)
            counts = []
            for (data, _), path, bits, rate in zip(punctured, out, (2, v - 2), (hp_rate, lp_rate)):
                with open(path, "rb") as stream:
                    got = as_packets(stream.read())
                sent = as_packets(data)
                # The packets the cells carry whole, less those the outer
                # interleaver still held.
                carried = int(len(words) * bits * Fraction(rate) / (8 * RS_PACKET_SIZE))
                expected = min(len(sent), carried - OUTER_INTERLEAVER_TAIL // RS_PACKET_SIZE - 1)
                counts.append((sum(a == b for a, b in zip(got, sent[:expected])), expected))
            results.append(counts)
        (hp_ok, hp_sent), (lp_ok, lp_sent) = results[0]
        naive = results[1]
        good = hp_ok == hp_sent and lp_ok == lp_sent and naive[0][0] == 0 and naive[1][0] == 0
        print(f"oracle cells {v} bits a cell HP {hp_rate} LP {lp_rate}: split HP {hp_ok}/{hp_sent}"
              f" LP {lp_ok}/{lp_sent} identical; naive split HP {naive[0][0]} LP {naive[1][0]}"
              + ("  ok" if good else "  FAIL"))
        ok = ok and good
    return ok


def add_build_arguments(parser):
    """The arguments the build gives every interop script (INTEROP_ARGS in
    tests/interop/CMakeLists.txt); a script takes what it needs of them."""
    parser.add_argument("--terramod", required=True)
    parser.add_argument("--sfnadapt", help="the SFN adapter (the sfn group)")
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--out", required=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("group", choices=list(GROUPS))
    add_build_arguments(parser)
    parser.add_argument("--window-quarter-guard", action="store_true",
                        help="every terramod case with --window at a quarter of its guard")
    args = parser.parse_args()
    if args.window_quarter_guard:
        GROUPS[args.group] = [case if case.transmitter != "terramod" else
                              replace(case, window=case.tx.guard_length // 4, known_timing=True)
                              for case in GROUPS[args.group]]
    ok = run_group(args.group, args.terramod, args.source_dir, args.out, args.sfnadapt)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""--loop on the air: samples/testcard.ts (2 s, muxed at the default
settings' rate) looped by terramod, whose samples go through a pipe
(`terramod -i input.ts --loop -o -`) straight into gr-dtv's receiver for a
fixed number of samples; then terramod is stopped with SIGINT. The transport
stream received (its whole pictures: from the first video sequence header,
where a decoder tuning in starts, to the last picture's start) is checked
across every wrap:

- no continuity error, and every PCR within 500 ns of its packet's position
  at the stream's own rate (tools/ts_pcr_analyze.py: one line through all
  the passes, with no discontinuity indicator to restart it);
- no two consecutive PCRs more than 40 ms apart (ETSI TR 101 290
  PCR_repetition_error), across the wraps too;
- `ffmpeg -v error -i rx.ts -f null -` prints nothing;
- it spans the wraps terramod logged, less what the receiver loses at the
  start and holds back at the end.

    loop_rx.py --terramod PATH --source-dir DIR --out DIR [--seconds S]
               [--sample-type cf32|cs16] [--input FILE] [--pad-packets N]

The test card carries 2.000 s of video and 2.016 s of audio (84 frames of
24 ms) in 1.990 s of transport stream: terramod makes each pass last as long
as its content, with null packets at each wrap (one of them giving way to a
PCR-only packet, so the PCRs stay within 40 ms), so the file loops as it is
(input.ts is the test card itself). --pad-packets N appends N null packets
to it first, a file whose packets already last long enough.

The default of 8 s (about 4 passes) is the CTest case; `--seconds 180` is
the three-minute transmission (about 90 wraps), best with `--sample-type
cs16`, which halves the bytes in the pipe.
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
from gnuradio import blocks, gr

from dvbt_params import SAMPLING_RATES, Transmission
import dvbt_rx
import run_interop

PACKET = 188
PAD_PACKETS = 0
DEFAULT_SETTINGS = Transmission("2k", 4, "NH", "1/2", "1/32")
CHANNEL_RATE = 6032085.561497327  # bit/s of the default settings
PCR_ERROR_LIMIT_NS = 500
PCR_INTERVAL_LIMIT_MS = 40.0
# The packets gr-dtv's decoder blocks still hold when the samples end.
RECEIVER_TAIL_PACKETS = 400
# cs16 samples are divided by this before the receiver, whose reference
# signals equalise whatever the level.
CS16_DIVISOR = 8192.0


def receive(args, tx, rx_path, log_path):
    """terramod's standard output into the receiver for args.seconds of
    samples; then SIGINT. Returns terramod's exit code and console text."""
    command = [args.terramod, "-i", args.input, "--loop", "-o", "-", "-v", "2", "-l", log_path,
               "--sample-type", args.sample_type] + tx.terramod_options()
    console_path = log_path + ".console"
    with open(console_path, "w") as console:
        terramod = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=console)
    try:
        sample_count = round(args.seconds * SAMPLING_RATES[8])
        top = gr.top_block()
        if args.sample_type == "cs16":
            source = blocks.file_descriptor_source(gr.sizeof_short,
                                                   os.dup(terramod.stdout.fileno()), False)
            chain = [source, blocks.head(gr.sizeof_short, 2 * sample_count),
                     blocks.interleaved_short_to_complex(False, False, CS16_DIVISOR)]
        else:
            source = blocks.file_descriptor_source(gr.sizeof_gr_complex,
                                                   os.dup(terramod.stdout.fileno()), False)
            chain = [source, blocks.head(gr.sizeof_gr_complex, sample_count)]
        chain += dvbt_rx.demodulation(tx) + dvbt_rx.decoding(tx)
        chain.append(blocks.file_sink(gr.sizeof_char, rx_path, False))
        top.connect(*chain)
        top.run()
        del top, source, chain
    finally:
        terramod.send_signal(signal.SIGINT)
        # The block in progress still comes out: read it to the end.
        while terramod.stdout.read(1 << 20):
            pass
        exit_code = terramod.wait(timeout=60)
    with open(console_path) as console:
        return " ".join(command[1:]), exit_code, console.read()


def make_input(path, source, pad_packets):
    packets = np.fromfile(source, dtype=np.uint8).reshape(-1, PACKET)
    nulls = np.full((pad_packets, PACKET), 0xFF, np.uint8)
    nulls[:, :4] = (0x47, 0x1F, 0xFF, 0x10)
    np.concatenate([packets, nulls]).tofile(path)


def video_pes_starts(packets):
    """(index, starts with a sequence header) of each packet that starts a
    video PES packet."""
    for index, packet in enumerate(packets):
        if not packet[1] & 0x40 or not packet[3] & 0x10:
            continue
        start = 4 + (1 + int(packet[4]) if packet[3] & 0x20 else 0)
        pes = bytes(packet[start:])
        if len(pes) < 9 or pes[:3] != b"\0\0\1" or not 0xE0 <= pes[3] <= 0xEF:
            continue
        yield index, pes[9 + pes[8]:13 + pes[8]] == b"\0\0\1\xb3"


def whole_pictures(packets):
    """The received packets from the first sequence header (where a decoder
    tuning in starts) up to the last video PES packet's start (the samples
    end inside that picture); the packets left off at the start."""
    starts = list(video_pes_starts(packets))
    first = next((index for index, header in starts if header), None)
    if first is None or starts[-1][0] <= first:
        raise run_interop.CaseFailure("no whole picture received")
    return packets[first:starts[-1][0]], first


def discontinuity_indicators(packets):
    has_adaptation = (packets[:, 3] & 0x20) != 0
    return int(np.count_nonzero(has_adaptation & (packets[:, 4] >= 1)
                                & ((packets[:, 5] & 0x80) != 0)))


def analyse(source_dir, path):
    result = subprocess.run([sys.executable, "-B",
                             os.path.join(source_dir, "tools", "ts_pcr_analyze.py"), path,
                             "--json"], capture_output=True, text=True)
    if result.returncode != 0:
        raise run_interop.CaseFailure(f"analysis of {path} failed: {result.stderr}")
    return json.loads(result.stdout)


def check(args):
    tx = DEFAULT_SETTINGS
    name = f"loop_{args.seconds:g}s_{args.sample_type}_pad{args.pad_packets}"
    folder = os.path.join(args.out, name)
    os.makedirs(folder, exist_ok=True)
    args.input = os.path.join(folder, "input.ts")
    make_input(args.input, args.source, args.pad_packets)
    raw_path = os.path.join(folder, "received_raw.ts")
    log_path = os.path.join(folder, "tx.log")
    started = time.monotonic()
    command, exit_code, console = receive(args, tx, raw_path, log_path)
    elapsed = time.monotonic() - started

    data = np.fromfile(raw_path, dtype=np.uint8)
    received = data[:len(data) // PACKET * PACKET].reshape(-1, PACKET)
    received, joined = whole_pictures(received)
    rx_path = os.path.join(folder, "rx.ts")
    received.tofile(rx_path)
    os.remove(raw_path)
    with open(log_path) as log_file:
        log = log_file.read()
    wraps = log.count("Input wrapped to its beginning")
    # A pass on the air: the file's packets and the gap terramod sends at
    # each wrap (null packets, some perhaps PCR-only) so the pass lasts as
    # long as its content.
    gap = re.search(r"(\d+) (?:null )?packets at each wrap", log)
    gap_packets = int(gap.group(1)) if gap else 0
    pass_packets = -(-os.path.getsize(args.input) // PACKET) + gap_packets

    problems = []
    if exit_code not in (0, 128 + signal.SIGINT):
        problems.append(f"terramod exited with {exit_code}: {console.strip()[-300:]}")
    if np.any(received[:, 0] != 0x47):
        problems.append(f"{int(np.count_nonzero(received[:, 0] != 0x47))} packets out of sync")
    # The packets the samples carry, less the start-up loss and the receiver's
    # tail: the received stream must be that long, so it spans the wraps.
    carried = args.seconds * CHANNEL_RATE / (8 * PACKET)
    expected = carried - run_interop.start_loss_bound(tx) - RECEIVER_TAIL_PACKETS - joined
    if len(received) < expected:
        problems.append(f"{len(received)} packets received, expected at least {expected:.0f}")
    if wraps < int(carried // pass_packets):
        problems.append(f"terramod logged {wraps} wraps for {carried:.0f} packets of "
                        f"{pass_packets} a pass")
    report = analyse(args.source_dir, rx_path)
    worst = report["max_abs_pcr_error_ns"]
    if worst is None or worst > PCR_ERROR_LIMIT_NS:
        problems.append(f"PCR error {worst} ns")
    longest = report["max_pcr_interval_ms"]
    if longest is None or longest > PCR_INTERVAL_LIMIT_MS:
        problems.append(f"PCRs {longest} ms apart")
    if report["continuity_errors"]:
        problems.append(f"{report['continuity_errors']} continuity errors "
                        f"{report['continuity_errors_by_pid']}")
    indicators = discontinuity_indicators(received)
    if indicators:
        problems.append(f"{indicators} discontinuity indicators")
    decoded = subprocess.run(["ffmpeg", "-v", "error", "-i", rx_path, "-f", "null", "-"],
                             capture_output=True, text=True)
    ffmpeg_text = (decoded.stdout + decoded.stderr).strip()
    if decoded.returncode != 0 or ffmpeg_text:
        problems.append(f"ffmpeg: exit {decoded.returncode}: {ffmpeg_text[:300]}")

    print(f"{name}: {args.seconds:g} s of samples ({args.sample_type}) in {elapsed:.0f} s; "
          f"terramod wrapped {wraps} times ({pass_packets} packets a pass, {gap_packets} of them "
          f"the wrap's gap), exit {exit_code}; "
          f"received {len(received)} packets of whole pictures (from packet {joined}), "
          f"{len(received) / pass_packets:.1f} passes")
    print(f"    PCR: rate {report['rate'] / 1e6:.6f} Mbit/s, max |error| {worst:.1f} ns, max "
          f"interval {report['max_pcr_interval_ms']:.3f} ms; continuity errors "
          f"{report['continuity_errors']}; discontinuity indicators {indicators}; "
          f"ffmpeg -v error: {'silent' if not ffmpeg_text else repr(ffmpeg_text[:200])}"
          + ("  ok" if not problems else "  FAIL"))
    print(f"    terramod {command}")
    for problem in problems:
        print(f"    FAIL: {problem}")
    return not problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    run_interop.add_build_arguments(parser)
    parser.add_argument("--seconds", type=float, default=8.0,
                        help="seconds of samples received (default 8: about 4 passes)")
    parser.add_argument("--sample-type", default="cf32", choices=["cf32", "cs16"])
    parser.add_argument("--source", help="the stream looped (default samples/testcard.ts)")
    parser.add_argument("--pad-packets", type=int, default=PAD_PACKETS,
                        help=f"null packets appended to it (default {PAD_PACKETS})")
    args = parser.parse_args()
    args.source = args.source or os.path.join(args.source_dir, "samples", "testcard.ts")
    args.out = os.path.join(args.out, "loop")
    try:
        return 0 if check(args) else 1
    except run_interop.CaseFailure as failure:
        print(f"FAIL: {failure}")
        return 1


if __name__ == "__main__":
    sys.exit(main())

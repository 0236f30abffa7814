#!/usr/bin/python3
"""Rate adaptation end to end: streams made by ffmpeg at 2 and 4 Mbit/s go
through `terramod --adapt-rate` on the default channel (2k QPSK 1/2 1/32,
6.032086 Mbit/s), one at 6 Mbit/s on 8k 64QAM 2/3 1/32 (24.128342 Mbit/s);
gr-dtv's receiver decodes the samples and the transport stream it delivers
is checked on its own:

- from the first packet it delivers up to the last that can have left the
  transmitter, it is the stream terramod sent (the energy disperser dump
  descrambled here), with at most the usual start-up loss;
- the stream sent holds the input's non-null packets, byte-identical except
  for the PCR fields, and the received one a contiguous run of them;
- every PCR lies within 500 ns of its packet's position at the channel rate,
  PCR intervals are 40 ms at most, no continuity error
  (tools/ts_pcr_analyze.py);
- `ffmpeg -v error -i rx.ts -f null -` prints nothing, and ffprobe gives
  the duration and video frame count of the input less what the receiver
  lost at the start (the input file from the first packet received), within
  two video frames.

rx.ts is the received stream from its first packet up to the last that left
the transmitter, without the empty packets that pad terramod's last cycle.

Without --adapt-rate a 4 Mbit/s stream must give one warning naming
--adapt-rate, and samples/testcard.ts (muxed at the channel rate) none.

    rate_adaptation_rx.py --terramod PATH --source-dir DIR --out DIR
"""
import argparse
import json
import os
import re
import subprocess
import sys

import numpy as np

from dvbt_params import PACKET_SIZE, Transmission
import dvbt_rx
import run_interop
import signal_formats

PACKET = PACKET_SIZE
NULL_PID = 0x1FFF
SECONDS = 2
VIDEO_FPS = 25
PCR_ERROR_LIMIT_NS = 500
PCR_INTERVAL_LIMIT_MS = 40
DURATION_TOLERANCE_S = 2 / VIDEO_FPS

DEFAULT_CHANNEL = Transmission("2k", 4, "NH", "1/2", "1/32")
CASES = (  # (name, mux rate in bit/s, transmission, useful bit rate in bit/s)
    ("ffmpeg_2M_2k_qpsk_12", 2000000, DEFAULT_CHANNEL, 6032085.561497327),
    ("ffmpeg_4M_2k_qpsk_12", 4000000, DEFAULT_CHANNEL, 6032085.561497327),
    ("ffmpeg_6M_8k_64qam_23", 6000000, Transmission("8k", 64, "NH", "2/3", "1/32"),
     24128342.245989308),
)


def run(command):
    return subprocess.run(command, capture_output=True, text=True)


def make_ffmpeg_stream(path, mux_rate):
    """Intra-only video (-g 1): the receiver joins the stream a few frames in,
    like a TV tuning in, and with a group of pictures the frames before the
    next sequence header cannot be decoded ("Invalid frame dimensions 0x0",
    which the input cut at the same packet gives as well)."""
    video_rate = int(mux_rate * 0.7)
    result = run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                  f"testsrc=size=352x288:rate={VIDEO_FPS}", "-f", "lavfi", "-i",
                  "sine=frequency=1000:sample_rate=48000", "-t", str(SECONDS),
                  "-c:v", "mpeg2video", "-g", "1", "-b:v", str(video_rate),
                  "-minrate", str(video_rate),
                  "-maxrate", str(video_rate), "-bufsize", "1000000", "-c:a", "mp2",
                  "-b:a", "128k", "-f", "mpegts", "-muxrate", str(mux_rate), path])
    if result.returncode != 0:
        sys.exit(f"ffmpeg failed: {result.stderr}")


def packets_of(path):
    data = np.fromfile(path, dtype=np.uint8)
    return data[:len(data) // PACKET * PACKET].reshape(-1, PACKET)


def dispersal_prbs():
    """The 1503 bytes of the energy dispersal sequence (EN 300 744 clause
    4.3.1: 1 + X^14 + X^15, initial state 100101010000000), MSB first."""
    register = [1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0]
    bits = []
    for _ in range(1503 * 8):
        bit = register[13] ^ register[14]
        bits.append(bit)
        register = [bit] + register[:-1]
    return np.packbits(np.array(bits, np.uint8))


def descramble(dispersed):
    """The energy disperser's output back to transport stream packets: sync
    bytes restored to 0x47, the sequence (restarted every 8 packets, clocked
    but not applied on the 7 sync bytes within) removed."""
    prbs = dispersal_prbs()
    assert prbs[0] == 0x03 and prbs[1] == 0xF6, "dispersal sequence wrong"
    packets = dispersed.copy()
    for p in range(len(packets)):
        start = (p % 8) * PACKET
        packets[p, 1:] ^= prbs[start:start + PACKET - 1]
    packets[:, 0] = 0x47
    return packets


def pids_of(packets):
    return ((packets[:, 1].astype(np.int32) & 0x1F) << 8) | packets[:, 2]


def has_pcr(packets):
    return ((packets[:, 3] & 0x20) != 0) & (packets[:, 4] >= 7) & ((packets[:, 5] & 0x10) != 0)


def non_null_without_pcr(packets):
    """The non-null packets with their PCR fields zeroed."""
    kept = packets[pids_of(packets) != NULL_PID].copy()
    kept[has_pcr(kept), 6:12] = 0
    return kept


def analyse(source_dir, path, rate=None):
    command = [sys.executable, "-B", os.path.join(source_dir, "tools", "ts_pcr_analyze.py"),
               path, "--json"] + (["--rate", repr(rate)] if rate else [])
    result = run(command)
    if result.returncode != 0:
        sys.exit(f"analysis of {path} failed: {result.stderr}")
    return json.loads(result.stdout)


def duration_and_frames(path):
    """ffprobe's duration of a file and the number of video frames in it."""
    result = run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                  "-show_entries", "format=duration:stream=nb_read_frames", "-of", "json", path])
    figures = json.loads(result.stdout)
    return float(figures["format"]["duration"]), int(figures["streams"][0]["nb_read_frames"])


def transmit(terramod, tx, source, base):
    """terramod --adapt-rate with the transmitted signal and the energy
    disperser dump; returns the log text, the samples and the stream sent."""
    command = [terramod, "-i", source, "-o", base, "-d", "te", "-v", "2", "-l", base + ".log",
               "--adapt-rate"] + tx.terramod_options()
    result = run(command)
    if result.returncode != 0:
        raise run_interop.CaseFailure(f"terramod exited with {result.returncode}: "
                                      f"{result.stdout}{result.stderr}")
    samples = signal_formats.base_rate_samples(base + ".bin", "float", tx.mode, False)
    os.remove(base + ".bin")
    sent = descramble(packets_of(base + "_ed.bin"))
    return " ".join(command[1:]), result.stdout, samples, sent


def received_window(received, sent, tx, symbol_count):
    """Places the receiver's first packet in the stream sent; returns the
    packets lost at the start and the received packets up to the last that
    can have left the transmitter, after checking them packet for packet."""
    # Null packets and repeated tables make short windows ambiguous; a PCR
    # packet is unique (its PCR only grows), so the first received one places
    # the stream.
    with_pcr = np.nonzero(has_pcr(received))[0]
    if len(with_pcr) == 0:
        raise run_interop.CaseFailure("the receiver delivered no PCR")
    first = int(with_pcr[0])
    places = np.nonzero(np.all(sent == received[first], axis=1))[0]
    if len(places) != 1 or places[0] < first:
        raise run_interop.CaseFailure("the first received PCR packet is not once in the "
                                      "stream sent")
    lost = int(places[0]) - first
    bound = run_interop.start_loss_bound(tx)
    if lost > bound:
        raise run_interop.CaseFailure(f"lost {lost} packets at the start, bound {bound}")
    last_out = run_interop.last_packet_out(symbol_count, tx)
    expected = sent[lost:last_out + 1]
    got = received[:len(expected)]
    if len(got) < len(expected):
        raise run_interop.CaseFailure(f"{len(expected) - len(got)} packets missing before the "
                                      f"last that left the transmitter (#{last_out})")
    differing = int(np.count_nonzero(np.any(got != expected, axis=1)))
    if differing:
        raise run_interop.CaseFailure(f"{differing} received packets differ from those sent")
    return lost, got


def check_case(args, name, mux_rate, tx, channel_rate):
    folder = os.path.join(args.out, name)
    os.makedirs(folder, exist_ok=True)
    source = os.path.join(folder, "input.ts")
    make_ffmpeg_stream(source, mux_rate)
    command, log, samples, sent = transmit(args.terramod, tx, source, os.path.join(folder, "tx"))
    symbol_count = len(samples) // tx.symbol_length
    received_path = os.path.join(folder, "received_raw.ts")
    dvbt_rx.decode(tx, samples, received_path)
    lost, received = received_window(packets_of(received_path), sent, tx, symbol_count)

    problems = []
    source_packets = packets_of(source)
    input_kept = non_null_without_pcr(source_packets)
    # The last cycle is padded with empty packets (0x47 and zeros).
    empty = np.zeros(PACKET, np.uint8)
    empty[0] = 0x47
    padding = len(sent) - next(i for i in range(len(sent), 0, -1)
                               if not np.array_equal(sent[i - 1], empty))
    if not np.array_equal(non_null_without_pcr(sent[:len(sent) - padding]), input_kept):
        problems.append("the non-null packets sent are not the input's")
    # The received non-null packets: the input's from the first one not lost.
    first_kept = int(np.count_nonzero(pids_of(sent[:lost]) != NULL_PID))
    # rx.ts: the received packets up to the last that left the transmitter,
    # without the padding of terramod's last cycle (empty packets on PID 0).
    received = received[:max(0, len(sent) - padding - lost)]
    rx_path = os.path.join(folder, "rx.ts")
    received.tofile(rx_path)
    received_kept = non_null_without_pcr(received)
    if not np.array_equal(received_kept, input_kept[first_kept:first_kept + len(received_kept)]):
        problems.append("the received non-null packets are not a run of the input's")
    tail_kept = len(input_kept) - first_kept - len(received_kept)

    before = analyse(args.source_dir, source)
    after = analyse(args.source_dir, rx_path, channel_rate)
    if after["max_abs_pcr_error_ns"] is None or after["max_abs_pcr_error_ns"] > PCR_ERROR_LIMIT_NS:
        problems.append(f"PCR error {after['max_abs_pcr_error_ns']} ns")
    if after["max_pcr_interval_ms"] is None or after["max_pcr_interval_ms"] > PCR_INTERVAL_LIMIT_MS:
        problems.append(f"PCR interval {after['max_pcr_interval_ms']} ms")
    if after["continuity_errors"]:
        problems.append(f"{after['continuity_errors']} continuity errors")

    decoded = run(["ffmpeg", "-v", "error", "-i", rx_path, "-f", "null", "-"])
    if decoded.returncode != 0 or decoded.stdout.strip() or decoded.stderr.strip():
        problems.append(f"ffmpeg: exit {decoded.returncode}: {decoded.stderr.strip()[:300]}")
    # What the receiver lost at the start, taken off the input: the input
    # file from the first of its packets that was received.
    first_input = int(np.nonzero(pids_of(source_packets) != NULL_PID)[0][first_kept])
    lost_seconds = first_input * PACKET * 8 / before["rate"]
    cut_path = os.path.join(folder, "input_from_first_received.ts")
    source_packets[first_input:].tofile(cut_path)
    expected_duration, expected_frames = duration_and_frames(cut_path)
    received_duration, received_frames = duration_and_frames(rx_path)
    if abs(received_duration - expected_duration) > DURATION_TOLERANCE_S:
        problems.append(f"duration {received_duration:.3f} s, expected {expected_duration:.3f} s")
    if received_frames < expected_frames - DURATION_TOLERANCE_S * VIDEO_FPS:
        problems.append(f"{received_frames} video frames decoded, expected {expected_frames}")

    adapter_report = re.search(r"Largest PCR change\s*:\s*(\S+)", log)
    print(f"{name}: input {before['rate'] / 1e6:.6f} Mbit/s, channel {channel_rate / 1e6:.6f} "
          f"Mbit/s; sent {len(sent) - padding} packets ({len(sent) - padding - len(input_kept)} "
          f"null; {len(source_packets) * channel_rate / before['rate']:.1f} at the channel rate "
          f"for the input's length) + {padding} padding, lost at start "
          f"{lost} (bound {run_interop.start_loss_bound(tx)}), received {len(received)} identical "
          f"to those sent; non-null: {len(received_kept)} of {len(input_kept)} received "
          f"({first_kept} lost at start, {tail_kept} in the tail)")
    print(f"    PCR: max |error| {after['max_abs_pcr_error_ns']:.1f} ns, max interval "
          f"{after['max_pcr_interval_ms']:.3f} ms (input {before['max_pcr_interval_ms']:.3f} ms), "
          f"continuity errors {after['continuity_errors']}, largest PCR change "
          f"{adapter_report.group(1) if adapter_report else '?'} us")
    full_duration, full_frames = duration_and_frames(source)
    print(f"    duration: input {full_duration:.3f} s ({full_frames} video frames), lost at "
          f"start {lost_seconds * 1e3:.1f} ms of input, the input from there "
          f"{expected_duration:.3f} s ({expected_frames} frames), received "
          f"{received_duration:.3f} s ({received_frames} "
          f"frames), tolerance {DURATION_TOLERANCE_S:.3f} s; ffmpeg decode "
          f"{'clean' if not decoded.stderr.strip() else 'ERRORS'}"
          + ("  ok" if not problems else "  FAIL"))
    print(f"    terramod {command}")
    for problem in problems:
        print(f"    FAIL: {problem}")
    sys.stdout.flush()
    return not problems


def check_warning(terramod, folder, name, source, expected_count):
    """terramod without --adapt-rate: count the warnings naming it."""
    base = os.path.join(folder, name)
    result = run([terramod, "-i", source, "-o", base, "-v", "1", "-l", base + ".log"])
    count = (result.stdout + result.stderr).count("--adapt-rate")
    ok = result.returncode == 0 and count == expected_count
    print(f"without --adapt-rate, {name}: exit {result.returncode}, {count} warning(s) naming "
          f"--adapt-rate (expected {expected_count})" + ("  ok" if ok else "  FAIL"))
    if not ok:
        print(result.stdout + result.stderr)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    run_interop.add_build_arguments(parser)
    parser.add_argument("--case", help="run only the case of this name")
    args = parser.parse_args()
    args.out = os.path.join(args.out, "rate_adaptation")
    os.makedirs(args.out, exist_ok=True)
    ok = True
    for name, mux_rate, tx, channel_rate in CASES:
        if args.case and args.case != name:
            continue
        try:
            ok = check_case(args, name, mux_rate, tx, channel_rate) and ok
        except run_interop.CaseFailure as failure:
            print(f"{name}: FAIL: {failure}")
            ok = False
    if not args.case:
        slow = os.path.join(args.out, "ffmpeg_4M_2k_qpsk_12", "input.ts")
        ok = check_warning(args.terramod, args.out, "ffmpeg_4M", slow, 1) and ok
        sample = os.path.join(args.source_dir, "samples", "testcard.ts")
        ok = check_warning(args.terramod, args.out, "testcard", sample, 0) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Rate adaptation of streams made by ffmpeg: 2, 4 and 6 Mbit/s, and the
4 Mbit/s one with its PCR clock drifting by up to 50 ppm, adapted to the
useful bit rates 6.032086 Mbit/s (8 MHz 2k QPSK 1/2 1/32) and 24.128342
Mbit/s (8 MHz 8k 64QAM 2/3 1/32). Each output must hold the channel's packet
count for the input's duration (within one packet), the input's non-null
packets unchanged but for their PCR fields, every PCR within 500 ns of its
packet's position at the channel rate, PCR intervals of 40 ms at most, no
continuity error, and decode with ffmpeg without an error at the input's
duration. A 12 Mbit/s stream on the 6.03 Mbit/s channel must stop with the
message (exit 1) after exactly the packets the message names, and a stream
without PCRs must stop too. Two streams joined end to end, the second on
other PIDs at another rate (as a multiplexer's restart gives), must be timed
on each part's own PCR PID: PCRs within 500 ns on both PIDs and each part's
duration kept.

    rate_adaptation_check.py --adapter BUILD/tests/adapt_ts_file --source-dir SRC --out DIR
"""
import argparse
import json
import os
import re
import subprocess
import sys

import numpy as np

PACKET = 188
CHANNELS = {"6.032086": 6032085.561497327, "24.128342": 24128342.245989308}
PCR_MODULUS = (1 << 33) * 300


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def make_ffmpeg_stream(path, mux_rate, seconds=3, extra=()):
    video_rate = int(mux_rate * 0.7)
    result = run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                  "testsrc=size=352x288:rate=25", "-f", "lavfi", "-i",
                  "sine=frequency=1000:sample_rate=48000", "-t", str(seconds),
                  "-c:v", "mpeg2video", "-b:v", str(video_rate), "-minrate", str(video_rate),
                  "-maxrate", str(video_rate), "-bufsize", "1000000", "-c:a", "mp2",
                  "-b:a", "128k", "-f", "mpegts", "-muxrate", str(mux_rate), *extra, path])
    if result.returncode != 0:
        sys.exit(f"ffmpeg failed: {result.stderr}")


def packets_of(path):
    data = np.fromfile(path, dtype=np.uint8)
    return data[:len(data) // PACKET * PACKET].reshape(-1, PACKET)


def pcr_mask(packets):
    return (((packets[:, 3] & 0x20) != 0) & (packets[:, 4] >= 7) & ((packets[:, 5] & 0x10) != 0))


def make_drifting(source, path, ppm=50.0):
    """The same packets with the PCR clock's rate error growing from 0 to ppm."""
    packets = packets_of(source).copy()
    where = np.nonzero(pcr_mask(packets))[0]
    field = packets[where, 6:12].astype(np.int64)
    base = (field[:, 0] << 25) | (field[:, 1] << 17) | (field[:, 2] << 9) | (field[:, 3] << 1) \
        | (field[:, 4] >> 7)
    values = base * 300 + (((field[:, 4] & 1) << 8) | field[:, 5])
    elapsed = np.concatenate(([0], np.cumsum(np.diff(values) % PCR_MODULUS))).astype(np.float64)
    total = elapsed[-1]
    new = (values[0] + np.round(elapsed + ppm * 1e-6 * elapsed ** 2 / (2 * total))).astype(np.int64)
    new %= PCR_MODULUS
    base, extension = new // 300, new % 300
    packets[where, 6] = base >> 25
    packets[where, 7] = (base >> 17) & 0xFF
    packets[where, 8] = (base >> 9) & 0xFF
    packets[where, 9] = (base >> 1) & 0xFF
    packets[where, 10] = ((base & 1) << 7) | (packets[where, 10] & 0x7E) | (extension >> 8)
    packets[where, 11] = extension & 0xFF
    packets.tofile(path)


def non_null_masked(path):
    packets = packets_of(path)
    pids = ((packets[:, 1].astype(np.int32) & 0x1F) << 8) | packets[:, 2]
    kept = packets[pids != 0x1FFF].copy()
    kept[pcr_mask(kept), 6:12] = 0
    return kept


def analyse(analyzer, path, rate=None):
    command = [sys.executable, "-B", analyzer, path, "--json"]
    if rate:
        command += ["--rate", repr(rate)]
    result = run(command)
    if result.returncode != 0:
        sys.exit(f"analysis of {path} failed: {result.stderr}")
    return json.loads(result.stdout)


def duration(path):
    result = run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                  "csv=p=0", path])
    return float(result.stdout.strip())


def check_adapted(args, analyzer, name, source, channel_name, channel, failures):
    output = os.path.join(args.out, f"{name}_to_{channel_name}.ts")
    result = run([args.adapter, source, output, repr(channel)])
    problems = []
    if result.returncode != 0:
        failures.append(f"{name} -> {channel_name}: exit {result.returncode}: {result.stdout}")
        return
    before = analyse(analyzer, source)
    after = analyse(analyzer, output, channel)
    expected = before["packets"] * 1504 / before["rate"] * channel / 1504
    if abs(after["packets"] - expected) > 1:
        problems.append(f"{after['packets']} packets, expected {expected:.1f}")
    if not np.array_equal(non_null_masked(source), non_null_masked(output)):
        problems.append("the non-null packets differ")
    if after["max_abs_pcr_error_ns"] > 500:
        problems.append(f"PCR error {after['max_abs_pcr_error_ns']:.1f} ns")
    if before["max_pcr_interval_ms"] <= 40 and after["max_pcr_interval_ms"] > 40:
        problems.append(f"PCR interval {after['max_pcr_interval_ms']:.2f} ms")
    if after["continuity_errors"] != before["continuity_errors"]:
        problems.append(f"{after['continuity_errors']} continuity errors")
    decoded = run(["ffmpeg", "-v", "error", "-i", output, "-f", "null", "-"])
    if decoded.returncode != 0 or decoded.stderr.strip():
        problems.append(f"ffmpeg: {decoded.stderr.strip()[:200]}")
    if abs(duration(output) - duration(source)) > 0.05:
        problems.append(f"duration {duration(output)} s, input {duration(source)} s")
    report = re.search(r"Largest PCR change  : (\S+) micros.*Queue high water    : (\d+)",
                       result.stdout, re.S)
    print(f"{name:>9} -> {channel_name:>9} Mbit/s: {before['packets']:6d} packets in, "
          f"{after['packets']:6d} out (expected {expected:9.1f}), nulls {after['null_share']:.1%}, "
          f"max PCR error {after['max_abs_pcr_error_ns']:6.1f} ns, max PCR interval "
          f"{after['max_pcr_interval_ms']:.2f} ms, largest PCR change {report.group(1)} us, "
          f"queue high water {report.group(2)} packets"
          + ("" if not problems else "  FAIL: " + "; ".join(problems)))
    failures.extend(f"{name} -> {channel_name}: {p}" for p in problems)


def check_joined(args, analyzer, first, second, failures):
    joined = os.path.join(args.out, "joined.ts")
    with open(joined, "wb") as out:
        for part in (first, second):
            with open(part, "rb") as source:
                out.write(source.read())
    output = os.path.join(args.out, "joined_adapted.ts")
    channel = CHANNELS["6.032086"]
    result = run([args.adapter, joined, output, repr(channel)])
    if result.returncode != 0:
        failures.append(f"joined: exit {result.returncode}: {result.stdout}")
        return
    problems = []
    expected = sum(analyse(analyzer, part)["packets"] * 1504 / analyse(analyzer, part)["rate"]
                   for part in (first, second)) * channel / 1504
    after = analyse(analyzer, output, channel)
    # The second part's packets before its first PCR (its tables) go at the
    # first part's rate: the new timeline starts where the old one had got to.
    if abs(after["packets"] - expected) > 8:
        problems.append(f"{after['packets']} packets, expected {expected:.1f}")
    if after["max_abs_pcr_error_ns"] > 500:
        problems.append(f"PCR error {after['max_abs_pcr_error_ns']:.1f} ns")
    if not np.array_equal(non_null_masked(joined), non_null_masked(output)):
        problems.append("the non-null packets differ")
    if "the PCR moved from PID 256 to PID 512" not in result.stdout:
        problems.append("no line saying the PCR moved")
    print(f"   joined -> 6.032086 Mbit/s: {after['packets']} packets out (expected "
          f"{expected:.1f}), max PCR error {after['max_abs_pcr_error_ns']:.1f} ns"
          + ("" if not problems else "  FAIL: " + "; ".join(problems)))
    failures.extend(f"joined: {p}" for p in problems)


def check_stops(args, source, expected_message, failures):
    output = os.path.join(args.out, os.path.basename(source).replace(".ts", "_adapted.ts"))
    result = run([args.adapter, source, output, repr(CHANNELS["6.032086"])])
    print(f"{os.path.basename(source)} -> 6.032086 Mbit/s: exit {result.returncode}: "
          f"{result.stdout.strip()}")
    if result.returncode != 1 or not result.stdout.startswith(expected_message):
        failures.append(f"{source}: expected exit 1 and '{expected_message}'")
        return
    sent = re.search(r"Nothing after output packet #(\d+) was sent", result.stdout)
    size = os.path.getsize(output)
    if sent and size != int(sent.group(1)) * PACKET:
        failures.append(f"{source}: {size} bytes written, the message says {sent.group(1)} packets")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--adapter", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    analyzer = os.path.join(args.source_dir, "tools", "ts_pcr_analyze.py")
    streams = {}
    for mbit in (2, 4, 6, 12):
        streams[f"{mbit}M"] = os.path.join(args.out, f"ffmpeg_{mbit}M.ts")
        make_ffmpeg_stream(streams[f"{mbit}M"], mbit * 1000000)
    streams["moved"] = os.path.join(args.out, "ffmpeg_3M5_moved_pids.ts")
    make_ffmpeg_stream(streams["moved"], 3500000,
                       extra=("-mpegts_start_pid", "0x200", "-mpegts_pmt_start_pid", "0x1100"))
    streams["4M_drift"] = os.path.join(args.out, "ffmpeg_4M_drift50ppm.ts")
    make_drifting(streams["4M"], streams["4M_drift"])
    no_pcr = os.path.join(args.out, "random_no_pcr.ts")
    subprocess.run([sys.executable, "-B", os.path.join(args.source_dir, "tools",
                                                        "make_random_ts.py"), no_pcr, "3000"],
                   check=True)

    failures = []
    for name in ("2M", "4M", "6M", "4M_drift"):
        for channel_name, channel in CHANNELS.items():
            check_adapted(args, analyzer, name, streams[name], channel_name, channel, failures)
    check_joined(args, analyzer, streams["2M"], streams["moved"], failures)
    check_stops(args, streams["12M"], "FATAL ERROR: the stream needs ", failures)
    check_stops(args, no_pcr, "FATAL ERROR: the stream carries no PCR", failures)
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Live input end to end: an ffmpeg stream (20 s, muxed at 4.5 Mbit/s) played
over the loopback interface by tests/interop/ts_sender.py, received by
`terramod -i udp://... | srt://... --adapt-rate` and transmitted at pace to
the SoapySDR test device (tests/soapy_device: record=, pace=1) on 2k QPSK 1/2
guard 1/4, 8 MHz (4.976471 Mbit/s); terramod is stopped with SIGINT once the
sender is done and what it held has gone out, and gr-dtv's receiver decodes
the recording. Checked:

- terramod's exit code is 0 and its log totals no underflow, late burst or
  stream error;
- the decoded stream's packets, null packets aside and PCR fields (restamped)
  and discontinuity flags masked, are those the sender sent, in order (for RTP
  in sequence order: terramod puts reordered datagrams back), less those
  dropped on purpose, from the first one the receiver delivers (at most its
  usual start-up loss) to the last one sent;
- a stall of the sender is filled with null packets on the air, and one TS
  loss alarm ends, both lasting the pause less what the buffer still held
  (from the sender's last datagram to the alarm) plus the buffer's target,
  to which it is filled again, within 0.1 s; no other case has a TS loss
  that ended (the one open at the end, after the sender finished, is
  expected);
- every PCR within 500 ns of its packet's position at the channel's useful
  rate (tools/ts_pcr_analyze.py, a new timeline at each discontinuity
  indicator), and the continuity errors those of the stream sent;
- `ffmpeg -v error` on the decoded stream from its first video sequence
  header says nothing it does not also say on the stream sent from the same
  packet (for losses on purpose it does say something there).

Figures printed: the time from terramod's start and from the sender's first
datagram to the first sample the device sent; how long the buffer lasted
once the sender stopped (before the stall, at the end; over SRT its latency
too); the start of
transmission, the TS loss alarms, the rate adapter's steering and the other
figures terramod logs; PCR accuracy and intervals; the sender's worst
lateness.

    live_input_rx.py --terramod PATH --source-dir DIR --out DIR [--case NAME]...
                     [--soapy-modules DIR] [--keep-recording]
    live_input_rx.py --long [--speed N] [--minutes M] ...

--long is the accelerated run (not in the suite): 10 minutes of stream at
+200 ppm sent 3 times faster over RTP, the test device taking 3 times the
sample rate (speed=3) and recording nothing; it checks for underflows and TS
losses and prints the buffer figures. On a loaded 2-core machine speed 5
is too fast for terramod and the sender. Multicast cases skip when the
loopback interface does not deliver multicast, the SRT case when terramod
was built without SRT or srt-live-transmit is missing. Exit status: 0 the
cases passed (some may have skipped), 1 one failed, 77 all skipped.
"""
import argparse
import collections
import datetime
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field

import numpy as np
from gnuradio import blocks, gr

from dvbt_params import PACKET_SIZE, SAMPLING_RATES, Transmission
import dvbt_rx
import loop_rx
import run_interop
import ts_pcr_analyze
import ts_sender

PACKET = PACKET_SIZE
NULL_PID = 0x1FFF
CHANNEL = Transmission("2k", 4, "NH", "1/2", "1/4")
# 63 packets per frame of 68 symbols of 2560 samples at 64/7 MHz.
CHANNEL_RATE = float(CHANNEL.packets_per_frame * PACKET * 8 * SAMPLING_RATES[8]
                     / CHANNEL.frame_length)
MUX_RATE = 4500000
STREAM_SECONDS = 20
VIDEO_FPS = 25
FREQUENCY = "474e6"
# terramod's defaults: the jitter buffer and the device's priming.
INPUT_BUFFER_S = 0.2
PRIME_S = 0.1
# After the sender's last datagram: the jitter buffer, the rate adapter's
# queue and the device's buffer to go out, with room for a loaded machine.
STOP_MARGIN_S = 1.5
READY_TIMEOUT_S = 15
STOP_TIMEOUT_S = 30
PCR_ERROR_LIMIT_NS = 500
# How far a stall's null packets on the air, and its TS loss alarm, may be
# from what the sender's pause and the buffer give (stall_expected()).
STALL_TOLERANCE_S = 0.1
# cs16 samples are divided by this before the receiver (it equalises).
CS16_DIVISOR = 8192.0
# The test device's buffer and largest write at speed 1 (its defaults).
DEVICE_BUFFER = 1048576
ACCELERATED_MTU = 65536
# Received packets matched at once to place the receiver's first packet.
PLACEMENT_WINDOW = 16
MULTICAST_GROUP = "239.255.93.{}"
# The exit code when every case asked for was skipped (CTest's
# SKIP_RETURN_CODE).
SKIPPED_EXIT_CODE = 77


@dataclass(frozen=True)
class Case:
    name: str
    scheme: str                      # udp, rtp or srt
    multicast: bool = False
    faults: tuple = ()               # ts_sender.py options
    stall: tuple = None              # (at s, for s)
    ppm: float = 0.0
    speed: float = 1.0
    seconds: float = STREAM_SECONDS
    recorded: bool = True

    def sender_options(self):
        options = list(self.faults)
        if self.stall:
            options += ["--stall", f"{self.stall[0]:g}:{self.stall[1]:g}"]
        if self.ppm:
            options += ["--ppm", f"{self.ppm:g}"]
        if self.speed != 1:
            options += ["--speed", f"{self.speed:g}"]
        return options


CASES = (
    Case("udp", "udp"),
    Case("udp_multicast", "udp", multicast=True),
    Case("rtp_jitter_reorder_loss", "rtp",
         faults=("--jitter-ms", "20", "--reorder", "0.01", "--loss", "0.001", "--seed", "3")),
    Case("srt", "srt"),
    Case("udp_stall_3s", "udp", stall=(8.0, 3.0)),
    Case("udp_plus_200ppm", "udp", ppm=200),
    Case("udp_minus_200ppm", "udp", ppm=-200),
)


def long_case(minutes, speed):
    return Case(f"long_{minutes:g}min_speed{speed:g}_plus200ppm", "rtp", ppm=200, speed=speed,
                seconds=minutes * 60, recorded=False)


class CaseSkipped(Exception):
    pass


# ---------------------------------------------------------------- stream

def make_stream(path, seconds):
    """testsrc and a sine, MPEG-2 video (a GOP of 12) and MPEG-1 layer II
    audio, muxed at MUX_RATE: a stream the channel carries."""
    video_rate = int(MUX_RATE * 0.6)
    result = subprocess.run(
        ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
         f"testsrc=size=352x288:rate={VIDEO_FPS}", "-f", "lavfi", "-i",
         "sine=frequency=1000:sample_rate=48000", "-t", f"{seconds:g}",
         "-c:v", "mpeg2video", "-g", "12", "-b:v", str(video_rate), "-minrate", str(video_rate),
         "-maxrate", str(video_rate), "-bufsize", "1000000", "-c:a", "mp2", "-b:a", "128k",
         "-f", "mpegts", "-muxrate", str(MUX_RATE), path], capture_output=True, text=True)
    if result.returncode != 0:
        raise run_interop.CaseFailure(f"ffmpeg failed: {result.stderr.strip()[-300:]}")


def packets_of(path):
    data = np.fromfile(path, dtype=np.uint8)
    return data[:len(data) // PACKET * PACKET].reshape(-1, PACKET)


def pids_of(packets):
    return ((packets[:, 1].astype(np.int32) & 0x1F) << 8) | packets[:, 2]


def comparable(packets):
    """The non-null packets with what terramod may change masked: the PCR
    field (restamped) and the discontinuity indicator (set on a new
    timeline). Returns them and their positions."""
    positions = np.nonzero(pids_of(packets) != NULL_PID)[0]
    kept = packets[positions].copy()
    adaptation = ((kept[:, 3] & 0x20) != 0) & (kept[:, 4] >= 1)
    kept[adaptation, 5] &= 0x7F
    with_pcr = adaptation & (kept[:, 4] >= 7) & ((kept[:, 5] & 0x10) != 0)
    kept[with_pcr, 6:12] = 0
    return kept, positions


# ---------------------------------------------------------------- the run

@dataclass
class RunResult:
    command: str
    exit_code: int
    log: str
    record: dict
    launched: float                   # monotonic, terramod started
    first_sample: float = None        # monotonic, the recording's first bytes
    sender_output: str = ""
    notes: list = field(default_factory=list)


def wait_for_text(path, text, process, deadline):
    while time.monotonic() < deadline:
        if os.path.exists(path):
            with open(path, errors="replace") as log:
                if text in log.read():
                    return True
        if process.poll() is not None:
            return False
        time.sleep(0.02)
    return False


def addresses(case, port):
    """terramod's -i and the sender's --to for the case."""
    if case.scheme == "srt":
        return (f"srt://:{port}?mode=listener&latency=120",
                f"srt://127.0.0.1:{port}?mode=caller&latency=120")
    if case.multicast:
        group = MULTICAST_GROUP.format(1 + os.getpid() % 250)
        return f"udp://{group}:{port}?interface=lo", f"udp://{group}:{port}"
    return f"udp://127.0.0.1:{port}", f"{case.scheme}://127.0.0.1:{port}"


def device_arguments(case, recording):
    arguments = "driver=terramod_test,pace=1"
    if case.recorded:
        arguments += f",record={recording}"
    if case.speed != 1:
        # The device's buffer lasts as long as at speed 1, and takes more
        # per call, so that it is not the host's bottleneck.
        arguments += (f",speed={case.speed:g},buffer={int(DEVICE_BUFFER * case.speed)}"
                      f",mtu={ACCELERATED_MTU}")
    return arguments


def run_live(args, case, folder, stream_path):
    port = ts_sender.free_udp_port()
    source_uri, destination = addresses(case, port)
    recording = os.path.join(folder, "recording.cs16")
    log_path = os.path.join(folder, "tx.log")
    record_path = os.path.join(folder, "sent.json")
    for path in (recording, log_path, record_path):
        if os.path.exists(path):
            os.remove(path)
    command = [args.terramod, "-i", source_uri, "--adapt-rate", *CHANNEL.terramod_options(),
               "--device", device_arguments(case, recording), "--frequency", FREQUENCY,
               "--sample-type", "cs16", "-v", "2", "-l", log_path]
    environment = dict(os.environ, SOAPY_SDR_PLUGIN_PATH=args.soapy_modules)
    with open(os.path.join(folder, "tx.console"), "w") as console:
        launched = time.monotonic()
        terramod = subprocess.Popen(command, stdout=console, stderr=subprocess.STDOUT,
                                    env=environment)
    sender = None
    result = RunResult(" ".join(command[1:]), None, "", {}, launched)
    try:
        if not wait_for_text(log_path, "filling the", terramod, launched + READY_TIMEOUT_S):
            with open(os.path.join(folder, "tx.console"), errors="replace") as console:
                said = console.read()
            if case.scheme == "srt" and "built without SRT" in said:
                raise CaseSkipped("this terramod was built without SRT")
            raise run_interop.CaseFailure(f"terramod not receiving after {READY_TIMEOUT_S} s "
                                          f"(exit {terramod.poll()}): {said.strip()[-300:]}")
        sender_command = [sys.executable, "-B", os.path.join(os.path.dirname(__file__),
                                                             "ts_sender.py"),
                          stream_path, "--to", destination, "--record", record_path,
                          *case.sender_options()]
        sender = subprocess.Popen(sender_command, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        sender_deadline = time.monotonic() + (case.seconds + (case.stall or (0, 0))[1]) \
            / case.speed + 30
        while sender.poll() is None:
            if result.first_sample is None and case.recorded and os.path.exists(recording) \
                    and os.path.getsize(recording) > 0:
                result.first_sample = time.monotonic()
            if terramod.poll() is not None:
                raise run_interop.CaseFailure(f"terramod ended early (exit {terramod.poll()})")
            if time.monotonic() > sender_deadline:
                raise run_interop.CaseFailure("the sender did not finish in time")
            time.sleep(0.002 if result.first_sample is None else 0.1)
        result.sender_output = sender.stdout.read().strip()
        if sender.returncode != 0:
            raise run_interop.CaseFailure(f"the sender failed ({sender.returncode}): "
                                          f"{result.sender_output[-300:]}")
        time.sleep(STOP_MARGIN_S)
    finally:
        if sender and sender.poll() is None:
            sender.kill()
            sender.wait()
        if terramod.poll() is None:
            terramod.send_signal(signal.SIGINT)
        try:
            result.exit_code = terramod.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            terramod.kill()
            terramod.wait()
            result.notes.append(f"terramod did not stop within {STOP_TIMEOUT_S} s of SIGINT")
    with open(log_path, errors="replace") as log:
        result.log = log.read()
    with open(record_path) as text:
        result.record = json.load(text)
    return result


def decode(recording, output_path):
    """The cs16 recording through gr-dtv's receiver."""
    top = gr.top_block()
    chain = [blocks.file_source(gr.sizeof_short, recording, False),
             blocks.interleaved_short_to_complex(False, False, CS16_DIVISOR),
             *dvbt_rx.demodulation(CHANNEL), *dvbt_rx.decoding(CHANNEL),
             blocks.file_sink(gr.sizeof_char, output_path, False)]
    top.connect(*chain)
    top.run()


# ---------------------------------------------------------------- the log

@dataclass
class LogFigures:
    totals: tuple = None         # underflows, late bursts, stream errors
    start: str = None            # "0.299 s buffered after 1.402 s"
    losses_begun: list = field(default_factory=list)    # UTC seconds
    losses_ended: list = field(default_factory=list)   # seconds
    loss_report: str = None
    buffer_lines: list = field(default_factory=list)
    report_lines: list = field(default_factory=list)


def utc_seconds(text):
    """"2026-12-09T01:13:58.733Z" as seconds since the epoch."""
    moment = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ")
    return moment.replace(tzinfo=datetime.timezone.utc).timestamp()


def buffer_when_input_stopped(figures, record):
    """How long the buffer lasted once the sender stopped: from its last
    datagram (before the stall, or of all) to the TS loss alarm, the log's
    times being to the millisecond. Returns (at the stall, at the end); None
    where there is no such alarm."""
    def first_loss_after(moment):
        later = [start - moment for start in figures.losses_begun if start >= moment - 0.05]
        return min(later) if later else None
    at_stall = first_loss_after(record["stall_utc"]) if record.get("stall_utc") else None
    return at_stall, first_loss_after(record["ended_utc"])


def read_log(log):
    figures = LogFigures()
    totals = re.findall(r"SDR underflows: (\d+), late bursts: (\d+), stream errors: (\d+)", log)
    if totals:
        figures.totals = tuple(int(n) for n in totals[-1])
    start = re.search(r"Live input \S+: ([\d.]+ s buffered after [\d.]+ s): transmission starts",
                      log)
    figures.start = start.group(1) if start else None
    figures.losses_begun = [utc_seconds(text) for text in re.findall(
        r"WARNING: TS loss: .* null packets from (\S+)", log)]
    figures.losses_ended = [float(s) for s in re.findall(r"TS loss ended: .*\(([\d.]+) s\)", log)]
    report = re.search(r"TS losses: .*", log)
    figures.loss_report = report.group(0) if report else None
    for line in log.splitlines():
        if re.search(r"buffer|fill|servo", line, re.IGNORECASE) and "transmission starts" \
                not in line and "filling the" not in line:
            figures.buffer_lines.append(line.strip())
    # The end of run report: the rate adapter's figures (steering, re-anchors,
    # null packets) and the live input's (datagrams, RTP, losses).
    report = log.split("Rate adaptation:", 1)
    if len(report) == 2:
        figures.report_lines = [re.sub(r"\s+", " ", line).strip()
                                for line in report[1].splitlines()
                                if ":" in line and not line.startswith("-")]
    return figures


# ---------------------------------------------------------------- checks

def expected_packets(source, record, scheme):
    """The packets terramod should pass on, in order: those sent, less the
    dropped ones; RTP's in sequence order."""
    sent = np.array(record["sent_packets"], dtype=np.int64)
    order = np.sort(sent) if scheme == "rtp" else sent
    return order, source[order]


def place(received_kept, expected_kept):
    """Where the received non-null packets start among those expected."""
    window = min(PLACEMENT_WINDOW, len(received_kept))
    if window == 0:
        raise run_interop.CaseFailure("no packet received")
    first = received_kept[0].tobytes()
    candidates = [index for index in range(len(expected_kept) - window + 1)
                  if expected_kept[index].tobytes() == first
                  and np.array_equal(expected_kept[index:index + window],
                                     received_kept[:window])]
    if len(candidates) != 1:
        raise run_interop.CaseFailure(f"the first received packets are {len(candidates)} times "
                                      "among those sent")
    return candidates[0]


def first_difference(received, expected):
    length = min(len(received), len(expected))
    differing = np.nonzero(np.any(received[:length] != expected[:length], axis=1))[0]
    return int(differing[0]) if len(differing) else length


def ffmpeg_messages(path):
    result = subprocess.run(["ffmpeg", "-v", "error", "-threads", "1", "-i", path, "-f", "null",
                             "-"], capture_output=True, text=True)
    text = result.stdout + result.stderr
    # "[mpeg2video @ 0x55d1c2f0a9c0] ..." -> "[mpeg2video] ..."
    lines = [re.sub(r" @ 0x[0-9a-f]+\]", "]", line).strip() for line in text.splitlines()]
    return result.returncode, collections.Counter(line for line in lines if line)


def stall_expected(case, figures, record):
    """The null packets on the air for the sender's stall, in seconds: the
    buffer bridges the start of the pause with what it held (measured from
    the log), and is filled to its target again before packets go out, so
    the loss lasts the pause, less what the buffer held, plus its target."""
    held, _ = buffer_when_input_stopped(figures, record)
    return case.stall[1] - (held if held is not None else INPUT_BUFFER_S) + INPUT_BUFFER_S


def check_stream(case, folder, stream_path, record, received, expected_stall, problems,
                 report):
    source = packets_of(stream_path)
    order, expected = expected_packets(source, record, case.scheme)
    expected_kept, expected_positions = comparable(expected)
    received_kept, received_positions = comparable(received)
    start = place(received_kept, expected_kept)
    bound = run_interop.start_loss_bound(CHANNEL)
    if start > bound:
        problems.append(f"{start} packets lost at the start, bound {bound}")
    wanted = expected_kept[start:]
    difference = first_difference(received_kept, wanted)
    if difference < min(len(received_kept), len(wanted)):
        source_index = int(order[expected_positions[start + difference]])
        problems.append(f"received packet {difference} differs from the one sent (packet "
                        f"{source_index} of the stream)")
    elif len(received_kept) < len(wanted):
        problems.append(f"the last {len(wanted) - len(received_kept)} packets sent were not "
                        "received")
    elif len(received_kept) > len(wanted):
        problems.append(f"{len(received_kept) - len(wanted)} packets received that were not sent")
    report["matched"] = (start, min(len(received_kept), len(wanted)), len(expected_kept))
    report["lost_on_purpose"] = len(record["lost_packets"])

    if case.stall:
        check_stall(record, order, expected_positions, start, received, received_positions,
                    expected_stall, problems, report)

    # The stream sent from the first packet received: the reference.
    reference = expected[expected_positions[start]:]
    reference_path = os.path.join(folder, "sent_from_first_received.ts")
    reference.tofile(reference_path)
    received_from_first = received[received_positions[0]:]
    rx_path = os.path.join(folder, "rx.ts")
    received_from_first.tofile(rx_path)
    timing = ts_pcr_analyze.analyse(rx_path, CHANNEL_RATE)
    report["pcr"] = timing
    worst = timing["max_abs_pcr_error_ns"]
    if worst is None or worst > PCR_ERROR_LIMIT_NS:
        problems.append(f"PCR error {worst} ns")
    sent_continuity = ts_pcr_analyze.analyse(reference_path, None)["continuity_errors_by_pid"]
    if timing["continuity_errors_by_pid"] != sent_continuity:
        problems.append(f"continuity errors {timing['continuity_errors_by_pid']}, in the stream "
                        f"sent {sent_continuity}")
    report["sent_continuity"] = sent_continuity
    check_decoding(folder, received_from_first, reference, problems, report)


def check_stall(record, order, expected_positions, start, received, received_positions,
                expected_stall, problems, report):
    """The packets between the last one before the stall and the first after
    it are null packets lasting the stall."""
    kept_indices = order[expected_positions]
    after = int(np.argmax(kept_indices >= record["stall_packet"])) - start
    if after <= 0 or after >= len(received_positions):
        problems.append("the stall is not in the received stream")
        return
    first, last = received_positions[after - 1], received_positions[after]
    gap = received[first + 1:last]
    if np.any(pids_of(gap) != NULL_PID):
        problems.append("the stall holds packets other than null packets")
    seconds = (len(gap) + 1) * PACKET * 8 / CHANNEL_RATE
    report["stall_on_air"] = (len(gap), seconds)
    if abs(seconds - expected_stall) > STALL_TOLERANCE_S:
        problems.append(f"the stall lasts {seconds:.3f} s on the air, {expected_stall:.3f} s "
                        "expected")


def check_decoding(folder, received, reference, problems, report):
    """ffmpeg on both from the first video sequence header received."""
    starts = [index for index, header in loop_rx.video_pes_starts(received) if header]
    if not starts:
        problems.append("no video sequence header received")
        return
    received_kept, _ = comparable(received[starts[0]:starts[0] + 1])
    reference_kept, reference_positions = comparable(reference)
    matches = np.nonzero(np.all(reference_kept == received_kept[0], axis=1))[0]
    if len(matches) != 1:
        problems.append("the first sequence header received is not once in the stream sent")
        return
    paths = {}
    for name, packets in (("rx_pictures.ts", received[starts[0]:]),
                          ("sent_pictures.ts", reference[reference_positions[matches[0]]:])):
        paths[name] = os.path.join(folder, name)
        packets.tofile(paths[name])
    received_code, received_says = ffmpeg_messages(paths["rx_pictures.ts"])
    sent_code, sent_says = ffmpeg_messages(paths["sent_pictures.ts"])
    extra = received_says - sent_says
    report["ffmpeg"] = (sum(received_says.values()), sum(sent_says.values()), extra)
    if received_code != 0 or extra:
        problems.append(f"ffmpeg (exit {received_code}) says on the decoded stream what it does "
                        f"not on the one sent: {list(extra.elements())[:5]}")


def check_log(case, result, figures, problems):
    if result.exit_code is not None and result.exit_code != 0:
        problems.append(f"terramod exited with {result.exit_code}")
    problems.extend(result.notes)
    if figures.totals is None:
        problems.append("no SDR underflow total in the log")
    elif any(figures.totals):
        problems.append("SDR underflows {}, late bursts {}, stream errors {}".format(
            *figures.totals))
    stalls = 1 if case.stall else 0
    if len(figures.losses_ended) != stalls:
        problems.append(f"{len(figures.losses_ended)} TS losses ended, {stalls} expected "
                        f"({len(figures.losses_begun)} begun)")
    if case.stall and figures.losses_ended:
        expected = stall_expected(case, figures, result.record)
        if abs(figures.losses_ended[0] - expected) > STALL_TOLERANCE_S:
            problems.append(f"the TS loss lasted {figures.losses_ended[0]:.3f} s, "
                            f"{expected:.3f} s expected")


# ---------------------------------------------------------------- a case

def run_case(args, case):
    folder = os.path.join(args.out, case.name)
    os.makedirs(folder, exist_ok=True)
    if case.multicast and not ts_sender.multicast_loopback_works():
        raise CaseSkipped("multicast on the loopback interface is not delivered here")
    if case.scheme == "srt" and shutil.which("srt-live-transmit") is None:
        raise CaseSkipped("srt-live-transmit (Debian: srt-tools) is not installed")
    stream_path = os.path.join(folder, "stream.ts")
    make_stream(stream_path, case.seconds)
    started = time.monotonic()
    result = run_live(args, case, folder, stream_path)
    run_seconds = time.monotonic() - started
    figures = read_log(result.log)
    problems, report = [], {}
    check_log(case, result, figures, problems)
    recording = os.path.join(folder, "recording.cs16")
    if case.recorded:
        received_path = os.path.join(folder, "received_raw.ts")
        decode(recording, received_path)
        if not args.keep_recording:
            os.remove(recording)
        received = packets_of(received_path)
        expected_stall = stall_expected(case, figures, result.record) if case.stall else None
        check_stream(case, folder, stream_path, result.record, received, expected_stall,
                     problems, report)
    print_report(case, result, figures, report, problems, run_seconds,
                 time.monotonic() - started)
    return not problems


def print_report(case, result, figures, report, problems, run_seconds, total_seconds):
    record = result.record
    print(f"{case.name}: {record.get('stream_seconds', 0):.1f} s of stream "
          f"({record.get('packets')} packets) to {record.get('destination')}, "
          f"{' '.join(case.sender_options()) or 'no faults'}; run {run_seconds:.1f} s, "
          f"case {total_seconds:.1f} s" + ("  ok" if not problems else "  FAIL"))
    print(f"    sender: {result.sender_output}")
    if result.first_sample is not None:
        print(f"    first sample sent {result.first_sample - result.launched:.3f} s after "
              f"terramod's start, {result.first_sample - record['started_monotonic']:.3f} s "
              f"after the sender's first datagram (buffer {INPUT_BUFFER_S:g} s + priming "
              f"{PRIME_S:g} s)")
    print(f"    terramod: exit {result.exit_code}; transmission started with {figures.start}; "
          f"SDR underflows/late/errors {figures.totals}; TS loss alarms "
          f"{len(figures.losses_begun)} "
          f"(ended: {', '.join(f'{s:.3f} s' for s in figures.losses_ended) or 'none'}); "
          f"{figures.loss_report}")
    at_stall, at_end = buffer_when_input_stopped(figures, record)
    print("    the buffer lasted " + ", ".join(
        f"{seconds:.3f} s after the sender's last datagram {when}"
        for seconds, when in ((at_stall, "before the stall"), (at_end, "of all"))
        if seconds is not None) + f" (target {INPUT_BUFFER_S:g} s)")
    for line in figures.buffer_lines[:10] + figures.report_lines:
        print(f"    log: {line}")
    if "matched" in report:
        start, matched, total = report["matched"]
        print(f"    received: {matched} of the {total} non-null packets sent ({start} lost at the "
              f"start while the receiver acquired; {report['lost_on_purpose']} dropped on "
              f"purpose before that)")
    if "stall_on_air" in report:
        count, seconds = report["stall_on_air"]
        print(f"    stall on the air: {count} null packets, {seconds:.3f} s "
              f"({stall_expected(case, figures, record):.3f} s expected)")
    if "pcr" in report:
        pcr = report["pcr"]
        timelines = sum(f["timelines"] for f in pcr["pcr_pids"].values())
        print(f"    PCR: max |error| {pcr['max_abs_pcr_error_ns']:.1f} ns at "
              f"{CHANNEL_RATE / 1e6:.6f} Mbit/s over {timelines} timeline(s), max interval "
              f"{pcr['max_pcr_interval_ms']:.1f} ms; continuity errors "
              f"{pcr['continuity_errors_by_pid']} (sent: {report['sent_continuity']})")
    if "ffmpeg" in report:
        said, said_on_sent, extra = report["ffmpeg"]
        print(f"    ffmpeg -v error: {said} lines on the decoded stream, {said_on_sent} on the "
              f"stream sent, {sum(extra.values())} more")
    print(f"    terramod {result.command}")
    for problem in problems:
        print(f"    FAIL: {problem}")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    run_interop.add_build_arguments(parser)
    parser.add_argument("--soapy-modules",
                        help="the test device module's folder (default: tests/soapy_modules "
                             "beside terramod)")
    parser.add_argument("--case", action="append", choices=[case.name for case in CASES],
                        help="run only this case (may be repeated)")
    parser.add_argument("--long", action="store_true", help="the accelerated long run only")
    parser.add_argument("--minutes", type=float, default=10, help="--long: minutes of stream")
    parser.add_argument("--speed", type=float, default=3, help="--long: speed factor")
    parser.add_argument("--keep-recording", action="store_true")
    args = parser.parse_args()
    args.terramod = os.path.abspath(args.terramod)
    args.soapy_modules = args.soapy_modules or os.path.join(os.path.dirname(args.terramod),
                                                            "tests", "soapy_modules")
    args.out = os.path.join(args.out, "live_input")
    if args.long:
        cases = [long_case(args.minutes, args.speed)]
    else:
        cases = [case for case in CASES if not args.case or case.name in args.case]
    ok, skipped = True, 0
    for case in cases:
        try:
            ok = run_case(args, case) and ok
        except CaseSkipped as reason:
            print(f"{case.name}: skipped: {reason}")
            skipped += 1
        except run_interop.CaseFailure as failure:
            print(f"{case.name}: FAIL: {failure}")
            ok = False
    if not ok:
        return 1
    return SKIPPED_EXIT_CODE if skipped == len(cases) else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""An operator's view of a run, end to end: terramod transmits a live UDP
input (an ffmpeg stream played by tests/interop/ts_sender.py, which pauses it
for 2 s) to the SoapySDR test device, with --control, --metrics-listen and
--events, while this script

- scrapes the metrics endpoint and parses it with prometheus_client's parser
  (Python package prometheus_client, Debian python3-prometheus-client): the
  counters move as the faults come (an underflow the device reports, the
  input's stall: a TS loss);
- uses the control interface: `get`, a `set gain` that the device sees
  between two cycles (the test device's settings= file gives the samples it
  had received then), a `set mute` after which the device's recording is,
  cycle for cycle, the signal a run of null packets gives, errors for bad
  commands and values and for a second client, the transmission going on;
- reads the events file: start, on air, the TS loss, the underflow, the
  parameter changes and the stop, each with a time.

    operations_check.py --terramod PATH --source-dir DIR --soapy-modules DIR --out DIR
"""
import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

SETTINGS = ["-2k", "-M", "4", "-p", "1/2", "-D", "1/4", "-b", "8"]
SAMPLE_RATE = 64e6 / 7
CHANNEL_RATE = 4976470.6  # bit/s of 2k QPSK 1/2 1/4 in 8 MHz
MUX_RATE = 4500000
STREAM_SECONDS = 9
STALL = (4.0, 2.0)  # at 4 s of the stream, 2 s without datagrams
UNDERFLOW_AT_SECONDS = 3.0
READY_TIMEOUT_S = 20
PACKET = 188
NULL_PACKET = bytes([0x47, 0x1F, 0xFF, 0x10]) + b"\xff" * 184


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def make_stream(path, seconds):
    video_rate = int(MUX_RATE * 0.6)
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=352x288:rate=25",
         "-t", f"{seconds:g}", "-c:v", "mpeg2video", "-g", "12", "-b:v", str(video_rate),
         "-minrate", str(video_rate), "-maxrate", str(video_rate), "-bufsize", "1000000",
         "-f", "mpegts", "-muxrate", str(MUX_RATE), path], check=True)


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(predicate, deadline, what, process):
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        if process.poll() is not None:
            raise Failure(f"terramod ended (exit {process.returncode}) before {what}")
        time.sleep(0.05)
    raise Failure(f"timed out waiting for {what}")


def text_of(path):
    try:
        with open(path, errors="replace") as stream:
            return stream.read()
    except FileNotFoundError:
        return ""


class ControlClient:
    def __init__(self, path):
        self.connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.connection.settimeout(5)
        self.connection.connect(path)
        self.reader = self.connection.makefile("r")

    def ask(self, line):
        self.connection.sendall((line + "\n").encode())
        reply = self.reader.readline()
        check(reply.endswith("\n"), f"no whole reply to {line!r}: {reply!r}")
        return reply.rstrip("\n")

    def close(self):
        self.reader.close()
        self.connection.close()


def scrape(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        check(response.status == 200, f"{url}: HTTP {response.status}")
        text = response.read().decode()
    values = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            values[sample.name] = sample.value
    return values


def control_session(path, log_path, process):
    """The replies to a session's commands; the cycles the changes named."""
    client = ControlClient(path)
    replies = {}
    for command in ("get gain", "get frequency", "get mute", "get cycles_total", "list",
                    "set gain 99", "set gain abc", "set mute 2", "frobnicate", "get nothing",
                    "set frequency 7e9", "set gain 20"):
        replies[command] = client.ask(command)
    # A second client is turned away; the first goes on.
    second = ControlClient(path)
    replies["second client"] = second.reader.readline().rstrip("\n")
    second.close()
    replies["get gain after"] = client.ask("get gain")
    deadline = time.monotonic() + 10
    gain_cycle = int(wait_for(lambda: re.search(r"Control: gain set to 20 dB \(was 10 dB\) "
                                                r"from cycle #(\d+)", text_of(log_path)),
                              deadline, "the gain change in the log", process).group(1))
    replies["set mute 1"] = client.ask("set mute 1")
    mute_cycle = int(wait_for(lambda: re.search(r"Control: mute set to 1 \(was 0\) from cycle "
                                                r"#(\d+)", text_of(log_path)),
                              deadline, "the mute in the log", process).group(1))
    client.close()
    return replies, gain_cycle, mute_cycle


def expect_replies(replies):
    expected = {
        "get gain": "ok 10", "get frequency": "ok 474000000", "get mute": "ok 0",
        "set gain 20": "ok 20", "second client": "error another client is connected",
        "get gain after": "ok 20", "set mute 1": "ok 1",
        # The test device tunes from 1 MHz to 6 GHz.
        "set frequency 7e9": "error frequency 7000000000 Hz is outside the device's range "
                             "1000000 to 6000000000 Hz",
    }
    for command, reply in expected.items():
        check(replies[command] == reply, f"{command!r} answered {replies[command]!r}, not {reply!r}")
    for command in ("set gain 99", "set gain abc", "set mute 2", "frobnicate", "get nothing"):
        check(replies[command].startswith("error "), f"{command!r} answered {replies[command]!r}")
    check(re.match(r"ok \d+$", replies["get cycles_total"]), replies["get cycles_total"])
    listed = dict(item.split("=", 1) for item in replies["list"][3:].split())
    for name in ("gain", "frequency", "mute", "underflows_total", "ts_loss_events_total",
                 "samples_out_total"):
        check(name in listed, f"list names no {name}: {replies['list']}")


def expect_metrics(early, late):
    for name in ("terramod_samples_out_total", "terramod_cycles_total",
                 "terramod_input_packets_total", "terramod_output_seconds_total"):
        check(late[name] > early[name] > 0, f"{name} did not move: {early[name]} -> {late[name]}")
    # The underflow the device reports at 3 s and the input's stall at 4 s
    # come after the first scrape (a loaded machine may add underflows of
    # its own).
    check(late["terramod_underflows_total"] > early["terramod_underflows_total"],
          f"underflows {early['terramod_underflows_total']} -> {late['terramod_underflows_total']}")
    check(early["terramod_ts_loss_events_total"] == 0 and late["terramod_ts_loss_events_total"] >= 1,
          "the stall raised no TS loss in the metrics")
    check(late["terramod_ts_loss_seconds_total"] > 1.0, "TS loss seconds: "
          f"{late['terramod_ts_loss_seconds_total']}")
    check(late["terramod_gain_db"] == 20 and late["terramod_mute"] == 1,
          f"gain {late['terramod_gain_db']}, mute {late['terramod_mute']}")
    check(late["terramod_frequency_hz"] == 474e6, "frequency")
    check(late["terramod_build_info"] == 1, "build info")
    check(abs(late["terramod_start_time_seconds"] - time.time()) < 120, "start time")


def expect_events(path, exit_code):
    events = [json.loads(line) for line in text_of(path).splitlines()]
    names = [event["event"] for event in events]
    for name in ("start", "on_air", "ts_loss_begin", "ts_loss_end", "underflow",
                 "parameter_changed", "stop"):
        check(name in names, f"no {name} event in {names}")
    check(names[0] == "start" and names[-1] == "stop", f"events out of order: {names}")
    check(all(re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$", e["time"]) for e in events),
          "an event without its time")
    changes = [(e["name"], e["value"]) for e in events if e["event"] == "parameter_changed"]
    check(changes == [("gain", 20), ("mute", 1)], f"parameter changes {changes}")
    check(events[-1]["exit_code"] == exit_code, f"stop event {events[-1]}")


def expect_gain_between_cycles(settings_path, gain_cycle, samples_per_cycle):
    """The device had received at most the cycles before gain_cycle when the
    gain changed, and not less than those less what it holds back (the
    priming and the end of a burst)."""
    lines = [line.split() for line in text_of(settings_path).splitlines()]
    gains = [(int(received), float(value)) for received, name, value in lines if name == "gain"]
    check(len(gains) == 2 and gains[0][1] == 10 and gains[1][1] == 20, f"device gains {gains}")
    boundary = (gain_cycle - 1) * samples_per_cycle
    received = gains[1][0]
    check(boundary - 2 * samples_per_cycle <= received <= boundary,
          f"gain set at {received} samples received, cycle boundary {boundary}")


def expect_muted_signal(args, recording, mute_cycle, samples_per_cycle, folder):
    """From the cycle after the mute on, the recording is the signal of a
    run of null packets, sample for sample (cycles are aligned with the
    frames from the start of both runs)."""
    recorded = os.path.getsize(recording) // 8
    cycles = recorded // samples_per_cycle
    check(cycles > mute_cycle + 10, f"only {cycles} cycles recorded, mute from {mute_cycle}")
    null_stream = os.path.join(folder, "null.ts")
    seconds = recorded / SAMPLE_RATE + 1
    with open(null_stream, "wb") as stream:
        stream.write(NULL_PACKET * int(seconds * CHANNEL_RATE / 8 / PACKET))
    reference = os.path.join(folder, "null_reference")
    subprocess.run([args.terramod, "-i", null_stream, *SETTINGS, "-o", reference, "-d", "t",
                    "--no-sigmf", "-v", "0", "-l", os.path.join(folder, "null_reference.log")],
                   check=True)
    size = samples_per_cycle * 8
    with open(recording, "rb") as air, open(reference + ".bin", "rb") as nulls:
        for cycle in range(1, cycles + 1):
            on_air = air.read(size)
            expected = nulls.read(size)
            if cycle == mute_cycle - 1:
                check(on_air != expected, "the signal before the mute is already nulls")
            if cycle > mute_cycle:
                check(on_air == expected, f"cycle {cycle} (muted from {mute_cycle}) is not the "
                                          "signal of null packets")


def run(args):
    folder = os.path.abspath(args.out)
    os.makedirs(folder, exist_ok=True)
    stream = os.path.join(folder, "stream.ts")
    make_stream(stream, STREAM_SECONDS)
    paths = {name: os.path.join(folder, name) for name in
             ("recording.cf32", "settings.txt", "tx.log", "events.jsonl", "control.sock",
              "sent.json", "tx.console")}
    for path in paths.values():
        if os.path.exists(path):
            os.remove(path)
    port = free_udp_port()
    device = (f"driver=terramod_test,pace=1,record={paths['recording.cf32']},"
              f"settings={paths['settings.txt']},"
              f"underflow_at={int(UNDERFLOW_AT_SECONDS * SAMPLE_RATE)}")
    command = [args.terramod, "-i", f"udp://127.0.0.1:{port}", "--adapt-rate", *SETTINGS,
               "--device", device, "--frequency", "474e6", "--gain", "10",
               "--control", "unix:" + paths["control.sock"], "--metrics-listen", "127.0.0.1:0",
               "--events", paths["events.jsonl"], "-l", paths["tx.log"]]
    environment = dict(os.environ, SOAPY_SDR_PLUGIN_PATH=args.soapy_modules)
    with open(paths["tx.console"], "w") as console:
        terramod = subprocess.Popen(command, stdout=console, stderr=subprocess.STDOUT,
                                    env=environment)
    sender = None
    try:
        deadline = time.monotonic() + READY_TIMEOUT_S
        url = wait_for(lambda: re.search(r"Metrics at (http://\S+)", text_of(paths["tx.log"])),
                       deadline, "the metrics endpoint", terramod).group(1)
        wait_for(lambda: "filling the" in text_of(paths["tx.log"]), deadline, "the input",
                 terramod)
        sender = subprocess.Popen(
            [sys.executable, "-B", os.path.join(args.source_dir, "tests/interop/ts_sender.py"),
             stream, "--to", f"udp://127.0.0.1:{port}", "--record", paths["sent.json"],
             "--stall", f"{STALL[0]:g}:{STALL[1]:g}"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        wait_for(lambda: os.path.exists(paths["recording.cf32"]) and
                 os.path.getsize(paths["recording.cf32"]) > 0, deadline, "the first samples",
                 terramod)
        time.sleep(1.0)
        early = scrape(url)
        samples_per_cycle = int(early["terramod_samples_out_total"]
                                / early["terramod_cycles_total"])
        replies, gain_cycle, mute_cycle = control_session(paths["control.sock"], paths["tx.log"],
                                                          terramod)
        sender.wait(timeout=STREAM_SECONDS + STALL[1] + 20)
        time.sleep(1.0)
        late = scrape(url)
    finally:
        if sender and sender.poll() is None:
            sender.kill()
        if terramod.poll() is None:
            terramod.send_signal(signal.SIGINT)
        exit_code = terramod.wait(timeout=30)
    print(f"cycles of {samples_per_cycle} samples; gain set from cycle {gain_cycle}, "
          f"mute from cycle {mute_cycle}; exit {exit_code}")
    print("metrics early:", {k: early[k] for k in sorted(early) if "total" in k})
    print("metrics late:", {k: late[k] for k in sorted(late) if "total" in k})
    expect_replies(replies)
    expect_metrics(early, late)
    # The device's underflow fails the run, as any samples lost on the air.
    check(exit_code == 2, f"exit {exit_code}, not 2 (an underflow)")
    expect_events(paths["events.jsonl"], exit_code)
    expect_gain_between_cycles(paths["settings.txt"], gain_cycle, samples_per_cycle)
    expect_muted_signal(args, paths["recording.cf32"], mute_cycle, samples_per_cycle, folder)
    check(not os.path.exists(paths["control.sock"]), "the control socket was left behind")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--terramod", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--soapy-modules", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    try:
        run(args)
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    print("operations end to end: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Plays a transport stream file over the network at the pace of its PCRs,
with faults injected on purpose, for terramod's live inputs.

    ts_sender.py STREAM.ts --to URI --record RECORD.json [--seed N]
                 [--jitter-ms J] [--reorder P] [--loss P | --loss-list K,K,...]
                 [--stall T:D] [--ppm X] [--speed N] [--interface ADDR]

URI is where the datagrams go:

    udp://HOST:PORT        plain transport stream, 7 packets per datagram
    rtp://HOST:PORT        the same behind an RTP header (RFC 3550: version 2,
                           payload type 33 (MP2T, RFC 3551), sequence numbers,
                           90 kHz timestamps of the stream's own clock, one SSRC)
    srt://HOST:PORT?...    through `srt-live-transmit` (srt-tools) as a bridge:
                           the datagrams go to it over the loopback interface,
                           it carries them in SRT; mode=caller (default) or
                           listener, latency=MS and passphrase=... as SRT knows
                           them

A multicast HOST is sent to through --interface (default 127.0.0.1).

Pacing: each packet's time comes from the first PID carrying PCRs, between two
PCRs at the rate they imply, before the first and after the last at the rate
of the nearest pair. A datagram leaves at the time of its first packet,
counted from the first packet of the file.

Faults, all drawn from --seed (each from its own generator, so that adding
one fault leaves the others' draws as they were):

    --jitter-ms J     each datagram leaves at its time plus a uniform offset in
                      [-J, +J] ms; the order stays (a datagram whose time falls
                      before its predecessor's leaves right after it)
    --reorder P       a datagram changes places with the next at probability P
                      (the pair is then left alone)
    --loss P          datagrams dropped at probability P
    --loss-list K,..  or these datagrams (indices from 0) dropped
    --stall T:D       at T s of the stream nothing leaves for D s; then the
                      next datagram goes, the rest re-based after it (the
                      stream's timeline pauses: its timestamps carry on)
    --ppm X           the schedule scaled by 1 + X * 1e-6 (positive: the
                      stream arrives slower than its PCRs say)
    --speed N         everything N times faster (the schedule, jitter and stall
                      divided by N), for accelerated runs

A dropped datagram still takes its RTP sequence number, as if lost on the way.

The record (JSON) says what was sent: the packet indices in the order they
left, the datagrams and packets dropped on purpose, the moments (on the
system's monotonic clock, CLOCK_MONOTONIC, which other processes share) of
the first and last datagram and of the stall, and how late the sender ran at
worst. Exit status: 0 sent; 1 the destination is unusable (a bad URI, a
socket error, the bridge failed); 2 bad arguments, or a stream that cannot
be read or paced.
"""
import argparse
import json
import os
import select
import socket
import struct
import subprocess
import sys
import time
import urllib.parse
from dataclasses import dataclass, field

import numpy as np

PACKET_SIZE = 188
PACKETS_PER_DATAGRAM = 7
PCR_CLOCK = 27e6
PCR_MODULUS = (1 << 33) * 300
RTP_CLOCK = 90000
RTP_PAYLOAD_MP2T = 33
RTP_VERSION = 2
# A PCR step outside (0, 1 s] is not used for pacing (a discontinuity): the
# packets across it keep the rate of the pair before.
LONGEST_PCR_STEP = PCR_CLOCK
# How long the SRT bridge may take to connect, and how long it is given to
# deliver what it holds (its latency and retransmissions) before it is ended.
BRIDGE_CONNECT_TIMEOUT_S = 10.0
BRIDGE_DRAIN_S = 1.0
# The generators of the faults, spawned from the seed in this order.
FAULT_STREAMS = ("jitter", "reorder", "loss", "rtp")


class SenderError(Exception):
    """A stream that cannot be paced, or a transport that cannot be set up."""


# ---------------------------------------------------------------- stream


def read_packets(path):
    data = np.fromfile(path, dtype=np.uint8)
    count = len(data) // PACKET_SIZE
    if count == 0:
        raise SenderError(f"{path}: no whole packet")
    packets = data[:count * PACKET_SIZE].reshape(count, PACKET_SIZE)
    if np.any(packets[:, 0] != 0x47):
        raise SenderError(f"{path}: {int(np.count_nonzero(packets[:, 0] != 0x47))} packets "
                          "without the sync byte")
    return packets


def pcr_positions(packets):
    """(packet indices, PCR values in 27 MHz ticks) of the first PID that
    carries PCRs (ISO/IEC 13818-1 clause 2.4.3.5)."""
    pids = ((packets[:, 1].astype(np.int32) & 0x1F) << 8) | packets[:, 2]
    has_pcr = (((packets[:, 3] & 0x20) != 0) & (packets[:, 4] >= 7)
               & ((packets[:, 5] & 0x10) != 0))
    where = np.nonzero(has_pcr)[0]
    if len(where) == 0:
        raise SenderError("the stream carries no PCR")
    where = where[pids[where] == pids[where[0]]]
    field_bytes = packets[where, 6:12].astype(np.int64)
    base = ((field_bytes[:, 0] << 25) | (field_bytes[:, 1] << 17) | (field_bytes[:, 2] << 9)
            | (field_bytes[:, 3] << 1) | (field_bytes[:, 4] >> 7))
    extension = ((field_bytes[:, 4] & 1) << 8) | field_bytes[:, 5]
    return where, base * 300 + extension


def packet_times(packets):
    """Each packet's time in seconds from the first packet, from the PCRs."""
    indices, values = pcr_positions(packets)
    if len(indices) < 2:
        raise SenderError("the stream carries only one PCR: no pace")
    steps = np.diff(values) % PCR_MODULUS
    spans = np.diff(indices)
    usable = (steps > 0) & (steps <= LONGEST_PCR_STEP)
    if not np.any(usable):
        raise SenderError("the stream's PCRs never step forward by less than a second")
    # Seconds per packet in each span; an unusable span takes the last
    # usable one's (the first usable one's for those before it).
    per_packet = np.where(usable, steps / PCR_CLOCK / spans, np.nan)
    first_usable = per_packet[np.argmax(usable)]
    for span in range(len(per_packet)):
        if np.isnan(per_packet[span]):
            per_packet[span] = per_packet[span - 1] if span else first_usable
    slope = np.empty(len(packets))
    slope[:indices[0]] = per_packet[0]
    for span in range(len(per_packet)):
        slope[indices[span]:indices[span + 1]] = per_packet[span]
    slope[indices[-1]:] = per_packet[-1]
    # Time of packet i = sum of the per-packet durations before it.
    return np.concatenate(([0.0], np.cumsum(slope[:-1])))


# ---------------------------------------------------------------- plan


@dataclass
class Faults:
    jitter_ms: float = 0.0
    reorder: float = 0.0
    loss: float = 0.0
    loss_list: list = field(default_factory=list)
    stall_at_s: float = None
    stall_for_s: float = 0.0
    ppm: float = 0.0
    speed: float = 1.0
    seed: int = 1


@dataclass
class Plan:
    """What leaves and when: for each send slot, in order, the datagram and
    its offset in seconds from the first slot; the datagrams dropped; the
    stall's slot (the first datagram sent after it) or None."""
    order: np.ndarray      # datagram indices in send order
    offsets: np.ndarray    # seconds from the start, non-decreasing
    dropped: np.ndarray    # datagram indices dropped on purpose, ascending
    swaps: int
    stall_slot: int = None


def fault_generators(seed):
    children = np.random.SeedSequence(seed).spawn(len(FAULT_STREAMS))
    return {name: np.random.default_rng(child) for name, child in zip(FAULT_STREAMS, children)}


def datagram_times(times):
    """The stream time of each datagram: that of its first packet."""
    return times[::PACKETS_PER_DATAGRAM]


def make_plan(stream_times, faults):
    """The send slots of datagrams whose stream times are `stream_times`."""
    generators = fault_generators(faults.seed)
    count = len(stream_times)
    # Draw for every datagram, so a datagram's fate does not depend on the
    # others' faults.
    jitter = generators["jitter"].uniform(-1.0, 1.0, count) * faults.jitter_ms / 1e3
    swap_draws = generators["reorder"].random(count)
    loss_draws = generators["loss"].random(count)

    dropped = loss_draws < faults.loss
    for index in faults.loss_list:
        if not 0 <= index < count:
            raise SenderError(f"--loss-list: datagram {index} is not among the {count}")
        dropped[index] = True

    schedule = stream_times.astype(np.float64).copy()
    stall_datagram = None
    if faults.stall_at_s is not None:
        after = np.nonzero(schedule >= faults.stall_at_s)[0]
        if len(after):
            stall_datagram = int(after[0])
            schedule[stall_datagram:] += faults.stall_for_s
    schedule = schedule * (1.0 + faults.ppm * 1e-6)
    schedule = (schedule + jitter) / faults.speed

    sent = np.nonzero(~dropped)[0]
    order = sent.copy()
    swaps = 0
    slot = 0
    while slot + 1 < len(order):
        if swap_draws[order[slot]] < faults.reorder:
            order[slot], order[slot + 1] = order[slot + 1], order[slot]
            swaps += 1
            slot += 2
        else:
            slot += 1
    # Slots keep the times of the datagrams in sequence order (a swapped pair
    # trades places, not times), none before the start.
    offsets = np.maximum.accumulate(np.maximum(schedule[sent], 0.0)) if len(sent) \
        else np.zeros(0)
    stall_slot = None
    if stall_datagram is not None:
        later = np.nonzero(sent >= stall_datagram)[0]
        stall_slot = int(later[0]) if len(later) else None
    return Plan(order, offsets, np.nonzero(dropped)[0], swaps, stall_slot)


# ---------------------------------------------------------------- transports


def split_destination(uri):
    parsed = urllib.parse.urlsplit(uri)
    if parsed.scheme not in ("udp", "rtp", "srt"):
        raise SenderError(f"{uri}: udp://, rtp:// or srt:// expected")
    if not parsed.hostname or not parsed.port:
        raise SenderError(f"{uri}: host and port expected")
    return parsed


class DatagramSocket:
    """A UDP socket towards one address; multicast through `interface`."""

    def __init__(self, host, port, interface):
        info = socket.getaddrinfo(host, port, type=socket.SOCK_DGRAM)[0]
        self.address = info[4]
        self.socket = socket.socket(info[0], socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
        if info[0] == socket.AF_INET and socket.inet_aton(self.address[0])[0] & 0xF0 == 0xE0:
            self.socket.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF,
                                   socket.inet_aton(interface))
            self.socket.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 1)
            self.socket.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)

    def send(self, payload):
        self.socket.sendto(payload, self.address)

    def close(self):
        self.socket.close()


class RtpFramer:
    """RFC 3550 fixed header: V=2, no padding, extension or CSRC, marker 0,
    payload type 33; the sequence number and timestamp start at random
    values (clause 5.1) and the timestamp follows the stream's clock."""

    def __init__(self, rng):
        self.first_sequence = int(rng.integers(0, 1 << 16))
        self.first_timestamp = int(rng.integers(0, 1 << 32))
        self.ssrc = int(rng.integers(0, 1 << 32))

    def header(self, datagram, stream_time):
        sequence = (self.first_sequence + datagram) & 0xFFFF
        timestamp = (self.first_timestamp + round(stream_time * RTP_CLOCK)) & 0xFFFFFFFF
        return struct.pack("!BBHII", RTP_VERSION << 6, RTP_PAYLOAD_MP2T, sequence, timestamp,
                           self.ssrc)


def multicast_loopback_works(group="239.255.71.1"):
    """True when a datagram sent to `group` through the loopback interface
    comes back to a member there (some machines do not deliver it)."""
    try:
        member = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    except OSError:
        return False
    with member:
        try:
            member.bind((group, 0))
            member.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                              socket.inet_aton(group) + socket.inet_aton("127.0.0.1"))
            member.settimeout(1.0)
            sender = DatagramSocket(group, member.getsockname()[1], "127.0.0.1")
            sender.send(b"probe")
            sender.close()
            return member.recv(16) == b"probe"
        except OSError:
            return False


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class SrtBridge:
    """srt-live-transmit carrying the datagrams it gets on a loopback port
    into SRT towards `uri`; started, then waited for until connected."""

    def __init__(self, uri, log_path):
        self.port = free_udp_port()
        self.log_path = log_path
        self.log = open(log_path, "w")
        command = ["srt-live-transmit", "-v", "-a", "no", "-c", str(PACKET_SIZE * 7),
                   f"udp://127.0.0.1:{self.port}", uri]
        try:
            self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT)
        except OSError as error:
            self.log.close()
            raise SenderError(f"srt-live-transmit cannot be started: {error}")
        self.wait_connected()

    def wait_connected(self):
        deadline = time.monotonic() + BRIDGE_CONNECT_TIMEOUT_S
        while time.monotonic() < deadline:
            with open(self.log_path) as text:
                said = text.read()
            if "target connected" in said or "Accepted SRT target connection" in said:
                return
            if self.process.poll() is not None:
                raise SenderError(f"srt-live-transmit ended ({self.process.returncode}): "
                                  f"{said.strip()[-300:]}")
            time.sleep(0.02)
        self.close()
        raise SenderError(f"srt-live-transmit not connected after {BRIDGE_CONNECT_TIMEOUT_S} s")

    def close(self, drain_s=0.0):
        time.sleep(drain_s)
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


# ---------------------------------------------------------------- sending


def wait_until(moment):
    while True:
        left = moment - time.monotonic()
        if left <= 0:
            return
        # select() sleeps with the kernel's high-resolution timers.
        select.select([], [], [], left)


@dataclass
class Moments:
    """When the plan went out: on the monotonic clock, and on the system's
    clock (UTC seconds, as other programs' logs give times) for the last
    datagram before the stall and the last one of all."""
    started: float = 0.0
    ended: float = 0.0
    ended_utc: float = 0.0
    stall: list = None        # [last before it, first after it], monotonic
    stall_utc: float = None   # the last datagram before it, UTC
    worst_late: float = 0.0   # seconds


def send(packets, stream_times, plan, transmit, framer=None):
    """Sends the plan; returns its Moments."""
    payloads = packets.reshape(-1).tobytes()
    datagram_bytes = PACKET_SIZE * PACKETS_PER_DATAGRAM
    moments = Moments(started=time.monotonic())
    now = moments.started
    last_utc = time.time()
    for slot, (datagram, offset) in enumerate(zip(plan.order, plan.offsets)):
        moment = moments.started + offset
        before = now
        wait_until(moment)
        now = time.monotonic()
        moments.worst_late = max(moments.worst_late, now - moment)
        if slot == plan.stall_slot:
            moments.stall = [before, now]
            moments.stall_utc = last_utc
        payload = payloads[datagram * datagram_bytes:(datagram + 1) * datagram_bytes]
        if framer:
            payload = framer.header(int(datagram), float(stream_times[datagram])) + payload
        transmit(payload)
        last_utc = time.time()
    moments.ended, moments.ended_utc = now, last_utc
    return moments


def packet_indices(datagrams, packet_count):
    """The packets of the datagrams, in their order."""
    return [int(index) for datagram in datagrams
            for index in range(datagram * PACKETS_PER_DATAGRAM,
                               min((datagram + 1) * PACKETS_PER_DATAGRAM, packet_count))]


def make_record(args, faults, packets, times, plan, moments, framer):
    record = {
        "stream": os.path.abspath(args.stream),
        "destination": args.to,
        "packets": len(packets),
        "packets_per_datagram": PACKETS_PER_DATAGRAM,
        "datagrams": len(datagram_times(times)),
        "stream_seconds": float(times[-1]),
        "faults": faults.__dict__,
        "sent_packets": packet_indices(plan.order, len(packets)),
        "lost_datagrams": [int(d) for d in plan.dropped],
        "lost_packets": packet_indices(plan.dropped, len(packets)),
        "swapped_pairs": plan.swaps,
        "started_monotonic": moments.started,
        "ended_monotonic": moments.ended,
        "ended_utc": moments.ended_utc,
        # The last datagram before the stall left at [0], the next at [1],
        # with the packet that starts it.
        "stall_monotonic": moments.stall,
        "stall_utc": moments.stall_utc,
        "stall_packet": None if plan.stall_slot is None else
        int(plan.order[plan.stall_slot]) * PACKETS_PER_DATAGRAM,
        "worst_late_ms": moments.worst_late * 1e3,
    }
    if framer:
        record["rtp"] = {"first_sequence": framer.first_sequence,
                         "first_timestamp": framer.first_timestamp, "ssrc": framer.ssrc}
    return record


def parse_stall(text):
    try:
        at, length = (float(part) for part in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text}: T:D in seconds expected")
    if at < 0 or length <= 0:
        raise argparse.ArgumentTypeError(f"{text}: T >= 0 and D > 0 expected")
    return at, length


def parse_list(text):
    try:
        return [int(part) for part in text.split(",") if part]
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text}: datagram indices expected")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("stream")
    parser.add_argument("--to", required=True, help="udp://, rtp:// or srt://HOST:PORT[?...]")
    parser.add_argument("--record", required=True, help="JSON record of what was sent")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jitter-ms", type=float, default=0.0)
    parser.add_argument("--reorder", type=float, default=0.0)
    losses = parser.add_mutually_exclusive_group()
    losses.add_argument("--loss", type=float, default=0.0)
    losses.add_argument("--loss-list", type=parse_list, default=[])
    parser.add_argument("--stall", type=parse_stall, help="T:D seconds")
    parser.add_argument("--ppm", type=float, default=0.0)
    parser.add_argument("--speed", type=float, default=1.0)
    parser.add_argument("--interface", default="127.0.0.1",
                        help="address of the interface multicast leaves by")
    args = parser.parse_args(argv)
    for name in ("reorder", "loss"):
        if not 0 <= getattr(args, name) <= 1:
            parser.error(f"--{name}: a probability from 0 to 1 expected")
    if args.jitter_ms < 0 or args.speed <= 0 or abs(args.ppm) >= 1e6:
        parser.error("--jitter-ms >= 0, --speed > 0 and |--ppm| < 1e6 expected")
    return args


def faults_of(args):
    stall_at, stall_for = args.stall if args.stall else (None, 0.0)
    return Faults(args.jitter_ms, args.reorder, args.loss, args.loss_list, stall_at, stall_for,
                  args.ppm, args.speed, args.seed)


def main(argv):
    args = parse_arguments(argv)
    faults = faults_of(args)
    try:
        destination = split_destination(args.to)
    except SenderError as error:
        print(f"ts_sender.py: {error}", file=sys.stderr)
        return 1
    try:
        packets = read_packets(args.stream)
        times = packet_times(packets)
    except (OSError, SenderError) as error:
        print(f"ts_sender.py: {error}", file=sys.stderr)
        return 2
    stream_times = datagram_times(times)
    try:
        plan = make_plan(stream_times, faults)
        framer = RtpFramer(fault_generators(faults.seed)["rtp"]) \
            if destination.scheme == "rtp" else None
        bridge = None
        if destination.scheme == "srt":
            bridge = SrtBridge(args.to, args.record + ".bridge.log")
            link = DatagramSocket("127.0.0.1", bridge.port, args.interface)
        else:
            link = DatagramSocket(destination.hostname, destination.port, args.interface)
        try:
            moments = send(packets, stream_times, plan, link.send, framer)
        finally:
            link.close()
            if bridge:
                bridge.close(BRIDGE_DRAIN_S)
    except (OSError, SenderError) as error:
        print(f"ts_sender.py: {error}", file=sys.stderr)
        return 1
    record = make_record(args, faults, packets, times, plan, moments, framer)
    with open(args.record, "w") as out:
        json.dump(record, out)
    print(f"sent {len(plan.order)} datagrams ({len(record['sent_packets'])} packets) of "
          f"{len(stream_times)} to {args.to} in {moments.ended - moments.started:.3f} s; dropped "
          f"{len(plan.dropped)}, swapped {plan.swaps} pairs; at worst "
          f"{record['worst_late_ms']:.1f} ms late")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

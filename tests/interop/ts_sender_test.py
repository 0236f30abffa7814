#!/usr/bin/python3
"""tests/interop/ts_sender.py on streams built here at known rates: the pace
it reads from the PCRs, the faults it plans, and what a receiver on the
loopback interface gets (UDP, RTP, multicast, SRT through its bridge).

    ts_sender_test.py [unittest options]
"""
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import numpy as np

import ts_sender

PCR_PID = 0x100
VIDEO_PID = 0x101
# 3.76 Mbit/s: a 188-byte packet lasts 0.4 ms, 10800 ticks of 27 MHz, and a
# datagram of 7 packets 2.8 ms, 252 ticks of the 90 kHz RTP clock.
RATE = 3.76e6
PACKET_S = 0.0004
DATAGRAM_RTP_TICKS = 252
RECEIVE_TIMEOUT_S = 5.0
# How far an arrival may be from its planned moment on a loaded machine.
EARLY_S, LATE_S = 0.002, 0.040
# Linux's SO_TIMESTAMPNS (asm-generic/socket.h; Python has no name for it):
# each datagram's arrival in the kernel, a struct timespec on CLOCK_REALTIME,
# so that a receiving thread woken late does not make the sender look late.
SO_TIMESTAMPNS = 35
TIMESPEC = struct.Struct("@qq")


def packet(pid, counter, index, pcr=None, discontinuity=False):
    """A packet whose payload starts with its index (4 bytes, big-endian)."""
    header = bytes((0x47, pid >> 8, pid & 0xFF))
    body = index.to_bytes(4, "big")
    if pcr is None:
        return header + bytes((0x10 | counter,)) + body + bytes(180)
    base, extension = divmod(pcr % ts_sender.PCR_MODULUS, 300)
    pcr_field = bytes((base >> 25, (base >> 17) & 0xFF, (base >> 9) & 0xFF, (base >> 1) & 0xFF,
                       ((base & 1) << 7) | 0x7E | (extension >> 8), extension & 0xFF))
    flags = 0x10 | (0x80 if discontinuity else 0)
    return header + bytes((0x30 | counter, 7, flags)) + pcr_field + body + bytes(172)


def stream(count, rates=((0, RATE),), pcr_every=20, first_pcr=5, jump_at=None):
    """count packets; PCRs every pcr_every from packet first_pcr, the rate
    changing at the packets `rates` names; +5 s at jump_at (flagged as a
    discontinuity)."""
    out, ticks, counter = [], 10**6, 0
    for index in range(count):
        rate = [r for start, r in rates if index >= start][-1]
        if index >= first_pcr and (index - first_pcr) % pcr_every == 0:
            value = ticks + (5 * 27000000 if jump_at is not None and index >= jump_at else 0)
            out.append(packet(PCR_PID, 0, index, value, index == jump_at))
        else:
            out.append(packet(VIDEO_PID, counter, index))
            counter = (counter + 1) % 16
        ticks += round(1504 * 27e6 / rate)
    return np.frombuffer(b"".join(out), np.uint8).reshape(count, 188)


def index_of(payload):
    return int.from_bytes(payload[4:8] if payload[3] & 0x20 == 0 else payload[12:16], "big")


class PaceTest(unittest.TestCase):
    def test_packet_times_follow_the_pcrs(self):
        cases = (  # name, stream, expected time of packet i
            ("constant rate, extrapolated both ends", stream(1003),
             lambda i: i * PACKET_S),
            ("a PCR jump keeps the pace", stream(1000, jump_at=605),
             lambda i: i * PACKET_S),
            ("the rate halves at packet 505", stream(1000, rates=((0, RATE), (505, RATE / 2))),
             lambda i: i * PACKET_S if i <= 505 else 505 * PACKET_S + (i - 505) * 2 * PACKET_S),
        )
        for name, packets, expected in cases:
            with self.subTest(name):
                times = ts_sender.packet_times(packets)
                want = np.array([expected(i) for i in range(len(packets))])
                self.assertLess(np.max(np.abs(times - want)), 1e-9)

    def test_streams_that_cannot_be_paced_are_refused(self):
        one_pcr = stream(100, first_pcr=10, pcr_every=1000)
        no_pcr = np.array([np.frombuffer(packet(VIDEO_PID, 0, i), np.uint8) for i in range(50)])
        for name, packets, message in (("one PCR", one_pcr, "only one PCR"),
                                       ("no PCR", no_pcr, "no PCR")):
            with self.subTest(name):
                with self.assertRaisesRegex(ts_sender.SenderError, message):
                    ts_sender.packet_times(packets)


class PlanTest(unittest.TestCase):
    TIMES = np.arange(10000) * 7 * PACKET_S

    def plan(self, **faults):
        return ts_sender.make_plan(self.TIMES, ts_sender.Faults(**faults))

    def test_without_faults_every_datagram_leaves_at_its_time(self):
        plan = self.plan()
        np.testing.assert_array_equal(plan.order, np.arange(10000))
        np.testing.assert_allclose(plan.offsets, self.TIMES, atol=1e-12)
        self.assertEqual(len(plan.dropped), 0)

    def test_clock_offset_and_speed_scale_the_schedule(self):
        for ppm, speed in ((200, 1), (-200, 1), (50000, 2.5)):
            with self.subTest(ppm=ppm, speed=speed):
                plan = self.plan(ppm=ppm, speed=speed)
                np.testing.assert_allclose(plan.offsets, self.TIMES * (1 + ppm * 1e-6) / speed,
                                           atol=1e-12)

    def test_jitter_stays_within_its_bound_and_keeps_the_order(self):
        plan = self.plan(jitter_ms=20, seed=7)
        deviation = plan.offsets - self.TIMES
        self.assertLessEqual(np.max(np.abs(deviation)), 0.020 + 1e-12)
        self.assertGreater(np.max(deviation), 0.015)  # the whole range is used
        self.assertTrue(np.all(np.diff(plan.offsets) >= 0))
        np.testing.assert_array_equal(plan.order, np.arange(10000))

    def test_losses_from_a_list_or_a_probability(self):
        plan = self.plan(loss_list=[0, 17, 9999])
        np.testing.assert_array_equal(plan.dropped, [0, 17, 9999])
        np.testing.assert_array_equal(plan.order, np.setdiff1d(np.arange(10000), [0, 17, 9999]))
        # 10000 draws at 0.1: 1000 expected, 30 standard deviations (5 sigma = 150).
        plan = self.plan(loss=0.1, seed=3)
        self.assertLess(abs(len(plan.dropped) - 1000), 150)
        self.assertEqual(len(plan.order) + len(plan.dropped), 10000)
        with self.assertRaisesRegex(ts_sender.SenderError, "datagram 10000"):
            self.plan(loss_list=[10000])

    def test_reordering_swaps_neighbours_only(self):
        plan = self.plan(reorder=0.1, seed=5)
        self.assertEqual(sorted(plan.order), list(range(10000)))
        moved = np.nonzero(plan.order != np.arange(10000))[0]
        self.assertEqual(len(moved), 2 * plan.swaps)
        for slot in moved[::2]:
            self.assertEqual((plan.order[slot], plan.order[slot + 1]), (slot + 1, slot))
        # A swap at 0.1 per slot, a swapped pair skipping its second slot:
        # 10000 x 0.1 / 1.1 = 909 expected.
        self.assertLess(abs(plan.swaps - 909), 150)

    def test_a_stall_pauses_the_schedule(self):
        plan = self.plan(stall_at_s=1.0, stall_for_s=3.0, speed=2)
        first_after = int(np.ceil(1.0 / (7 * PACKET_S)))  # datagram 358, at 1.0024 s
        self.assertEqual(plan.stall_slot, first_after)
        expected = np.where(np.arange(10000) >= first_after, self.TIMES + 3.0, self.TIMES) / 2
        np.testing.assert_allclose(plan.offsets, expected, atol=1e-12)

    def test_a_seed_gives_the_same_faults_and_each_fault_its_own_draws(self):
        first = self.plan(loss=0.05, reorder=0.05, jitter_ms=5, seed=11)
        again = self.plan(loss=0.05, reorder=0.05, jitter_ms=5, seed=11)
        np.testing.assert_array_equal(first.order, again.order)
        np.testing.assert_array_equal(first.offsets, again.offsets)
        losses_alone = self.plan(loss=0.05, seed=11)
        np.testing.assert_array_equal(first.dropped, losses_alone.dropped)
        other_seed = self.plan(loss=0.05, seed=12)
        self.assertFalse(np.array_equal(first.dropped, other_seed.dropped))


class Receiver:
    """Datagrams arriving on a socket, with their arrival moments, until
    `stop()` and then nothing more to read, or nothing for
    RECEIVE_TIMEOUT_S."""

    def __init__(self, sock):
        self.socket = sock
        self.socket.settimeout(0.2)
        self.arrivals = []
        self.stopping = False
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        self.socket.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        # Kernel times on CLOCK_REALTIME, brought to the monotonic clock.
        realtime_ahead = time.time() - time.monotonic()
        quiet_since = time.monotonic()
        while time.monotonic() - quiet_since < RECEIVE_TIMEOUT_S:
            try:
                payload, ancillary, _, _ = self.socket.recvmsg(2048, 64)
            except socket.timeout:
                if self.stopping:
                    return
                continue
            quiet_since = time.monotonic()
            moment = quiet_since
            for level, kind, data in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = TIMESPEC.unpack(data[:TIMESPEC.size])
                    moment = seconds + nanoseconds * 1e-9 - realtime_ahead
            self.arrivals.append((moment, payload))

    def stop(self):
        self.stopping = True
        self.thread.join()
        self.socket.close()
        return self.arrivals


def udp_receiver(host="127.0.0.1", group=None):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    sock.bind((group or host, 0))
    if group:
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        socket.inet_aton(group) + socket.inet_aton("127.0.0.1"))
    return sock, sock.getsockname()[1]


class SendTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="ts_sender_test_")
        self.path = os.path.join(self.folder, "stream.ts")
        # 2100 packets (300 datagrams): 0.84 s.
        self.packets = stream(2100)
        self.packets.tofile(self.path)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def send(self, uri, *options):
        record_path = os.path.join(self.folder, "record.json")
        command = [sys.executable, "-B", os.path.join(os.path.dirname(__file__), "ts_sender.py"),
                   self.path, "--to", uri, "--record", record_path, *options]
        result = subprocess.run(command, capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(record_path) as text:
            return json.load(text)

    def check_arrivals(self, arrivals, record, header=0, early=EARLY_S):
        """The payloads are the packets the record lists, in its order, each
        datagram arriving near its planned moment."""
        payload = b"".join(data[header:] for _, data in arrivals)
        self.assertEqual(payload, self.packets[record["sent_packets"]].tobytes())
        for moment, data in arrivals:
            planned = record["started_monotonic"] + index_of(data[header:]) * PACKET_S
            self.assertGreater(moment, planned - early)
            self.assertLess(moment, planned + LATE_S)

    def test_udp_datagrams_carry_seven_packets_at_the_stream_pace(self):
        sock, port = udp_receiver()
        receiver = Receiver(sock)
        record = self.send(f"udp://127.0.0.1:{port}", "--loss-list", "4,200")
        arrivals = receiver.stop()
        self.assertEqual([len(data) for _, data in arrivals], [1316] * 298)
        self.assertEqual(record["lost_packets"], list(range(28, 35)) + list(range(1400, 1407)))
        self.check_arrivals(arrivals, record)

    def test_rtp_header_and_losses(self):
        sock, port = udp_receiver()
        receiver = Receiver(sock)
        record = self.send(f"rtp://127.0.0.1:{port}", "--loss", "0.05", "--reorder", "0.05",
                           "--seed", "9")
        arrivals = receiver.stop()
        rtp = record["rtp"]
        lost = set(record["lost_datagrams"])
        self.assertTrue(lost)
        self.assertGreater(record["swapped_pairs"], 0)
        for _, data in arrivals:
            datagram = index_of(data[12:]) // 7
            self.assertEqual(data[0], 0x80)  # version 2, no padding, extension or CSRC
            self.assertEqual(data[1], 33)    # no marker, MP2T
            self.assertEqual(int.from_bytes(data[2:4], "big"),
                             (rtp["first_sequence"] + datagram) % 65536)
            self.assertEqual(int.from_bytes(data[4:8], "big"),
                             (rtp["first_timestamp"] + datagram * DATAGRAM_RTP_TICKS) % 2**32)
            self.assertEqual(int.from_bytes(data[8:12], "big"), rtp["ssrc"])
            self.assertNotIn(datagram, lost)
        self.assertEqual(len(arrivals) + len(lost), 300)
        # A datagram swapped forward leaves in its predecessor's slot.
        self.check_arrivals(arrivals, record, header=12, early=EARLY_S + 7 * PACKET_S)

    def test_a_stall_and_a_speed_factor(self):
        sock, port = udp_receiver()
        receiver = Receiver(sock)
        # At 2x: datagrams every 1.4 ms, the stall at 0.3 s of stream lasts 0.25 s.
        record = self.send(f"udp://127.0.0.1:{port}", "--stall", "0.3:0.5", "--speed", "2")
        arrivals = receiver.stop()
        payload = b"".join(data for _, data in arrivals)
        self.assertEqual(payload, self.packets.tobytes())
        gaps = np.diff([moment for moment, _ in arrivals])
        stall = int(np.argmax(gaps))
        self.assertEqual(index_of(arrivals[stall + 1][1]), 756)  # the first at or after 0.3 s
        self.assertGreater(gaps[stall], 0.25)
        self.assertLess(gaps[stall], 0.25 + LATE_S)
        self.assertEqual(record["stall_packet"], 756)
        before, after = record["stall_monotonic"]
        self.assertAlmostEqual(after - before, gaps[stall], delta=0.005)
        # The system clock's moments: the stall's start, then the end.
        self.assertAlmostEqual(record["ended_utc"] - record["stall_utc"],
                               arrivals[-1][0] - arrivals[stall][0], delta=0.005)
        # Elsewhere 1.4 ms apart: the whole run 299 x 1.4 ms + 0.25 s.
        self.assertAlmostEqual(arrivals[-1][0] - arrivals[0][0], 0.4186 + 0.25, delta=LATE_S)

    def test_multicast_on_the_loopback_interface(self):
        if not ts_sender.multicast_loopback_works():
            self.skipTest("multicast on the loopback interface is not allowed here")
        sock, port = udp_receiver(group="239.255.71.2")
        receiver = Receiver(sock)
        record = self.send(f"udp://239.255.71.2:{port}", "--interface", "127.0.0.1")
        self.check_arrivals(receiver.stop(), record)

    def test_srt_through_the_bridge(self):
        if shutil.which("srt-live-transmit") is None:
            self.skipTest("srt-live-transmit (srt-tools) is not installed")
        sock, port = udp_receiver()
        srt_port = ts_sender.free_udp_port()
        # The far end: an SRT listener handing what it gets to our socket.
        far_end = subprocess.Popen(
            ["srt-live-transmit", "-q", "-a", "no", f"srt://127.0.0.1:{srt_port}?mode=listener",
             f"udp://127.0.0.1:{port}"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            receiver = Receiver(sock)
            record = self.send(f"srt://127.0.0.1:{srt_port}?mode=caller&latency=80")
            arrivals = receiver.stop()
        finally:
            far_end.terminate()
            far_end.wait(timeout=5)
        self.assertEqual(record["sent_packets"], list(range(2100)))
        payload = b"".join(data for _, data in arrivals)
        self.assertEqual(payload, self.packets.tobytes())
        # SRT delivers at the sender's pace, its latency later.
        spread = arrivals[-1][0] - arrivals[0][0]
        self.assertAlmostEqual(spread, 299 * 7 * PACKET_S, delta=LATE_S)

    def test_bad_arguments_and_streams_have_their_exit_codes(self):
        empty = os.path.join(self.folder, "empty.ts")
        open(empty, "wb").close()
        script = os.path.join(os.path.dirname(__file__), "ts_sender.py")
        cases = (([self.path, "--to", "http://x:1"], 1, "udp://, rtp:// or srt://"),
                 ([self.path, "--to", "udp://127.0.0.1:9", "--loss", "2"], 2, "probability"),
                 ([empty, "--to", "udp://127.0.0.1:9"], 2, "no whole packet"),
                 ([os.path.join(self.folder, "none.ts"), "--to", "udp://127.0.0.1:9"], 2,
                  "No such file"))
        for arguments, code, message in cases:
            with self.subTest(message):
                result = subprocess.run([sys.executable, "-B", script, *arguments, "--record",
                                         os.path.join(self.folder, "r.json")],
                                        capture_output=True, text=True, timeout=30)
                self.assertEqual(result.returncode, code)
                self.assertIn(message, result.stderr)


if __name__ == "__main__":
    unittest.main()

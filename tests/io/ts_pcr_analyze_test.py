#!/usr/bin/python3
"""tools/ts_pcr_analyze.py on streams built here with known faults: a PCR
moved by a known amount, a lost packet, a discontinuity, a known null share.

    ts_pcr_analyze_test.py SOURCE_DIR
"""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(sys.argv.pop(1) if len(sys.argv) > 1 else ".", "tools"))
import ts_pcr_analyze  # noqa: E402

PCR_MODULUS = (1 << 33) * 300


def packet(pid, counter, pcr=None, discontinuity=False):
    header = bytes((0x47, pid >> 8, pid & 0xFF))
    if pcr is None:
        return header + bytes((0x10 | counter,)) + bytes(184)
    pcr %= PCR_MODULUS
    base, extension = divmod(pcr, 300)
    field = bytes((base >> 25, (base >> 17) & 0xFF, (base >> 9) & 0xFF, (base >> 1) & 0xFF,
                   ((base & 1) << 7) | 0x7E | (extension >> 8), extension & 0xFF))
    flags = 0x10 | (0x80 if discontinuity else 0)
    return header + bytes((0x30 | counter, 7, flags)) + field + bytes(188 - 12)


def stream(count=1000, rate=4e6, pcr_every=20, nulls_every=4, moved=None, drop=None,
           jump_at=None, first=10**6):
    """count packets at `rate`; PCR on PID 0x100 every pcr_every packets, one
    PCR (index `moved[0]`) off by moved[1] ticks; a null every nulls_every."""
    ticks = 1504 * 27e6 / rate
    counters = {}
    out = []
    for i in range(count):
        if i == drop:
            counters[0x101] = (counters.get(0x101, 0) + 1) % 16
            continue
        if pcr_every and i % pcr_every == 0:
            value = first + round(i * ticks)
            if jump_at is not None and i >= jump_at:
                value += 27000000 * 5
            if moved and moved[0] == i:
                value += moved[1]
            pid = 0x100
            out.append(packet(pid, counters.get(pid, 0), value, i == jump_at))
        elif i % nulls_every == 1:
            out.append(packet(0x1FFF, 0))
            continue
        else:
            pid = 0x101
            out.append(packet(pid, counters.get(pid, 0)))
        counters[pid] = (counters.get(pid, 0) + 1) % 16
    return b"".join(out)


class AnalyzeTest(unittest.TestCase):
    def analyse(self, data, rate=None):
        with tempfile.NamedTemporaryFile(suffix=".ts") as file:
            file.write(data)
            file.flush()
            return ts_pcr_analyze.analyse(file.name, rate)

    def test_figures_of_a_clean_stream(self):
        report = self.analyse(stream())
        self.assertAlmostEqual(report["rate"], 4e6, delta=1.0)
        self.assertLess(report["max_abs_pcr_error_ns"], 20)  # PCRs rounded to the tick
        self.assertAlmostEqual(report["max_pcr_interval_ms"], 20 * 1504 / 4e6 * 1e3, places=3)
        self.assertEqual(report["null_packets"], 250)
        self.assertEqual(report["continuity_errors"], 0)
        self.assertEqual(list(report["pcr_pids"]), ["256"])

    def test_a_moved_pcr_shows_by_its_amount(self):
        for ticks in (27, -540, 2700):
            report = self.analyse(stream(moved=(500, ticks)), rate=4e6)
            self.assertAlmostEqual(report["max_abs_pcr_error_ns"], abs(ticks) / 27e6 * 1e9,
                                   delta=20)

    def test_the_given_rate_is_the_reference(self):
        # At 1 % off, 980 packets later the error is 1 % of their 2.948 ms.
        report = self.analyse(stream(), rate=4e6 * 1.01)
        expected = 980 * 1504 / 4e6 * (1 - 1 / 1.01) * 1e9
        self.assertAlmostEqual(report["max_abs_pcr_error_ns"], expected, delta=50)

    def test_a_lost_packet_is_a_continuity_error(self):
        report = self.analyse(stream(drop=403))
        self.assertEqual(report["continuity_errors"], 1)
        self.assertEqual(report["continuity_errors_by_pid"], {"257": 1})

    def test_a_discontinuity_starts_a_new_timeline(self):
        report = self.analyse(stream(jump_at=600), rate=4e6)
        self.assertEqual(report["pcr_pids"]["256"]["timelines"], 2)
        self.assertLess(report["max_abs_pcr_error_ns"], 20)
        self.assertAlmostEqual(report["rate"], 4e6, delta=1.0)

    def test_pcr_wrap_around(self):
        report = self.analyse(stream(first=PCR_MODULUS - 27000 * 3), rate=4e6)
        self.assertLess(report["max_abs_pcr_error_ns"], 20)
        self.assertEqual(report["pcr_pids"]["256"]["timelines"], 1)

    def test_a_stream_without_pcr(self):
        report = self.analyse(stream(pcr_every=None))
        self.assertIsNone(report["rate"])
        self.assertEqual(report["pcr_pids"], {})


if __name__ == "__main__":
    unittest.main()

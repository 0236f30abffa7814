#!/usr/bin/python3
"""Measures the timing of an MPEG-2 transport stream file: its rate from the
PCRs, the accuracy of every PCR against its packet's position, the intervals
between PCRs, the share of null packets and the continuity counter errors.

    ts_pcr_analyze.py STREAM.ts [--rate BITS_PER_S] [--json]

PCR accuracy is each PCR minus the time its packet's position gives at the
stream's rate (measured from its own PCRs) or at --rate, counted from the
first PCR of its PID; a discontinuity indicator starts a new count. PCR
intervals are the steps between successive PCRs of a PID on their own clock.
A continuity error is a packet whose 4-bit counter does not follow its PID's
previous one (ISO/IEC 13818-1 clause 2.4.3.3: +1 with payload, unchanged
without, one repeated packet allowed, none checked after a discontinuity
indicator or on PID 0x1FFF).

Exit status: 0 analysed, 2 the file cannot be read or holds no packet.
"""
import argparse
import json
import sys

import numpy as np

PACKET_SIZE = 188
NULL_PID = 0x1FFF
CLOCK = 27e6
PCR_MODULUS = (1 << 33) * 300
BITS_PER_PACKET = 8 * PACKET_SIZE


def read_packets(path):
    data = np.fromfile(path, dtype=np.uint8)
    count = len(data) // PACKET_SIZE
    return data[:count * PACKET_SIZE].reshape(count, PACKET_SIZE), len(data)


def header_fields(packets):
    pids = ((packets[:, 1].astype(np.int32) & 0x1F) << 8) | packets[:, 2]
    control = (packets[:, 3] >> 4) & 0x03
    has_adaptation = (control & 0x02) != 0
    adaptation_length = packets[:, 4]
    flags = packets[:, 5]
    has_pcr = (has_adaptation & (adaptation_length >= 7) & ((flags & 0x10) != 0)
               & ((packets[:, 1] & 0x80) == 0))
    discontinuity = has_adaptation & (adaptation_length >= 1) & ((flags & 0x80) != 0)
    return pids, control, has_pcr, discontinuity


def pcr_values(packets):
    field = packets[:, 6:12].astype(np.int64)
    base = (field[:, 0] << 25) | (field[:, 1] << 17) | (field[:, 2] << 9) | (field[:, 3] << 1) \
        | (field[:, 4] >> 7)
    return base * 300 + (((field[:, 4] & 1) << 8) | field[:, 5])


def timelines(indices, values, discontinuity):
    """Splits a PID's PCRs into timelines at discontinuity indicators and
    unwraps each: (packet indices, continuous ticks) pairs."""
    starts = [0] + [i for i in range(1, len(indices)) if discontinuity[i]]
    ends = starts[1:] + [len(indices)]
    for start, end in zip(starts, ends):
        steps = np.diff(values[start:end]) % PCR_MODULUS
        ticks = np.concatenate(([0], np.cumsum(steps))).astype(np.float64)
        yield indices[start:end], ticks, values[start]


def analyse_pcr_pid(indices, values, discontinuity, given_rate):
    lines = list(timelines(indices, values, discontinuity))
    packets_spanned = sum(int(i[-1] - i[0]) for i, _, _ in lines)
    ticks_spanned = sum(float(t[-1]) for _, t, _ in lines)
    rate = packets_spanned * BITS_PER_PACKET * CLOCK / ticks_spanned if ticks_spanned > 0 else None
    reference = given_rate or rate
    errors, intervals = [], []
    for line_indices, ticks, _ in lines:
        intervals.extend(np.diff(ticks) / CLOCK)
        if reference:
            expected = (line_indices - line_indices[0]) * (BITS_PER_PACKET * CLOCK / reference)
            errors.extend(ticks - expected)
    errors = np.array(errors)
    return {
        "count": len(indices),
        "timelines": len(lines),
        "rate": rate,
        "max_interval_ms": float(max(intervals) * 1e3) if intervals else None,
        "max_abs_error_ns": float(np.max(np.abs(errors)) / CLOCK * 1e9) if len(errors) else None,
        "mean_error_ns": float(np.mean(errors) / CLOCK * 1e9) if len(errors) else None,
    }


def continuity_errors(pids, control, packets, discontinuity):
    errors = {}
    counters = packets[:, 3] & 0x0F
    for pid in np.unique(pids):
        if pid == NULL_PID:
            continue
        where = np.nonzero(pids == pid)[0]
        count = 0
        previous = None
        repeated = False
        for position in where:
            counter = int(counters[position])
            with_payload = bool(control[position] & 0x01)
            if previous is not None and not discontinuity[position]:
                if with_payload:
                    if counter == previous and not repeated:
                        repeated = True
                        continue
                    if counter != (previous + 1) % 16:
                        count += 1
                elif counter != previous:
                    count += 1
            repeated = False
            previous = counter
        if count:
            errors[int(pid)] = count
    return errors


def analyse(path, given_rate):
    packets, size = read_packets(path)
    if len(packets) == 0:
        raise ValueError("no whole packet")
    in_sync = packets[:, 0] == 0x47
    pids, control, has_pcr, discontinuity = header_fields(packets)
    has_pcr &= in_sync
    values = pcr_values(packets)
    pcr_pids = []
    for pid in pids[has_pcr]:
        if int(pid) not in pcr_pids:
            pcr_pids.append(int(pid))
    by_pid = {}
    for pid in pcr_pids:
        where = np.nonzero(has_pcr & (pids == pid))[0]
        by_pid[pid] = analyse_pcr_pid(where, values[where], discontinuity[where], given_rate)
    nulls = int(np.count_nonzero(in_sync & (pids == NULL_PID)))
    cc_errors = continuity_errors(pids[in_sync], control[in_sync], packets[in_sync],
                                  discontinuity[in_sync])
    first = by_pid[pcr_pids[0]] if pcr_pids else {}
    return {
        "file": path,
        "bytes": int(size),
        "packets": len(packets),
        "sync_errors": int(np.count_nonzero(~in_sync)),
        "null_packets": nulls,
        "null_share": nulls / len(packets),
        "rate": first.get("rate"),
        "accuracy_rate": given_rate or first.get("rate"),
        "duration_s": len(packets) * BITS_PER_PACKET / given_rate if given_rate else
        (len(packets) * BITS_PER_PACKET / first["rate"] if first.get("rate") else None),
        "pcr_pids": {str(pid): figures for pid, figures in by_pid.items()},
        "max_abs_pcr_error_ns": max((f["max_abs_error_ns"] or 0 for f in by_pid.values()),
                                    default=None),
        "max_pcr_interval_ms": max((f["max_interval_ms"] or 0 for f in by_pid.values()),
                                   default=None),
        "continuity_errors": sum(cc_errors.values()),
        "continuity_errors_by_pid": {str(pid): n for pid, n in cc_errors.items()},
    }


def number(value, unit, digits=6, scale=1.0):
    return "none" if value is None else f"{value * scale:.{digits}f} {unit}"


def print_text(report):
    print(f"{report['file']}: {report['packets']} packets, {report['bytes']} bytes, "
          f"{report['sync_errors']} out of sync")
    print(f"  rate (PCR)        : {number(report['rate'], 'Mbit/s', 6, 1e-6)}")
    print(f"  null packets      : {report['null_packets']} "
          f"({report['null_share'] * 100:.2f} %)")
    print(f"  continuity errors : {report['continuity_errors']}")
    if not report["pcr_pids"]:
        print("  no PCR")
    for pid, figures in report["pcr_pids"].items():
        print(f"  PCR PID {pid} (0x{int(pid):04X}): {figures['count']} PCRs, "
              f"{figures['timelines']} timeline(s), rate {number(figures['rate'], 'Mbit/s', 6, 1e-6)}, "
              f"max interval {number(figures['max_interval_ms'], 'ms', 3)}, "
              f"accuracy max |error| {number(figures['max_abs_error_ns'], 'ns', 1)} "
              f"at {number(report['accuracy_rate'], 'Mbit/s', 6, 1e-6)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("stream")
    parser.add_argument("--rate", type=float, help="bit/s to check PCR accuracy against")
    parser.add_argument("--json", action="store_true", help="print the figures as JSON")
    args = parser.parse_args()
    try:
        report = analyse(args.stream, args.rate)
    except (OSError, ValueError) as error:
        print(f"ts_pcr_analyze.py: {args.stream}: {error}", file=sys.stderr)
        return 2
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        print_text(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())

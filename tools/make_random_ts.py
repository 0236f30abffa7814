#!/usr/bin/python3
"""Writes an MPEG-2 transport stream of packets with valid headers and
pseudo-random payloads.

Every packet starts with the sync byte 0x47, carries one of a few PIDs with
its own 4-bit continuity counter, has payload only (adaptation_field_control
01) and 184 bytes of pseudo-random payload, so that no two packets of a run
are alike: a receiver's output can then be matched to the input packet by
packet, and any slip, loss or repetition shows. The same seed always gives
the same stream.

    make_random_ts.py OUTPUT PACKET_COUNT [--seed N]
"""
import argparse
import random

PACKET_SIZE = 188
SYNC_BYTE = 0x47
PIDS = (0x0100, 0x0101, 0x0102, 0x1FF0)


def packet_header(pid, continuity_counter, payload_unit_start):
    """The 4-byte header: no error, no priority, not scrambled, payload only."""
    return bytes((
        SYNC_BYTE,
        (0x40 if payload_unit_start else 0) | (pid >> 8),
        pid & 0xFF,
        0x10 | (continuity_counter & 0x0F),
    ))


def random_packets(count, seed):
    generator = random.Random(seed)
    counters = {pid: 0 for pid in PIDS}
    for index in range(count):
        pid = PIDS[generator.randrange(len(PIDS))]
        header = packet_header(pid, counters[pid], index % 16 == 0)
        counters[pid] += 1
        yield header + generator.randbytes(PACKET_SIZE - len(header))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output")
    parser.add_argument("packet_count", type=int)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    with open(args.output, "wb") as stream:
        for packet in random_packets(args.packet_count, args.seed):
            stream.write(packet)


if __name__ == "__main__":
    main()

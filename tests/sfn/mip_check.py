#!/usr/bin/python3
"""sfnadapt's output read by a parser of its own, written from ETSI TS 101 191.

Makes a stream of 105 mega-frames of 2k QPSK 1/2 1/32 in 8 MHz (2016 packets
a mega-frame: EN 300 744 gives 252 packets a super-frame, and a 2k mega-frame
is 8 super-frames) from tools/make_random_ts.py's packets with null packets
among them, a run of mega-frames without any null packet and a MIP of the
input's own, runs sfnadapt over it and checks every MIP: the CRC_32 (its own
implementation of ISO/IEC 13818-1 Annex A), every field, one MIP in each
mega-frame, each pointer landing on the next mega-frame's first packet, the
time stamps advancing by the mega-frame's duration, the transmitters' time
offsets, and the payload packets all kept, in order.

    mip_check.py --sfnadapt BINARY --source-dir DIR --out DIR
"""
import argparse
import os
import random
import subprocess
import sys

PACKET = 188
MIP_PID = 0x0015
NULL_PID = 0x1FFF
PER_MEGAFRAME = 2016
MEGAFRAMES = 105
# 2k, 1/32: 32 frames x 68 symbols x (2048 + 64) samples at 64/7 MHz.
MEGAFRAME_NS = 32 * 68 * 2112 * 7 * 1000 // 64  # 502 656 000 ns, exactly
START_S = "1700000000.25"
START_NS = 1700000000_250000000
MAX_DELAY_S = "0.3456789"
TX_OFFSETS = {1: -1500, 2: 300, 65535: 3276700, 7: -3276800}  # ns
WITHOUT_NULL = range(40, 44)  # mega-frames of the input with no null packet


def crc32_mpeg(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def pid_of(packet):
    return (packet[1] & 0x1F) << 8 | packet[2]


def null_packet():
    return bytes((0x47, 0x1F, 0xFF, 0x10)) + bytes([0xFF]) * 184


def make_input(source_dir):
    sys.path.insert(0, os.path.join(source_dir, "tools"))
    import make_random_ts
    payload = make_random_ts.random_packets(PER_MEGAFRAME * MEGAFRAMES, 7)
    chooser = random.Random(11)
    packets = []
    for index in range(PER_MEGAFRAME * MEGAFRAMES):
        megaframe = index // PER_MEGAFRAME
        if megaframe not in WITHOUT_NULL and chooser.random() < 0.02:
            packets.append(null_packet())
        else:
            packets.append(next(payload))
    # A MIP of the input's own (bad CRC and all): sfnadapt drops it.
    packets[3 * PER_MEGAFRAME + 5] = bytes((0x47, 0x60, 0x15, 0x13)) + bytes(184)
    return packets


def parse_mip(packet):
    """The MIP's fields as a dict; raises AssertionError when malformed."""
    assert packet[0] == 0x47 and pid_of(packet) == MIP_PID
    assert packet[1] & 0x40, "payload_unit_start_indicator must be 1"
    assert packet[1] & 0x20, "transport_priority must be 1"
    assert packet[3] >> 4 == 0x1, "not scrambled, payload only"
    body = packet[4:]
    assert body[0] == 0x00, "synchronization_id"
    section_length = body[1]
    end = 2 + section_length  # just past CRC_32
    assert crc32_mpeg(body[:end]) == 0, "CRC_32"
    stored = int.from_bytes(body[end - 4:end], "big")
    assert crc32_mpeg(body[:end - 4]) == stored
    assert all(b == 0xFF for b in body[end:]), "stuffing"
    fields = {
        "pointer": int.from_bytes(body[2:4], "big"),
        "periodic": body[4] >> 7,
        "future_use": int.from_bytes(body[4:6], "big") & 0x7FFF,
        "sts": int.from_bytes(body[6:9], "big"),
        "max_delay": int.from_bytes(body[9:12], "big"),
        "tps": int.from_bytes(body[12:16], "big"),
        "offsets": {},
    }
    addressing_length = body[16]
    assert 17 + addressing_length == end - 4, "individual_addressing_length"
    at = 17
    while at < 17 + addressing_length:
        tx_id = int.from_bytes(body[at:at + 2], "big")
        loop_end = at + 3 + body[at + 2]
        at += 3
        while at < loop_end:
            # function_length counts the whole function, its tag and
            # length bytes included (TS 102 773 clause 5.2.8.2).
            tag, length = body[at], body[at + 1]
            assert length >= 2, "function_length"
            function = body[at + 2:at + length]
            if tag == 0x00:  # tx_time_offset_function: signed, 100 ns
                assert length == 4
                fields["offsets"][tx_id] = int.from_bytes(function, "big", signed=True) * 100
            at += length
        assert at == loop_end
    return fields


def check_tps(tps):
    # EN 300 744 TPS coding: QPSK 00, non-hierarchical 000, rate 1/2 000,
    # guard 1/32 00, 2k 00; bandwidth 8 MHz 01; priority 1 (HP / only).
    assert tps >> 30 == 0b00
    assert tps >> 27 & 0b111 == 0b000
    assert tps >> 24 & 0b111 == 0b000
    assert tps >> 22 & 0b11 == 0b00
    assert tps >> 20 & 0b11 == 0b00
    assert tps >> 18 & 0b11 == 0b01
    assert tps >> 17 & 0b1 == 1
    assert tps & 0x1FFFF == 0


def run_sfnadapt(binary, args, **kwargs):
    return subprocess.run([binary] + args, capture_output=True, timeout=120, **kwargs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sfnadapt", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    packets = make_input(args.source_dir)
    input_path = os.path.join(args.out, "input.ts")
    output_path = os.path.join(args.out, "output.ts")
    with open(input_path, "wb") as stream:
        stream.write(b"".join(packets))

    settings = ["-2k", "-M", "4", "-p", "1/2", "-D", "1/32", "-b", "8",
                "--max-delay", MAX_DELAY_S, "--time-source", "fixed:" + START_S]
    for tx_id, ns in TX_OFFSETS.items():
        settings += ["--tx-offset", "%d:%d" % (tx_id, ns)]
    result = run_sfnadapt(args.sfnadapt, ["-i", input_path, "-o", output_path] + settings)
    assert result.returncode == 0, result.stderr.decode()
    with open(output_path, "rb") as stream:
        data = stream.read()
    assert len(data) % PACKET == 0
    out = [data[i:i + PACKET] for i in range(0, len(data), PACKET)]
    assert len(out) >= len(packets)

    # One MIP in each mega-frame, pointing at the next one's first packet.
    mips = {}
    for position, packet in enumerate(out):
        if pid_of(packet) != MIP_PID:
            continue
        megaframe = position // PER_MEGAFRAME
        assert megaframe not in mips, "two MIPs in mega-frame %d" % megaframe
        fields = parse_mip(packet)
        assert position + fields["pointer"] + 1 == (megaframe + 1) * PER_MEGAFRAME, \
            "mega-frame %d: pointer %d at %d" % (megaframe, fields["pointer"], position)
        mips[megaframe] = (position, fields, packet[3] & 0x0F)
    assert sorted(mips) == list(range(MEGAFRAMES)), sorted(set(range(MEGAFRAMES)) - set(mips))

    delay_100ns = 3456789
    for megaframe, (position, fields, continuity) in mips.items():
        assert continuity == megaframe % 16, "continuity_counter"
        assert fields["periodic"] == 1
        assert fields["max_delay"] == delay_100ns
        check_tps(fields["tps"])
        assert fields["offsets"] == TX_OFFSETS, fields["offsets"]
        expected = (START_NS + (megaframe + 1) * MEGAFRAME_NS) % 1_000_000_000 // 100
        assert fields["sts"] == expected, (megaframe, fields["sts"], expected)
        if megaframe > 0:
            step = (fields["sts"] - mips[megaframe - 1][1]["sts"]) % 10_000_000
            assert step == MEGAFRAME_NS // 100, step
    # The mega-frames without a null packet: the MIP in the last place.
    for megaframe in WITHOUT_NULL:
        assert mips[megaframe][1]["pointer"] == 0, megaframe

    def payload(stream):
        return [p for p in stream if pid_of(p) not in (NULL_PID, MIP_PID)]
    assert payload(out) == payload(packets), "payload packets lost or reordered"

    # Standard input to standard output gives the same bytes.
    with open(input_path, "rb") as stream:
        piped = run_sfnadapt(args.sfnadapt, ["-i", "-", "-o", "-"] + settings, stdin=stream)
    assert piped.returncode == 0, piped.stderr.decode()
    assert piped.stdout == data, "standard output differs from the file output"

    # Refused settings: exit code 1 and a FATAL ERROR.
    for bad in (["--max-delay", "1"], ["--max-delay", "0.00000001"],
                ["--tx-offset", "70000:100"], ["--tx-offset", "1:150"],
                ["--tx-offset", "1:3276800"], ["--time-source", "gps"], ["-M", "32"],
                ["-F", "1"]):
        refused = run_sfnadapt(args.sfnadapt, ["-i", input_path, "-o", output_path] +
                               settings + bad)
        assert refused.returncode == 1, (bad, refused.returncode)
        assert b"FATAL ERROR" in refused.stderr, bad
    missing = run_sfnadapt(args.sfnadapt, ["-i", os.path.join(args.out, "none.ts"), "-o",
                                           output_path] + settings)
    assert missing.returncode == 2 and b"FATAL ERROR" in missing.stderr
    print("mip_check: %d packets, %d MIPs checked" % (len(out), len(mips)))
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()

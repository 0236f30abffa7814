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
offsets, and the payload packets all kept, in order. A second run gives
transmitters every function sfnadapt sets (time and frequency offsets,
power, cell id) and checks that each MIP carries them all, an entry for each
transmitter, the functions in the order given; then options sfnadapt must
refuse, each with its message, exit code 1 and no output file.

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


# The functions run: each option and value, with the transmitter and what its
# function must carry, worked out from the field widths by hand (power in
# 0.1 dBm; cell_id with wait_for_enable_flag 0 and reserved 0). Transmitter
# 1's options are spread among the others': its entry comes first and holds
# them in the order given.
FUNCTIONS = [
    ("--tx-power", "1:12.3", 1, ("power_decidbm", 123)),
    ("--tx-cell-id", "0:65535", 0, ("cell_id", (65535, 0, 0))),
    ("--tx-offset", "1:-1500", 1, ("time_offset_ns", -1500)),
    ("--tx-frequency-offset", "1:-8388608", 1, ("frequency_offset_hz", -8388608)),
    ("--tx-frequency-offset", "0:+8388607", 0, ("frequency_offset_hz", 8388607)),
    ("--tx-cell-id", "1:0", 1, ("cell_id", (0, 0, 0))),
    ("--tx-power", "513:6553.5", 513, ("power_decidbm", 65535)),
    ("--tx-power", "0:0", 0, ("power_decidbm", 0)),
    ("--tx-frequency-offset", "65535:-1", 65535, ("frequency_offset_hz", -1)),
    ("--tx-cell-id", "513:4660", 513, ("cell_id", (0x1234, 0, 0))),
    ("--tx-power", "2:0.30000000001", 2, ("power_decidbm", 3)),
]
# Every time offset of 21 transmitters and the cell ids of 2 more: 21 x 7 +
# 2 x 8 = 163 bytes of individual addressing, all a MIP holds (184 - 21).
FULL_MIP = ([["--tx-offset", "%d:100" % n] for n in range(100, 121)]
            + [["--tx-cell-id", "%d:%d" % (n, n)] for n in (200, 201)])

# Options sfnadapt refuses (given after the first run's settings, TX_OFFSETS'
# 4 time offsets among them: 28 bytes of individual addressing), and what the
# message says.
TOO_MANY = "a MIP holds at most 163"
REFUSALS = [
    (["--max-delay", "1"], "--max-delay 1: 0 .. 0.9999999 seconds"),
    (["--max-delay", "0.00000001"], "--max-delay 0.00000001: 0 .. 0.9999999 seconds"),
    (["--tx-offset", "70000:100"], "--tx-offset 70000:100: ID:NANOSECONDS expected"),
    (["--tx-offset", "1:150"], "--tx-offset 1:150: ID:NANOSECONDS expected"),
    (["--tx-offset", "1:3276800"], "--tx-offset 1:3276800: ID:NANOSECONDS expected"),
    (["--tx-offset", "1:100"], "transmitter 1 was given an offset already"),
    (["--time-source", "gps"], "--time-source gps:"),
    (["-M", "32"], "-M 32: one of 4, 16, 64 expected"),
    (["-F", "1"], "unknown option -F"),
    (["--tx-frequency-offset", "3:8388608"], "--tx-frequency-offset 3:8388608: ID:HZ expected"),
    (["--tx-frequency-offset", "3:-8388609"], "--tx-frequency-offset 3:-8388609: ID:HZ"),
    (["--tx-frequency-offset", "3:1.5"], "--tx-frequency-offset 3:1.5: ID:HZ expected"),
    (["--tx-frequency-offset", "65536:1"], "--tx-frequency-offset 65536:1: ID:HZ expected"),
    (["--tx-frequency-offset", "3"], "--tx-frequency-offset 3: ID:HZ expected"),
    (["--tx-frequency-offset", "3:5", "--tx-frequency-offset", "3:5"],
     "transmitter 3 was given a frequency offset already"),
    (["--tx-power", "3:6553.6"], "--tx-power 3:6553.6: ID:DBM expected"),
    (["--tx-power", "3:-0.1"], "--tx-power 3:-0.1: ID:DBM expected"),
    (["--tx-power", "3:12.34"], "--tx-power 3:12.34: ID:DBM expected"),
    (["--tx-power", "3:12.30000001"], "--tx-power 3:12.30000001: ID:DBM expected"),
    (["--tx-power", "3:nan"], "--tx-power 3:nan: ID:DBM expected"),
    (["--tx-power", "3:inf"], "--tx-power 3:inf: ID:DBM expected"),
    (["--tx-power", "3:"], "--tx-power 3:: ID:DBM expected"),
    (["--tx-power", "0:1", "--tx-power", "0:2"], "transmitter 0 was given a power already"),
    (["--tx-cell-id", "3:65536"], "--tx-cell-id 3:65536: ID:N expected"),
    (["--tx-cell-id", "3:-1"], "--tx-cell-id 3:-1: ID:N expected"),
    (["--tx-cell-id", "x:1"], "--tx-cell-id x:1: ID:N expected"),
    (["--tx-cell-id", "2:1", "--tx-cell-id", "2:1"], "transmitter 2 was given a cell id already"),
    (["--tx-power"], "--tx-power needs a value"),
    # Too many functions: 20 time offsets more than TX_OFFSETS' 4 take
    # 24 x 7 = 168 bytes; powers for 20 more IDs the same.
    (sum([["--tx-offset", "%d:100" % n] for n in range(100, 120)], []),
     "their functions take 168 bytes of individual addressing, " + TOO_MANY),
    (sum([["--tx-power", "%d:1" % n] for n in range(100, 120)], []),
     "their functions take 168 bytes of individual addressing, " + TOO_MANY),
]


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
        # tx_identifier -> [(function, value), ...] in the MIP's order.
        "functions": {},
    }
    addressing_length = body[16]
    assert 17 + addressing_length == end - 4, "individual_addressing_length"
    at = 17
    while at < 17 + addressing_length:
        tx_id = int.from_bytes(body[at:at + 2], "big")
        assert tx_id not in fields["functions"], "two entries for transmitter %d" % tx_id
        functions = fields["functions"][tx_id] = []
        loop_end = at + 3 + body[at + 2]
        at += 3
        while at < loop_end:
            # function_length counts the whole function, its tag and
            # length bytes included (TS 102 773 clause 5.2.8.2).
            tag, length = body[at], body[at + 1]
            assert length >= 2, "function_length"
            function = body[at + 2:at + length]
            functions.append(decode_function(tag, function))
            if tag == 0x00:
                fields["offsets"][tx_id] = functions[-1][1]
            at += length
        assert at == loop_end
    return fields


def decode_function(tag, function):
    """(name, value) of one function from its body (the bytes after
    function_length), by the field widths of TS 101 191 clause 6."""
    if tag == 0x00:  # tx_time_offset_function: time_offset 16, signed, 100 ns
        assert len(function) == 2, "tx_time_offset_function length"
        return ("time_offset_ns", int.from_bytes(function, "big", signed=True) * 100)
    if tag == 0x01:  # tx_frequency_offset_function: frequency_offset 24, signed, 1 Hz
        assert len(function) == 3, "tx_frequency_offset_function length"
        return ("frequency_offset_hz", int.from_bytes(function, "big", signed=True))
    if tag == 0x02:  # tx_power_function: tx_power 16, 0.1 dBm
        assert len(function) == 2, "tx_power_function length"
        return ("power_decidbm", int.from_bytes(function, "big"))
    if tag == 0x04:  # cell_id_function: cell_id 16, wait_for_enable_flag 1, 7 reserved
        assert len(function) == 3, "cell_id_function length"
        return ("cell_id", (int.from_bytes(function[0:2], "big"), function[2] >> 7,
                            function[2] & 0x7F))
    return ("tag 0x%02x" % tag, bytes(function))


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


def mips_of(data):
    packets = [data[i:i + PACKET] for i in range(0, len(data), PACKET)]
    return [parse_mip(p) for p in packets if pid_of(p) == MIP_PID]


def check_functions(binary, packets, out_dir):
    """sfnadapt given every function (FUNCTIONS), then a MIP filled to the
    last byte (FULL_MIP): each MIP must carry exactly what it was told.
    Returns the number of MIPs checked."""
    megaframes = 6
    input_path = os.path.join(out_dir, "functions_input.ts")
    with open(input_path, "wb") as stream:
        stream.write(b"".join(packets[:PER_MEGAFRAME * megaframes]))
    base = ["-i", input_path, "-o", "-", "-2k", "-M", "4", "-p", "1/2", "-D", "1/32",
            "--max-delay", MAX_DELAY_S, "--time-source", "fixed:" + START_S]
    expected = {}
    options = []
    for option, value, tx_id, function in FUNCTIONS:
        options += [option, value]
        expected.setdefault(tx_id, []).append(function)
    full = {}
    for option, value in FULL_MIP:
        tx_id, number = (int(x) for x in value.split(":"))
        full[tx_id] = [("time_offset_ns", number) if option == "--tx-offset"
                       else ("cell_id", (number, 0, 0))]
    checked = 0
    for args, want, section_length in ((options, expected, None),
                                       (sum(FULL_MIP, []), full, 182)):
        result = run_sfnadapt(binary, base + args)
        assert result.returncode == 0, result.stderr.decode()
        mips = mips_of(result.stdout)
        assert len(mips) == megaframes, len(mips)
        for mip in mips:
            assert mip["functions"] == want, (mip["functions"], want)
            # Entries in the order of each transmitter's first option.
            assert list(mip["functions"]) == list(want)
        if section_length:
            first = next(i for i in range(0, len(result.stdout), PACKET)
                         if pid_of(result.stdout[i:i + PACKET]) == MIP_PID)
            assert result.stdout[first + 5] == section_length, "section_length"
        checked += len(mips)
    # One power more (4 bytes) than the full MIP holds: refused, nothing out.
    refused_path = os.path.join(out_dir, "refused_full.ts")
    over = run_sfnadapt(binary, base[:2] + ["-o", refused_path] + base[4:] + sum(FULL_MIP, [])
                        + ["--tx-power", "200:1"])
    assert over.returncode == 1, over.returncode
    assert (b"their functions take 167 bytes of individual addressing, " + TOO_MANY.encode()
            in over.stderr), over.stderr.decode()
    assert not os.path.exists(refused_path), "output written"
    return checked


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

    checked = check_functions(args.sfnadapt, packets, args.out)

    # Refused settings: exit code 1, a FATAL ERROR saying why, no output.
    refused_path = os.path.join(args.out, "refused.ts")
    for bad, message in REFUSALS:
        if os.path.exists(refused_path):
            os.remove(refused_path)
        refused = run_sfnadapt(args.sfnadapt, ["-i", input_path, "-o", refused_path] +
                               settings + bad)
        assert refused.returncode == 1, (bad, refused.returncode)
        assert b"FATAL ERROR" in refused.stderr, bad
        assert message.encode() in refused.stderr, (bad, message, refused.stderr.decode())
        assert not os.path.exists(refused_path), ("output written", bad)
    missing = run_sfnadapt(args.sfnadapt, ["-i", os.path.join(args.out, "none.ts"), "-o",
                                           output_path] + settings)
    assert missing.returncode == 2 and b"FATAL ERROR" in missing.stderr
    print("mip_check: %d packets, %d MIPs checked; functions: %d MIPs checked; %d refusals"
          % (len(out), len(mips), checked, len(REFUSALS)))
    print("2 passed, 0 failed")


if __name__ == "__main__":
    main()

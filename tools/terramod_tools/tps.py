"""The TPS words decoded from the cells (EN 300 744 clause 4.6) and checked
against the settings."""
import numpy as np

from . import dvbt
from .dvbt import SYMBOLS_PER_FRAME


def bch_remainder(bits):
    """Remainder of s1..s67 (s1 the highest power) divided by g(x); zero for a
    code word of the shortened BCH(67,53) code."""
    value = int("".join(map(str, bits)), 2)
    degree = dvbt.TPS_BCH_GENERATOR.bit_length() - 1
    while value.bit_length() > degree:
        value ^= dvbt.TPS_BCH_GENERATOR << (value.bit_length() - 1 - degree)
    return value


def decode_tps_word(word):
    """The fields of s1..s67 (a string of '0'/'1', s1 first)."""
    s = "-" + word  # s[i] is bit s_i
    sync = s[1:17]
    inverse = "".join("1" if b == "0" else "0" for b in dvbt.TPS_SYNC_WORD)
    frame_number = int(s[23:25], 2)
    fields = {
        "sync_ok": sync in (dvbt.TPS_SYNC_WORD, inverse),
        "sync_matches_frame": sync == (dvbt.TPS_SYNC_WORD if frame_number % 2 == 0
                                       else inverse),
        "length_indicator": s[17:23],
        "length_ok": s[17:23] in dvbt.TPS_LENGTH_INDICATORS,
        "frame_number": frame_number,
        "constellation": dvbt.CONSTELLATION_NAMES.get(dvbt.TPS_CONSTELLATIONS.get(s[25:27]),
                                                      "reserved"),
        "hierarchy": dvbt.TPS_HIERARCHIES.get(s[27:30], "reserved"),
        "code_rate_hp": dvbt.TPS_CODE_RATES.get(s[30:33], "reserved"),
        "code_rate_lp": dvbt.TPS_CODE_RATES.get(s[33:36], "reserved"),
        "guard_interval": dvbt.TPS_GUARDS[s[36:38]],
        "mode": dvbt.TPS_MODES.get(s[38:40], "reserved"),
        # s40..s47: with length indicator 31 one byte of the cell_id
        # (EN 300 744 V1.4.1 on, clause 4.6.2.10), zero with 23.
        "cell_id_byte": int(s[40:48], 2),
        "bch_ok": bch_remainder([int(b) for b in word]) == 0,
    }
    fields["valid"] = fields["sync_ok"] and fields["length_ok"] and fields["bch_ok"]
    return fields


def decode_tps(cells, layout):
    """Each whole frame's TPS word: DBPSK over the TPS carriers (bit s_l is 1
    when symbol l's TPS cells are inverted against symbol l - 1's), the
    decision taken over all TPS carriers together. Symbol 0 carries the
    absolute reference 2(1/2 - w_k)."""
    tps_cells = cells[:, layout.tps]
    frames = []
    for f in range(len(cells) // SYMBOLS_PER_FRAME):
        frame = tps_cells[f * SYMBOLS_PER_FRAME:(f + 1) * SYMBOLS_PER_FRAME]
        products = (frame[1:] * np.conj(frame[:-1])).real
        metric = products.sum(axis=1)
        word = "".join("1" if m < 0 else "0" for m in metric)
        agreement = np.mean(np.sign(products) == np.sign(metric)[:, None])
        reference_ok = bool(np.all(np.sign(frame[0].real) == layout.tps_reference))
        decoded = decode_tps_word(word)
        decoded.update(index=f, word=word, reference_ok=reference_ok,
                       carrier_agreement=float(agreement))
        frames.append(decoded)
    return frames


def cell_id_of(valid):
    """The 16-bit cell_id of frames that signal length 31: b15..b8 in frames 1
    and 3 of the superframe (frame numbers 0 and 2), b7..b0 in frames 2 and 4
    (1 and 3). Returns (cell_id or None, problems); (None, []) when no frame
    signals one."""
    frames = [frame for frame in valid
              if dvbt.TPS_LENGTH_INDICATORS.get(frame["length_indicator"]) == 31]
    if not frames:
        return None, []
    high = {frame["cell_id_byte"] for frame in frames if frame["frame_number"] % 2 == 0}
    low = {frame["cell_id_byte"] for frame in frames if frame["frame_number"] % 2 == 1}
    problems = []
    if len(high) > 1 or len(low) > 1:
        problems.append("the frames of the file signal different cell_id bytes")
    if not high or not low:
        half = "b15..b8 (frames 1, 3)" if not high else "b7..b0 (frames 2, 4)"
        problems.append(f"cell_id incomplete: no valid frame carries {half}")
    if len(frames) != len(valid):
        problems.append("the frames of the file signal different length indicators")
    if problems and (len(high) != 1 or len(low) != 1):
        return None, problems
    return next(iter(high)) * 256 + next(iter(low)), problems


def settings_mismatches(valid, settings):
    """What the first valid frame signals against the settings, and whether
    the valid frames agree with each other."""
    first = valid[0]
    expected = {"mode": settings.mode,
                "constellation": dvbt.CONSTELLATION_NAMES[settings.constellation],
                "hierarchy": settings.alpha,
                "code_rate_hp": settings.code_rate,
                "guard_interval": settings.guard}
    if settings.lp_code_rate:
        expected["code_rate_lp"] = settings.lp_code_rate
    mismatches = [f"{name}: the signal says {first[name]}, the settings say {value}"
                  for name, value in expected.items() if first[name] != value]
    if any(frame[name] != first[name] for frame in valid for name in expected):
        mismatches.append("the frames of the file signal different settings")
    return mismatches


def frame_faults(frames):
    """Frames with a wrong field, and frame numbers out of sequence."""
    faults = []
    for frame in frames:
        problems = [name for name in ("sync_ok", "length_ok", "bch_ok", "reference_ok",
                                      "sync_matches_frame") if not frame[name]]
        if problems:
            faults.append(f"frame {frame['index']}: " + ", ".join(
                p.replace("_ok", "").replace("_", " ") + " wrong" for p in problems))
    numbers = [frame["frame_number"] for frame in frames]
    if any((b - a) % dvbt.FRAMES_PER_SUPERFRAME != 1 for a, b in zip(numbers, numbers[1:])):
        faults.append(f"frame numbers not consecutive: {numbers}")
    return faults


def tps_report(frames, settings):
    """The signalled settings and how they compare with the requested ones."""
    report = {"frames_decoded": len(frames),
              "frames_valid": sum(frame["valid"] for frame in frames),
              "frames": frames}
    if not frames:
        report.update(checked=False, match=None,
                      note=f"fewer than {SYMBOLS_PER_FRAME} symbols: no whole frame")
        return report
    valid = [frame for frame in frames if frame["valid"]]
    if not valid:
        report.update(checked=True, match=False, mismatches=[
            f"none of the {len(frames)} frames carries a valid TPS word (sync word, length "
            "indicator, BCH check): mode, guard interval, format or BB IF may be wrong"])
        return report
    mismatches = settings_mismatches(valid, settings)
    report["signalled"] = {name: valid[0][name] for name in
                           ("mode", "constellation", "hierarchy", "code_rate_hp",
                            "code_rate_lp", "guard_interval", "length_indicator")}
    cell_id, problems = cell_id_of(valid)
    mismatches += problems
    if cell_id is not None:
        report["signalled"]["cell_id"] = cell_id
    expected_cell_id = getattr(settings, "cell_id", None)
    if expected_cell_id is not None and cell_id != expected_cell_id:
        said = "none" if cell_id is None else f"{cell_id} (0x{cell_id:04X})"
        mismatches.append(f"cell_id: the signal says {said}, the settings say "
                          f"{expected_cell_id} (0x{expected_cell_id:04X})")
    mismatches += frame_faults(frames)
    report.update(checked=True, match=not mismatches, mismatches=mismatches)
    return report

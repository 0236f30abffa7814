"""The DVB-T transmission parameters of the interop scripts: the numbers of
EN 300 744 from the tools' shared tables (terramod_tools.dvbt), the terramod
option values, and their gr-dtv enumeration counterparts."""
import os
import sys
from dataclasses import dataclass
from fractions import Fraction

from gnuradio import dtv, gr

# The tests import the tools, never the other way round.
TOOLS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                         "tools")
if TOOLS_DIR not in sys.path:
    sys.path.insert(0, TOOLS_DIR)
from terramod_tools import dvbt  # noqa: E402
from terramod_tools.dvbt import (BITS_PER_CELL, FRAMES_PER_SUPERFRAME,  # noqa: E402
                                 PACKET_SIZE, RS_PACKET_SIZE, SAMPLING_RATES,
                                 SYMBOLS_PER_FRAME)

__all__ = ["BITS_PER_CELL", "FRAMES_PER_SUPERFRAME", "PACKET_SIZE", "RS_PACKET_SIZE",
           "SAMPLING_RATES", "SYMBOLS_PER_FRAME", "MODES", "CONSTELLATIONS", "HIERARCHIES",
           "CODE_RATES", "GUARD_INTERVALS", "Transmission"]

# gr-dtv's vectors (1504, 1632 bytes ...) are not powers of two, and every
# buffer allocation says so at warning level: keep only errors.
gr.logging().set_default_level(gr.log_levels.err)


@dataclass(frozen=True)
class Mode(dvbt.Mode):
    """A mode's sizes and gr-dtv's name for it."""
    gr_mode: object = None


GR_MODES = {"2k": dtv.T2k, "8k": dtv.T8k}
MODES = {name: Mode(mode.name, mode.fft_size, mode.carrier_count, mode.data_carrier_count,
                    GR_MODES[name]) for name, mode in dvbt.MODES.items()}

# gr-dtv's enumerations of the settings, by terramod's option values.
CONSTELLATIONS = {4: dtv.MOD_QPSK, 16: dtv.MOD_16QAM, 64: dtv.MOD_64QAM}
HIERARCHIES = {"NH": dtv.NH, "1": dtv.ALPHA1, "2": dtv.ALPHA2, "4": dtv.ALPHA4}
CODE_RATES = {"1/2": dtv.C1_2, "2/3": dtv.C2_3, "3/4": dtv.C3_4,
              "5/6": dtv.C5_6, "7/8": dtv.C7_8}
GUARD_INTERVALS = {"1/4": dtv.GI_1_4, "1/8": dtv.GI_1_8,
                   "1/16": dtv.GI_1_16, "1/32": dtv.GI_1_32}


@dataclass(frozen=True)
class Transmission:
    """One set of transmission parameters, named as on terramod's command line."""
    mode: str = "2k"
    constellation: int = 4
    alpha: str = "NH"
    code_rate: str = "1/2"
    guard: str = "1/32"

    @property
    def ofdm(self):
        return MODES[self.mode]

    @property
    def guard_length(self):
        return dvbt.guard_length(self.mode, self.guard)

    @property
    def symbol_length(self):
        return self.ofdm.fft_size + self.guard_length

    @property
    def frame_length(self):
        """Samples in one frame of 68 OFDM symbols at the base rate."""
        return self.symbol_length * SYMBOLS_PER_FRAME

    @property
    def packets_per_frame(self):
        """RS packets carried by one frame (always whole, clause 4.7)."""
        bits = (self.ofdm.data_carrier_count * BITS_PER_CELL[self.constellation]
                * SYMBOLS_PER_FRAME * Fraction(self.code_rate))
        packets = bits / (8 * RS_PACKET_SIZE)
        return packets  # a Fraction: whole per frame or per superframe

    @property
    def packets_per_superframe(self):
        return int(self.packets_per_frame * FRAMES_PER_SUPERFRAME)

    def terramod_options(self):
        return ["-" + self.mode, "-M", "4" if self.constellation == 4 else str(self.constellation),
                "-a", self.alpha, "-p", self.code_rate, "-D", self.guard]

    def label(self):
        alpha = "" if self.alpha == "NH" else f"a{self.alpha}"
        return (f"{self.mode}_{self.constellation}qam{alpha}_r{self.code_rate.replace('/', '')}"
                f"_g{self.guard.replace('/', '')}")

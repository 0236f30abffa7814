"""The settings of an analysis: from the SigMF metadata beside the file,
overridden by the command line, terramod's defaults otherwise."""
from dataclasses import dataclass, field

from . import dvbt

# core:datatype -> the sample type as the analysis names it (ci8 in either
# spelling).
SIGMF_DATATYPES = {"cf32_le": "cf32", "ci16_le": "ci16", "ci8": "ci8", "ci8_le": "ci8"}
# --format: sample type and interpolation (None: as the metadata says).
FORMAT_TYPES = {"float": ("cf32", 1), "agi": ("agi", 1), "2x": ("cf32", 2), "4x": ("cf32", 4),
                "cs16": ("ci16", None), "cs8": ("ci8", None)}


class AnalysisError(Exception):
    """A fatal problem with the input or the settings."""


@dataclass
class Settings:
    mode: str = "2k"
    constellation: int = 4
    alpha: str = "NH"
    code_rate: str = "1/2"
    lp_code_rate: str = None
    cell_id: int = None           # the cell identifier the TPS must carry, when known
    guard: str = "1/32"
    bandwidth_mhz: int = 8
    bb_if: bool = False
    interpolation: int = 1
    sample_type: str = "cf32"     # cf32, ci16, ci8 or agi
    scale: float = None           # integer types: sample = value / scale
    recorded_rate: float = None   # core:sample_rate of the metadata
    source: dict = field(default_factory=dict)   # where each setting came from
    channel: dict = field(default_factory=dict)  # the simulated channel asked (channel.py)

    @property
    def fft_size(self):
        return dvbt.MODES[self.mode].fft_size

    @property
    def carrier_count(self):
        return dvbt.MODES[self.mode].carrier_count

    @property
    def data_carrier_count(self):
        return dvbt.MODES[self.mode].data_carrier_count

    @property
    def guard_length(self):
        return dvbt.guard_length(self.mode, self.guard)

    @property
    def symbol_length(self):
        return self.fft_size + self.guard_length

    @property
    def base_rate(self):
        return dvbt.base_rate(self.bandwidth_mhz)

    @property
    def output_rate(self):
        return self.base_rate * self.interpolation


def read_sigmf_settings(meta, settings):
    """Fills settings from a SigMF global object (the fields terramod writes)."""
    glob = meta.get("global", {})

    def take(key, name, convert):
        if key in glob:
            try:
                setattr(settings, name, convert(glob[key]))
            except (KeyError, ValueError, TypeError) as error:
                raise AnalysisError(f"SigMF field {key}: invalid value {glob[key]!r}") from error
            settings.source[name] = "sigmf"

    def bandwidth(hz):
        mhz = float(hz) / 1e6
        if not 0 < mhz <= 10:
            raise ValueError(hz)
        return round(mhz) if round(mhz) in dvbt.SAMPLING_RATES and mhz == round(mhz) else mhz

    def checked(allowed):
        def convert(value):
            if value not in allowed:
                raise ValueError(value)
            return value
        return convert

    take("core:datatype", "sample_type", lambda v: SIGMF_DATATYPES[v])
    take("dvbt:mode", "mode", checked(dvbt.MODES))
    take("dvbt:constellation", "constellation",
         lambda v: {"4QAM": 4, "QPSK": 4, "16QAM": 16, "64QAM": 64}[v])
    take("dvbt:hierarchy", "alpha", checked(dvbt.HIERARCHIES))
    take("dvbt:code_rate", "code_rate", checked(dvbt.CODE_RATES))
    take("dvbt:lp_code_rate", "lp_code_rate", checked(dvbt.CODE_RATES))
    take("dvbt:guard_interval", "guard", checked(dvbt.GUARDS))
    take("dvbt:bandwidth_hz", "bandwidth_mhz", bandwidth)
    take("dvbt:frequency_mapping", "bb_if", lambda v: {"zero IF": False, "BB IF": True}[v])
    take("dvbt:interpolation", "interpolation", lambda v: {1: 1, 2: 2, 4: 4}[int(v)])
    take("dvbt:scale", "scale", float)
    take("dvbt:cell_id", "cell_id", cell_id_value)
    take("core:sample_rate", "recorded_rate", float)


def cell_id_value(value):
    """A cell identifier: a whole number from 0 to 65535."""
    number = float(value)
    if number != int(number) or not 0 <= number <= 0xFFFF:
        raise ValueError(value)
    return int(number)


def apply_options(args, settings):
    """Command-line settings override the metadata."""
    if args.format is not None:
        sample_type, interpolation = FORMAT_TYPES[args.format]
        settings.sample_type = sample_type
        if interpolation is not None:
            settings.interpolation = interpolation
    for name, value in (("mode", args.mode), ("constellation", args.constellation),
                        ("alpha", args.alpha), ("code_rate", args.code_rate),
                        ("lp_code_rate", args.lp_code_rate),
                        ("guard", args.guard), ("bandwidth_mhz", args.bandwidth),
                        ("scale", args.scale), ("cell_id", args.cell_id)):
        if value is not None:
            setattr(settings, name, value)
            settings.source[name] = "option"
    if args.bb_if:
        settings.bb_if = True
        settings.source["bb_if"] = "option"

"""Finding and reading a sample file terramod wrote: its SigMF metadata,
the samples in any format at terramod's float level, their clipping."""
import json
import os

import numpy as np

from . import formats
from .settings import AnalysisError

# Integer sample types by the analysis' name: full scale of a component.
FULL_SCALE = {sample_type.sigmf_datatype.replace("_le", ""): sample_type.full_scale
              for sample_type in formats.SAMPLE_TYPE_LIST if sample_type.full_scale}
SAMPLE_EXTENSIONS = (".bin", ".sigmf-data", ".sigmf-meta", ".cf32", ".cs16", ".cs8", ".iq",
                     ".raw")


def strip_extension(path):
    base, extension = os.path.splitext(path)
    return base if extension in SAMPLE_EXTENSIONS else path


def read_metadata(meta_path):
    try:
        with open(meta_path, encoding="utf-8") as stream:
            meta = json.load(stream)
    except (OSError, ValueError) as error:
        raise AnalysisError(f"cannot read the SigMF metadata {meta_path}: {error}") from error
    if not isinstance(meta, dict) or not isinstance(meta.get("global"), dict):
        raise AnalysisError(f"{meta_path}: no SigMF global object")
    return meta


def data_path_of_metadata(path, meta):
    """The sample file a .sigmf-meta names (core:dataset) or sits beside."""
    directory = os.path.dirname(path)
    candidates = []
    dataset = meta.get("global", {}).get("core:dataset")
    if dataset:
        candidates.append(os.path.join(directory, dataset))
    candidates += [strip_extension(path) + ".sigmf-data", strip_extension(path) + ".bin"]
    existing = [candidate for candidate in candidates if os.path.exists(candidate)]
    if not existing:
        raise AnalysisError(f"no sample file for {path} (tried {', '.join(candidates)})")
    return existing[0]


def locate_input(path):
    """The metadata (or None), the data path and whether FILE names an
    Agilent pair. The data path of an Agilent pair is its base name."""
    agilent_base = next((path[:-len(suffix)] for suffix in ("_I.bin", "_Q.bin")
                         if path.endswith(suffix)), None)
    base = agilent_base if agilent_base is not None else strip_extension(path)
    meta_path = None
    if path.endswith(".sigmf-meta"):
        meta_path = path
    elif os.path.exists(base + ".sigmf-meta"):
        meta_path = base + ".sigmf-meta"
    meta = read_metadata(meta_path) if meta_path else None
    data_path = path
    if path.endswith(".sigmf-meta"):
        data_path = data_path_of_metadata(path, meta)
    agilent = agilent_base is not None
    if agilent:
        data_path = agilent_base
    elif not os.path.exists(data_path) and os.path.exists(path + "_I.bin"):
        agilent = True
    return meta, meta_path, data_path, agilent


def read_file(path, dtype):
    try:
        return np.fromfile(path, dtype=dtype)
    except (OSError, ValueError) as error:
        raise AnalysisError(f"cannot read {path}: {error}") from error


def read_agilent_pair(data_path, settings):
    for suffix in ("_I.bin", "_Q.bin"):
        if not os.path.exists(data_path + suffix):
            raise AnalysisError(f"cannot read {data_path + suffix}: no such file")
    if os.path.getsize(data_path + "_I.bin") != os.path.getsize(data_path + "_Q.bin"):
        raise AnalysisError(f"{data_path}_I.bin and _Q.bin differ in length")
    samples = formats.read_agilent(data_path, settings.mode)
    i_words, q_words = (read_file(data_path + s, "<i2") for s in ("_I.bin", "_Q.bin"))
    return samples, clip_count(i_words, q_words, formats.AGILENT_MIN_WORD,
                               formats.AGILENT_MAX_WORD)


def read_samples(data_path, settings):
    """The samples as stored (complex, at the output rate, scaled back to
    terramod's float values) and, for the integer types, the clip count."""
    if settings.sample_type == "agi":
        return read_agilent_pair(data_path, settings)
    if not os.path.exists(data_path):
        raise AnalysisError(f"cannot read {data_path}: no such file")
    if settings.sample_type == "cf32":
        raw = read_file(data_path, "<f4")
    else:
        if not settings.scale or settings.scale <= 0:
            raise AnalysisError(f"{settings.sample_type} samples need their scale "
                                "(dvbt:scale in the SigMF metadata, or --scale)")
        raw = read_file(data_path, "<i2" if settings.sample_type == "ci16" else "i1")
    if raw.size % 2:
        raise AnalysisError(f"{data_path}: odd number of values, not I/Q pairs")
    if settings.sample_type == "cf32":
        return raw.view(np.complex64), None
    full_scale = FULL_SCALE[settings.sample_type]
    clipping = clip_count(raw[0::2], raw[1::2], -full_scale, full_scale)
    values = raw.astype(np.float64) / settings.scale
    return values[0::2] + 1j * values[1::2], clipping


def clip_count(i_values, q_values, lowest, highest):
    """Samples with a component at (or beyond) full scale."""
    def clipped(values):
        values = values.astype(np.int32)
        return (values <= lowest) | (values >= highest)
    i_clipped, q_clipped = clipped(i_values), clipped(q_values)
    samples = int(np.count_nonzero(i_clipped | q_clipped))
    return {"full_scale": [lowest, highest], "clipped_samples": samples,
            "clipped_components": int(np.count_nonzero(i_clipped) + np.count_nonzero(q_clipped)),
            "clipped_fraction": samples / max(1, len(i_values))}


def to_base_rate_zero_if(samples, settings):
    """The samples brought to the base rate and zero IF, as the interop
    tests hand them to gr-dtv. Interpolated BB IF outputs carry the zero IF
    interpolation moved up by half the base rate (output sample n times
    e^{j pi n / P}): that is undone before the decimation."""
    return formats.to_base_rate_zero_if(samples, settings.interpolation, settings.bb_if)

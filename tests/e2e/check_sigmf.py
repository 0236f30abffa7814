"""Validates terramod's SigMF metadata files against the SigMF schema and
checks them against their sample files: element size x sample count = file
size, and the sample rate gives the duration of whole OFDM symbols.
Usage: check_sigmf.py SCHEMA FOLDER BASE..."""
import gzip
import json
import os
import sys

import jsonschema

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, "tools"))
from terramod_tools import dvbt, formats  # noqa: E402

ELEMENT_BYTES = {sample_type.sigmf_datatype: sample_type.element_bytes
                 for sample_type in formats.SAMPLE_TYPE_LIST}

schema = json.load(gzip.open(sys.argv[1]) if sys.argv[1].endswith(".gz") else open(sys.argv[1]))
folder = sys.argv[2]
for base in sys.argv[3:]:
    meta = json.load(open(os.path.join(folder, base + ".sigmf-meta")))
    jsonschema.validate(meta, schema)
    g = meta["global"]
    data = os.path.join(folder, g["core:dataset"])
    size = os.path.getsize(data)
    element = ELEMENT_BYTES[g["core:datatype"]]
    assert size % element == 0, (base, size, element)
    count = size // element
    n = dvbt.MODES[g["dvbt:mode"]].fft_size
    guard = dvbt.guard_length(g["dvbt:mode"], g["dvbt:guard_interval"])
    symbol = (n + guard) * g["dvbt:interpolation"]
    assert count % symbol == 0, (base, count, symbol)
    base_rate = g["dvbt:bandwidth_hz"] * 8 / 7
    assert abs(g["core:sample_rate"] - base_rate * g["dvbt:interpolation"]) < 1e-6, base
    duration = count / g["core:sample_rate"]
    symbol_time = (n + guard) / base_rate
    assert abs(duration / symbol_time - count // symbol) < 1e-6, (base, duration, symbol_time)
print("SigMF metadata valid:", " ".join(sys.argv[3:]))

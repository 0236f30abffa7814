"""Validates terramod's SigMF metadata files against the SigMF schema and
checks them against their sample files: element size x sample count = file
size, and the sample rate gives the duration of whole OFDM symbols.
Usage: check_sigmf.py SCHEMA FOLDER BASE..."""
import gzip
import json
import os
import sys

import jsonschema

ELEMENT_BYTES = {"cf32_le": 8, "ci16_le": 4, "ci8": 2}
SYMBOL_SAMPLES = {"2k": 2048, "8k": 8192}
GUARD = {"1/4": 4, "1/8": 8, "1/16": 16, "1/32": 32}

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
    n = SYMBOL_SAMPLES[g["dvbt:mode"]]
    symbol = (n + n // GUARD[g["dvbt:guard_interval"]]) * g["dvbt:interpolation"]
    assert count % symbol == 0, (base, count, symbol)
    base_rate = g["dvbt:bandwidth_hz"] * 8 / 7
    assert abs(g["core:sample_rate"] - base_rate * g["dvbt:interpolation"]) < 1e-6, base
    duration = count / g["core:sample_rate"]
    symbol_time = n / base_rate * (1 + 1 / GUARD[g["dvbt:guard_interval"]])
    assert abs(duration / symbol_time - count // symbol) < 1e-6, (base, duration, symbol_time)
print("SigMF metadata valid:", " ".join(sys.argv[3:]))

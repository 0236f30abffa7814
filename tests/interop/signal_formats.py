"""Reading terramod's output formats back as complex baseband samples at the
base rate and zero IF: the tools' readers (terramod_tools.formats), which
terramod-analyze uses too, under the name the interop scripts know."""
import os
import sys

TOOLS_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                         "tools")
if TOOLS_DIR not in sys.path:
    sys.path.insert(0, TOOLS_DIR)
from terramod_tools.formats import (FORMATS, SAMPLE_TYPES, base_rate_samples,  # noqa: E402
                                    read_float_iq)

__all__ = ["FORMATS", "SAMPLE_TYPES", "base_rate_samples", "read_float_iq"]

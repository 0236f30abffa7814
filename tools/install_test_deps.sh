#!/bin/sh
# Installs what the test suite needs beyond the machine's own toolchain:
# Google Highway for the wide SIMD kernels (the build falls back to the
# portable ones without it), GNU Radio's DVB-T receiver (the independent peer
# of the interop tests) and the Python packages its script uses, and ffmpeg
# for the rate adaptation checks. Runs as root on a fresh machine; does nothing when everything is
# present.
set -e
missing=""
pkg-config --exists libhwy 2>/dev/null || missing="$missing libhwy-dev pkg-config"
/usr/bin/python3 -c 'from gnuradio import dtv' 2>/dev/null || missing="$missing gnuradio"
/usr/bin/python3 -c 'import numpy, scipy' 2>/dev/null || missing="$missing python3-numpy python3-scipy"
/usr/bin/python3 -c 'import matplotlib' 2>/dev/null || missing="$missing python3-matplotlib"
/usr/bin/python3 -c 'import jsonschema' 2>/dev/null || missing="$missing python3-jsonschema"
command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1 || missing="$missing ffmpeg"
[ -z "$missing" ] && exit 0
echo "Installing test dependencies:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null

#!/bin/sh
# Installs what the test suite needs beyond the machine's own toolchain:
# GNU Radio's DVB-T receiver (the independent peer of the interop tests), the
# Python packages its script uses, and SoapySDR's development files and tools.
# Runs as root on a fresh machine; does nothing when everything is present.
set -e
missing=""
/usr/bin/python3 -c 'from gnuradio import dtv' 2>/dev/null || missing="$missing gnuradio"
/usr/bin/python3 -c 'import numpy, scipy' 2>/dev/null || missing="$missing python3-numpy python3-scipy"
/usr/bin/python3 -c 'import matplotlib' 2>/dev/null || missing="$missing python3-matplotlib"
# SoapySDR: the SDR sink and its tests (the test device module, SoapySDRUtil --find).
dpkg -s libsoapysdr-dev >/dev/null 2>&1 || missing="$missing libsoapysdr-dev"
command -v SoapySDRUtil >/dev/null 2>&1 || missing="$missing soapysdr-tools"
[ -z "$missing" ] && exit 0
echo "Installing test dependencies:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null

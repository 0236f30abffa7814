#!/bin/sh
# Installs what the test suite needs beyond the machine's own toolchain:
# GNU Radio's DVB-T receiver (the independent peer of the interop tests), the
# Python packages its scripts use, ffmpeg for the rate adaptation checks,
# clang 14 with its runtime libraries (libFuzzer and the sanitizers) for
# `make fuzz` and `make fuzz-smoke`, SoapySDR's development files and tools,
# FFTW (double precision, found through pkg-config) for the --precise
# transform, Google Highway for the wide SIMD kernels (the build falls
# back to the portable ones without it), the SRT library (libsrt-openssl-dev,
# found through pkg-config) for the srt:// input and its tests, and srt-tools,
# whose srt-live-transmit is an independent SRT peer for trying that input by
# hand, civetweb (libcivetweb-dev) for the metrics endpoint, the Prometheus
# project's Python client, whose parser checks the metrics text, libsystemd's
# development files for the service notification, toml++ for the
# configuration file, for the packaging tests groff (the man pages render
# without warnings) and dpkg-dev (dpkg-shlibdeps, which the Debian package's
# dependencies come from), and for `make check-arm64` the aarch64 cross
# compiler and qemu-user, which runs what it builds. Runs as root on a fresh
# Debian 12 machine; does nothing when everything is present.
set -e
missing=""
pkg-config --exists libhwy 2>/dev/null || missing="$missing libhwy-dev pkg-config"
/usr/bin/python3 -c 'from gnuradio import dtv' 2>/dev/null || missing="$missing gnuradio"
/usr/bin/python3 -c 'import numpy, scipy' 2>/dev/null || missing="$missing python3-numpy python3-scipy"
/usr/bin/python3 -c 'import matplotlib' 2>/dev/null || missing="$missing python3-matplotlib"
/usr/bin/python3 -c 'import jsonschema' 2>/dev/null || missing="$missing python3-jsonschema"
command -v ffmpeg >/dev/null 2>&1 && command -v ffprobe >/dev/null 2>&1 || missing="$missing ffmpeg"
command -v clang++-14 >/dev/null 2>&1 || missing="$missing clang-14"
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || missing="$missing libclang-rt-14-dev"
# SoapySDR: the SDR sink and its tests (the test device module, SoapySDRUtil --find).
dpkg -s libsoapysdr-dev >/dev/null 2>&1 || missing="$missing libsoapysdr-dev"
command -v SoapySDRUtil >/dev/null 2>&1 || missing="$missing soapysdr-tools"
pkg-config --exists fftw3 2>/dev/null || missing="$missing pkg-config libfftw3-dev"
# SRT: the srt:// input and its tests; srt-live-transmit to try it by hand.
pkg-config --exists srt 2>/dev/null || missing="$missing pkg-config libsrt-openssl-dev"
command -v srt-live-transmit >/dev/null 2>&1 || missing="$missing srt-tools"
# The metrics endpoint, and the parser that reads its text in the tests.
dpkg -s libcivetweb-dev >/dev/null 2>&1 || missing="$missing libcivetweb-dev"
/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null || missing="$missing python3-prometheus-client"
# Service notification (sd_notify); the man pages and the Debian package.
pkg-config --exists libsystemd 2>/dev/null || missing="$missing pkg-config libsystemd-dev"
command -v groff >/dev/null 2>&1 || missing="$missing groff-base"
command -v dpkg-shlibdeps >/dev/null 2>&1 || missing="$missing dpkg-dev"
# The configuration file (toml++); systemd-analyze checks the service unit.
pkg-config --exists tomlplusplus 2>/dev/null || missing="$missing pkg-config libtomlplusplus-dev"
command -v systemd-analyze >/dev/null 2>&1 || missing="$missing systemd"
# The ARM64 check and the aarch64 configure test: Debian's cross compiler, qemu-user.
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing="$missing g++-aarch64-linux-gnu"
command -v qemu-aarch64 >/dev/null 2>&1 || missing="$missing qemu-user"
[ -z "$missing" ] && exit 0
echo "Installing test dependencies:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing >/dev/null

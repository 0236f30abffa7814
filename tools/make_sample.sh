#!/bin/sh
# Makes samples/testcard.ts: two seconds of a PAL-size test card with a 1 kHz
# tone, MPEG-2 video and MPEG-1 layer II audio in an MPEG-2 transport stream
# muxed at a constant 6.032086 Mbit/s (null packets fill the rest), which is
# the useful bit rate of terramod's default settings (2k, QPSK, rate 1/2,
# guard 1/32, 8 MHz). Needs ffmpeg.
set -e
cd "$(dirname "$0")/.."
out=${1:-samples/testcard.ts}
ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=720x576:rate=25:duration=2" \
    -f lavfi -i "sine=frequency=1000:sample_rate=48000:duration=2" \
    -map 0:v -map 1:a \
    -c:v mpeg2video -b:v 3500k -minrate 3500k -maxrate 3500k -bufsize 1835k -g 12 \
    -pix_fmt yuv420p -aspect 4:3 \
    -c:a mp2 -b:a 192k -ac 2 \
    -fflags +bitexact -flags:v +bitexact -flags:a +bitexact -map_metadata -1 \
    -metadata service_provider=terramod -metadata service_name="terramod test card" \
    -f mpegts -muxrate 6032086 -mpegts_flags +resend_headers \
    "$out"
size=$(wc -c < "$out")
echo "$out: $size bytes, $((size / 188)) packets"

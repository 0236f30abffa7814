#!/usr/bin/env bash
# The standing speed comparison: terramod with one thread and with every
# processor, each with the default (exact) and the fast arithmetic, and GNU
# Radio's DVB-T transmitter (gr-dtv, the one the interop tests use), on the
# same random transport stream, on this machine. Prints one table of
# real-time factors (transport stream bits per second achieved over the
# channel's useful bit rate, medians of RUNS runs), the speed of the fast
# arithmetic over the exact one ("fast/1", "fast/N": the exact run's time over
# the fast run's) and the ratio of terramod (exact, every processor) to
# gr-dtv measured in the same run.
#
#   bench/compare_gnuradio.sh [build/terramod] [MB of stream, default 60] [runs, default 3]
set -euo pipefail
terramod=$(realpath "${1:-build/terramod}")
megabytes=${2:-60}
runs=${3:-3}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/terramod_compare.XXXXXX)
trap 'rm -rf "$work"' EXIT

packets=$((megabytes * 1000000 / 188))
/usr/bin/python3 "$source_dir/tools/make_random_ts.py" "$work/in.ts" "$packets" --seed 7 >/dev/null
stream_bits=$(($(stat -c %s "$work/in.ts") * 8))
processors=$(nproc)
have_gnuradio=1
/usr/bin/python3 -c 'from gnuradio import dtv' 2>/dev/null || have_gnuradio=0

# The useful bit rate of settings, as terramod reports it (Mbit/s).
useful_rate() {
    { "$terramod" -i /dev/null "$@" -v 2 -l "$work/rate.log" 2>/dev/null || true; } |
        sed -n 's/.*Useful throughput   : \([0-9.]*\) Mbps.*/\1/p' | head -1
}

# Wall-clock seconds of a command.
seconds_of() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'
}

# Median wall-clock seconds of a command over the runs.
median_seconds() {
    local times=()
    for ((run = 0; run < runs; run++)); do times+=("$(seconds_of "$@")"); done
    median "${times[@]}"
}

factor() {  # real-time factor from seconds and the useful rate in Mbit/s
    echo "scale=2; $stream_bits / $1 / ($2 * 1000000)" | bc -l
}

printf '%-38s %9s %9s %9s %9s %7s %7s %8s %6s\n' "Case" "1 thread" "$processors thr." \
    "fast 1" "fast $processors" "fast/1" "fast/$processors" "gr-dtv" "ratio"
# terramod with the exact and the fast arithmetic, one thread and every
# processor, the four runs in turn (the machine's load then weighs on each
# alike), and gr-dtv.
run_case() {
    local name=$1 output=$2 gr_args=$3
    shift 3
    local rate
    rate=$(useful_rate "$@")
    local out_args=(-d t -o /dev/shm/terramod_compare_out)
    [[ $output == none ]] && out_args=()
    local base=("$terramod" -i "$work/in.ts" "${out_args[@]}" "$@" -v 0 -l /dev/null)
    local one=() all=() fast_one=() fast_all=()
    for ((run = 0; run < runs; run++)); do
        one+=("$(seconds_of "${base[@]}" --threads 1)")
        fast_one+=("$(seconds_of "${base[@]}" --threads 1 --arithmetic fast)")
        all+=("$(seconds_of "${base[@]}")")
        fast_all+=("$(seconds_of "${base[@]}" --arithmetic fast)")
        rm -f /dev/shm/terramod_compare_out*
    done
    local t1 tn f1 fn
    t1=$(median "${one[@]}")
    tn=$(median "${all[@]}")
    f1=$(median "${fast_one[@]}")
    fn=$(median "${fast_all[@]}")
    local gr_text="-" ratio="-"
    if [[ $have_gnuradio == 1 && -n $gr_args ]]; then
        local gr_seconds
        # shellcheck disable=SC2086
        gr_seconds=$(median_seconds /usr/bin/python3 "$source_dir/tests/interop/gr_dvbt_tx.py" \
            "$work/in.ts" /dev/null $gr_args)
        gr_text="$(factor "$gr_seconds" "$rate")x"
        ratio=$(echo "scale=1; $gr_seconds / $tn" | bc -l)
    fi
    printf '%-38s %8sx %8sx %8sx %8sx %7s %7s %8s %6s\n' "$name" "$(factor "$t1" "$rate")" \
        "$(factor "$tn" "$rate")" "$(factor "$f1" "$rate")" "$(factor "$fn" "$rate")" \
        "$(echo "scale=2; $t1 / $f1" | bc -l)" "$(echo "scale=2; $tn / $fn" | bc -l)" \
        "$gr_text" "$ratio"
}
run_case "8k 64QAM 7/8 1/32, no output" none \
    "--mode 8k --constellation 64 --code-rate 7/8 --guard 1/32" -8k -M 64 -p 7/8 -D 1/32
run_case "2k QPSK 1/2 1/32, no output" none \
    "--mode 2k --constellation 4 --code-rate 1/2 --guard 1/32" -2k -M 4 -p 1/2 -D 1/32
run_case "8k 64QAM 7/8 -F 2x cf32 to /dev/shm" file "" -8k -M 64 -p 7/8 -F 2x
run_case "8k 64QAM 7/8 -F 4x cf32 to /dev/shm" file "" -8k -M 64 -p 7/8 -F 4x
echo "($megabytes MB random stream, medians of $runs runs, $(nproc) processors:" \
    "$(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1))"

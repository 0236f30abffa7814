#!/bin/bash
# Runs a native terramod and a 64-bit ARM build of it (under qemu-user on an x86-64
# machine) over the same short stream and settings, with every stage dumped, and says
# whether every file they write is the same to the byte: the samples, every stage dump and
# the SigMF metadata; the log and the console text too, with the timing lines left out.
# A difference is named by setting, stage and the offset of its first differing byte.
# Usage: tools/check_arm64.sh NATIVE_TERRAMOD ARM64_TERRAMOD [STREAM.ts]
#   STREAM.ts   default samples/testcard.ts, of which the first PACKETS packets are sent
#   PACKETS     packets of the stream sent (default 300)
#   ARM64_RUN   what runs the ARM64 program (default: qemu-aarch64 -L /usr/aarch64-linux-gnu;
#               empty when the machine runs it directly)
#   KEEP        a folder: keep the outputs of every setting there
# Exit status 0 when every setting gives the same bytes on both, 1 otherwise.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
[[ $# -ge 2 ]] || { sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 1; }
native=$(realpath "$1") || exit 1
arm64=$(realpath "$2") || exit 1
stream=${3:-$here/samples/testcard.ts}
packets=${PACKETS:-300}
read -r -a runner <<<"${ARM64_RUN-qemu-aarch64 -L /usr/aarch64-linux-gnu}"

# Every setting is run with all the stages dumped unless it names its own -d (the
# convolutional encoder, the puncturer and the bit interleaver carry packed bits only when
# neither v nor p is dumped). in.ts is the stream; add settings at the end.
settings=(
  "-2k -M 4 -p 1/2 -D 1/32 -b 8"
  "-8k -M 4 -p 2/3 -D 1/4 -b 6 -c 0"
  "-2k -M 16 -p 3/4 -D 1/8 -b 7"
  "-8k -M 16 -p 5/6 -D 1/16 -f BBIF"
  "-2k -M 64 -p 7/8 -D 1/4 -c 0"
  "-8k -M 64 -p 2/3 -D 1/32 -b 7"
  "-2k -M 64 -a 2 -p 1/2 -f BBIF"
  "-2k -M 16 -a 4 -p 2/3 --lp-input in.ts --lp-rate 3/4"
  "-8k -M 64 -a 1 -p 1/2 -D 1/8 --lp-input in.ts --lp-rate 5/6"
  "-2k -M 16 -p 1/2 -F 2x"
  "-2k -M 64 -p 3/4 -F 4x -f BBIF"
  "-8k -M 16 -p 2/3 -D 1/4 -F 4x"
  "-2k -M 4 -p 2/3 -F agi"
  "-2k -M 64 -p 5/6 -F HP"
  "-2k -M 16 -p 3/4 --cn 20 --echo-profile P1 --freq-offset 100"
  "-8k -M 64 -p 2/3 -D 1/8 -F 2x --cn 20 --echo-profile P1 --freq-offset 100"
  "-2k -M 64 -p 1/2 --echo-profile F1 --doppler 40 --phase-noise -80@10000 --iq-imbalance 0.5,2 --seed 7"
  "-2k -M 16 -p 2/3 --echoes 1.5:-3:45:20,7:-9:120 --cn 12"
  "-2k -M 64 -D 1/4 --window 16"
  "-8k -M 16 -p 1/2 -F 2x --window 64 --cell-id 42"
  "-2k -M 16 -p 3/4 --sample-type cs16 --backoff 9"
  "-8k -M 4 -p 1/2 -F 2x --sample-type cs8"
  "-8k -M 64 -p 7/8 -D 1/4 -d t"
  "-2k -M 16 -a 2 -p 3/4 --lp-input in.ts --lp-rate 1/2 -d t -F 2x"
  "-2k -M 64 -p 2/3 --arithmetic fast"
  "-8k -M 64 -p 7/8 -D 1/32 --arithmetic fast -f BBIF"
  "-8k -M 16 -p 1/2 -F 4x --arithmetic fast --window 32"
  "-2k -M 16 -p 3/4 -F 2x --arithmetic fast --clock-offset 12.5 --cn 25"
  "-8k -M 64 -p 2/3 -F 4x --arithmetic fast --clock-offset -3 --sample-type cs16"
)
all_stages=ercvpbsmft

# What a file holds, from its name (README, "Output and dump files"), and its place in
# the chain, so that the first stage to differ is named first.
stage_of() {
  case $1 in
    *_lp_ed.bin) echo "01 LP energy dispersal" ;; *_ed.bin) echo "02 energy dispersal" ;;
    *_lp_rs.bin) echo "03 LP Reed-Solomon" ;; *_rs.bin) echo "04 Reed-Solomon" ;;
    *_lp_ci.bin) echo "05 LP outer interleaver" ;; *_ci.bin) echo "06 outer interleaver" ;;
    *_lp_ve.bin) echo "07 LP convolutional encoder" ;; *_ve.bin) echo "08 convolutional encoder" ;;
    *_lp_pu.bin) echo "09 LP puncturer" ;; *_pu.bin) echo "10 puncturer" ;;
    *_bi.bin) echo "11 bit interleaver" ;; *_si.bin) echo "12 symbol interleaver" ;;
    *_ma.bin) echo "13 mapper" ;; *_fd.bin) echo "14 frame before the IFFT" ;;
    *_I.bin | *_Q.bin) echo "15 Agilent words" ;; *.bin) echo "15 output samples" ;;
    *.sigmf-meta) echo "16 SigMF metadata" ;; log.txt) echo "17 log, timing lines left out" ;;
    console.txt) echo "18 console, timing lines left out" ;; *) echo "19 ?" ;;
  esac
}

# The ARM64 program must be one: an ELF file whose machine (bytes 18-19) is 183, AArch64.
machine=$(od -An -t u2 -j 18 -N 2 "$arm64" 2>/dev/null | tr -d ' ')
if [[ $(head -c 4 "$arm64" | od -An -c | tr -d ' ') != 177ELF || $machine != 183 ]]; then
  echo "$arm64 is no AArch64 program (ELF machine ${machine:-none})" >&2
  exit 1
fi
if [[ ${#runner[@]} -gt 0 ]] && ! command -v "${runner[0]}" >/dev/null; then
  echo "${runner[0]} not found: install qemu-user (Debian; tools/install_test_deps.sh does)" >&2
  exit 1
fi

work=$(mktemp -d /tmp/check_arm64.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
head -c $((188 * packets)) "$stream" >"$work/in.ts"
if [[ $(stat -c %s "$work/in.ts") -ne $((188 * packets)) ]]; then
  echo "$stream holds fewer than $packets packets" >&2
  exit 1
fi

# One run in its own folder: exit status, console and log without the timing lines.
timing="Elapsed time|times (faster|slower)|Log file for terramod"
run() {
  local dir=$1 setting=$2
  shift 2
  local -a args
  read -r -a args <<<"$setting"
  [[ " $setting " == *" -d "* ]] || args+=(-d "$all_stages")
  mkdir -p "$dir" && cp "$work/in.ts" "$dir/"
  (cd "$dir" && "$@" -i in.ts -o out "${args[@]}" -l run.log >console.raw 2>&1 </dev/null
    echo "exit status $?" >>console.raw)
  grep -v -E "$timing" "$dir/console.raw" >"$dir/console.txt"
  [[ -e $dir/run.log ]] && grep -v -E "$timing" "$dir/run.log" >"$dir/log.txt"
  rm -f "$dir/console.raw" "$dir/run.log" "$dir/in.ts"
}

failed=0
n=0
start=$SECONDS
for setting in "${settings[@]}"; do
  n=$((n + 1))
  t0=$SECONDS
  run "$work/native" "$setting" "$native"
  run "$work/arm64" "$setting" "${runner[@]}" "$arm64"
  diffs=()
  status=$(tail -n 1 "$work/native/console.txt")
  [[ $status == "exit status 0" ]] || diffs+=("native run: $status")
  while read -r _ name; do
    stage=$(stage_of "$name")
    stage=${stage#* }
    a=$work/native/$name
    b=$work/arm64/$name
    if [[ ! -e $b ]]; then
      diffs+=("$name ($stage): ARM64 did not write it")
    elif [[ ! -e $a ]]; then
      diffs+=("$name ($stage): only ARM64 wrote it")
    elif ! cmp -s "$a" "$b"; then
      first=$(cmp "$a" "$b" 2>/dev/null | sed -n 's/.* byte \([0-9]*\).*/\1/p')
      [[ -n $first ]] && first="first difference at byte $((first - 1))" ||
        first="one is a prefix of the other"
      diffs+=("$name ($stage): $(stat -c %s "$a") and $(stat -c %s "$b") bytes, $first")
    fi
  done < <(cd "$work" && for f in native/* arm64/*; do
    f=${f#*/}
    echo "$(stage_of "$f" | cut -d' ' -f1) $f"
  done | sort -u)
  files=$(find "$work/native" -type f | wc -l)
  if [[ ${#diffs[@]} -eq 0 ]]; then
    printf 'same      %3d s  %2d files  %s\n' $((SECONDS - t0)) "$files" "$setting"
  else
    failed=$((failed + 1))
    printf 'DIFFERENT %3d s  %2d files  %s\n' $((SECONDS - t0)) "$files" "$setting"
    printf '            %s\n' "${diffs[@]}"
  fi
  if [[ -n ${KEEP:-} ]]; then
    mkdir -p "$KEEP/$n" && mv "$work/native" "$work/arm64" "$KEEP/$n/" &&
      echo "$setting" >"$KEEP/$n/setting"
  fi
  rm -rf "$work/native" "$work/arm64"
done
echo "$((n - failed)) of $n settings: the same bytes on x86-64 and ARM64 ($packets packets," \
  "$((SECONDS - start)) s)"
[[ $failed -eq 0 ]]

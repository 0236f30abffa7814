#!/bin/bash
# Runs two terramod builds over 14 command lines (file, dumps, Agilent, 4x BB IF with
# threads, hierarchical, bad sync, cs16, --adapt-rate, --window/--precise, bad options, a
# missing input, -h, -V, standard output) and says whether their console, standard error and
# log texts are the same, timing lines left out.
# Usage: tools/compare_run_texts.sh OLD_TERRAMOD NEW_TERRAMOD STREAM.ts
old=$(realpath "$1"); new=$(realpath "$2"); ts=$(realpath "$3")
work=$(mktemp -d /tmp/texts.XXXX)
head -c $((188*300)) $ts > $work/in.ts
printf '\x47\x00' | cat - $work/in.ts | head -c $((188*300)) > $work/bad.ts
lines=(
 "-i in.ts -o out -d t"
 "-i in.ts -o out -d ercvpbsmft -8k -M 64 -p 7/8 -D 1/4"
 "-i in.ts -o out -d t -F agi"
 "-i in.ts -o out -d t -F 4x -f BBIF --threads 3"
 "-i in.ts -o out -d t -M 16 -a 2 --lp-input in.ts --lp-rate 3/4"
 "-i bad.ts -o out -d e"
 "-i in.ts -o out -d t --sample-type cs16 --backoff 9"
 "-i in.ts -o out -d t --adapt-rate"
 "-i in.ts -o out -d t --window 16 --precise"
 "-i in.ts -M 65 -x -c 9 -d tq -F zz -v 3"
 "-i missing.ts"
 "-h"
 "-V"
 "-i in.ts -o - -d t -v 2"
)
n=0; bad=0
for l in "${lines[@]}"; do
  for b in old new; do
    mkdir -p $work/$b$n; cp $work/in.ts $work/bad.ts $work/$b$n/
    bin=$old; [ $b = new ] && bin=$new
    (cd $work/$b$n && $bin $l -l run.log > console.txt 2> errors.txt < /dev/null; echo "exit $?" >> console.txt)
    for f in console.txt errors.txt run.log; do grep -v -E "Elapsed time|times (faster|slower)|Log file for terramod" $work/$b$n/$f > $work/$b$n/$f.f 2>/dev/null; done
  done
  d=""
  for f in console.txt.f errors.txt.f run.log.f; do cmp -s $work/old$n/$f $work/new$n/$f || d="$d $f"; done
  if [ -n "$d" ]; then echo "DIFF [$l]:$d"; bad=$((bad+1)); fi
  n=$((n+1))
done
echo "$((n-bad)) of $n command lines: same console and log texts"
rm -rf $work

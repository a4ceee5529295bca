#!/bin/bash
# A stand-in encoder for the simulated cluster: it takes the encoder's command line
# (-c CFG -i INPUT -b BITSTREAM -wdt W -hgt H [-q QP]), reads every picture it is handed (8-bit
# 4:2:0), sleeps CLUSTER_MS_PER_PICTURE milliseconds for each (default 100), so that it takes an
# encoder's time without using a core, and writes one real HEVC picture for each: slice<k>.265
# beside this script, k the picture's first sample modulo 4, so that the bitstream tells which
# pictures it was given and in which order. Each is an IDR picture; the parameter sets
# (headers.265) come first and again before every picture whose second sample is 1, as an
# encoder repeats them every intra period, so a stream cut at those pictures joins into the
# stream of one run. It prints a picture line each for the quality report, and appends
# "host start end bitstream pictures" to runs.txt beside this script once it has written its
# bitstream. With CLUSTER_GATE set it first waits (up to a minute) for that file to exist, so
# that a test can let every process claim work first.
for ((waited = 0; waited < 1200; waited++)); do
    [ -z "$CLUSTER_GATE" ] || [ -e "$CLUSTER_GATE" ] && break
    sleep 0.05
done
started=$EPOCHREALTIME
here=${0%/*}
prev= input= output= width=0 height=0 qp=32
for a in "$@"; do
    case $prev in
        -i) input=$a ;; -b) output=$a ;; -wdt) width=$a ;; -hgt) height=$a ;; -q) qp=$a ;;
    esac
    prev=$a
done
if [ -z "$input" ] || [ -z "$output" ] || [ "$width" -le 0 ] || [ "$height" -le 0 ]; then
    echo "usage: $0 -c CFG -i INPUT -b BITSTREAM -wdt W -hgt H [-q QP]" >&2
    exit 2
fi
# One line a picture: its first sample modulo 4, and whether it starts an intra period.
mapfile -t kinds < <(od -An -v -tu1 -w$((width * height * 3 / 2)) "$input" | awk '{ print $1 % 4, $2 }')
pictures=${#kinds[@]}
units=()
for ((i = 0; i < pictures; i++)); do
    ((i == 0 || ${kinds[i]#* } == 1)) && units+=("$here/headers.265")
    units+=("$here/slice${kinds[i]% *}.265")
done
ms=$((pictures * ${CLUSTER_MS_PER_PICTURE:-100}))
# Stopped (the job ends it with SIGTERM), it ends at once, its sleep with it.
trap 'kill "$sleeper" 2> /dev/null; exit 143' TERM
sleep "$((ms / 1000)).$(printf %03d $((ms % 1000)))" &
sleeper=$!
wait "$sleeper"
if [ "$pictures" -gt 0 ]; then
    cat "${units[@]}" > "$output" || exit 3
else
    : > "$output"
fi
for ((poc = 0; poc < pictures; poc++)); do
    printf 'POC %4d TId: 0 ( I-SLICE, nQP %d QP %d ) %8d bits [Y %d.0 dB    U %d.0 dB    V %d.0 dB]\n' \
        "$poc" "$qp" "$qp" $((2000 - 20 * qp)) $((90 - qp)) $((92 - qp)) $((92 - qp))
done
printf '%s %s %s %s %d\n' "$HOSTNAME" "$started" "$EPOCHREALTIME" "$output" "$pictures" >> "$here/runs.txt"

#!/usr/bin/env bash
# Segments inside one job, on a 1080p clip with the bundled encoder limited to one thread (as
# the reference encoder runs). Prints, one figure a line:
#   parallel_job_speedup        one piece's wall time / the same job with -j 2
#   encoder_pair_scaling        what the machine allows: two bare encoders side by side against
#                               one, on the same clip's first pictures as raw frames
#   segments_vs_peer_ratio      -j 2's wall time / the peer's: two ffmpeg tools with libx265 (one
#                               thread each, the same preset, QP and intra period) over the clip's
#                               two halves side by side, each decoding its half as we do, and the
#                               halves put together with cat (target <= 1)
#   parallel_job_efficiency     parallel_job_speedup / encoder_pair_scaling (target >= 0.95)
#   parallel_job_ceiling        the most parallel_job_efficiency the -j 2 job's CPU time allows on
#                               two cores
#                               These four: the medians of BENCH_JOB_RUNS (3) rounds taken in
#                               turn, each figure of a round against the same round's runs, with
#                               the spreads.
#   raw_segment_feed_share      the job's own CPU time over its encoders' for a raw input in
#                               segments (-j 2) (target <= 0.02), and the part of it that is the
#                               checks' decode of every picture (raw_segment_check_decode_share)
#   parallel_psnr_cost_db       PSNR-Y of one piece minus that of -j 2 (target <= 0.05)
#   parallel_size_cost          bytes of -j 2 / bytes of one piece, minus 1 (target <= 0.02)
#   resume_redo_share           -j 2 stopped at about 60 % and resumed: pictures encoded twice
#                               over all pictures (target: at most the segments in flight,
#                               printed as resume_in_flight_share)
#   shared_folder_efficiency    one process with -j 1 alone / (2 cores x three such processes on
#                               the same job at once) (target >= 0.85), the median of
#                               BENCH_SHARED_RUNS (3) runs taken in turn, with the spread, the
#                               ceiling the alone run's CPU time sets and the segments each took
#   short_job_speedup           a short job (600 pictures at 320x240, keyframes every 2 s): one
#                               piece's wall time / -j 2 --segment-length 96's, the median of
#                               BENCH_SHORT_RUNS (3) runs taken in turn, with the spread
#   segment_fixed_cost_seconds  the same job in its seven segments one after another (-j 1) minus
#                               one piece, over the segments: what a segment costs beyond its pictures
# Needs MORLUNEX_BUILD (a Release build) and BENCH_WORK.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

frames=${BENCH_SEGMENT_FRAMES:-400}
shared_length=${BENCH_SHARED_SEGMENT:-32}
work=$BENCH_WORK/segments
mkdir -p "$work"
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
clip=$work/clip_1080p.mp4
cli=$MORLUNEX_BUILD/bin/morlunex-cli
# Keyframes every 2 s, as in most real inputs.
make_video_1080p "$clip" "$frames" -g 50
make_single_thread_config "$work/single.cfg"
psnr() {
    ffmpeg -nostdin -hide_banner -i "$1" -i "$clip" -lavfi "[0:v]crop=1920:1080:0:0[a];[a][1:v]psnr" -f null - 2>&1 |
        sed -n 's/.*PSNR y:\([0-9.]*\).*/\1/p'
}
# The job with the clip's configuration, and the clip through it.
job=("$cli" -q --progress none -c "$work/single.cfg")
encode() { "${job[@]}" "$@" "$clip"; }

# Figures of runs taken in turn, one "name value" line each in FILE: the median of NAME's, and
# all of them in order, the spread.
median() { median_of $(awk -v w="$2" '$1 == w { print $2 }' "$1"); }
spread() { spread_of $(awk -v w="$2" '$1 == w { print $2 }' "$1"); }
# GNU time writes a command's CPU time (user and system, its children's included) to FILE;
# cpu_sum adds up such files.
timed() { /usr/bin/time -o "$1" -f "%U %S" "${@:2}"; }
cpu_sum() { awk '{ s += $1 + $2 } END { printf "%.3f", s }' "$@"; }

# The peer a user would pick instead of -j 2.
half=$((frames / 2))
peer_half() {
    ffmpeg -nostdin -hide_banner -loglevel error -y -ss "$(awk -v f="$1" 'BEGIN { printf "%.2f", f / 25 }')" \
        -i "$clip" -frames:v "$half" -c:v libx265 -preset medium \
        -x265-params "qp=32:keyint=32:min-keyint=32:scenecut=0:repeat-headers=1:pools=1:frame-threads=1:log-level=error" \
        -f hevc "$work/peer_$1.265"
}

# One piece, -j 2, the peer and the bare pair (two encoders side by side against one, on raw
# frames of the same clip: what the machine allows), BENCH_JOB_RUNS (3) rounds taken in turn so
# that a slow spell of the machine falls on all four. On two cores the -j 2 job's wall time is at
# least its CPU time (encoders, feeds and checks) over two, while one piece runs its feed and
# check on the second core beside its encoder: the most speedup the machine allows the job is
# twice the one piece's wall time over the -j 2 CPU time, printed over the pair's scaling as
# parallel_job_ceiling, with the cores one piece keeps busy.
pair_frames=${BENCH_PAIR_FRAMES:-100}
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$clip" -frames:v "$pair_frames" -vf pad=1920:1088 \
    -f rawvideo -pix_fmt yuv420p "$work/raw_1920x1088.yuv"
job_runs=${BENCH_JOB_RUNS:-3}
: > "$work/job_times.txt"
for ((run = 0; run < job_runs; run++)); do
    start=$(now)
    timed "$work/one_cpu.txt" "${job[@]}" -o "$work/one.265" "$clip"
    one=$(since "$start")
    start=$(now)
    timed "$work/two_cpu.txt" "${job[@]}" -j 2 -o "$work/two.265" "$clip"
    two=$(since "$start")
    start=$(now)
    peer_half 0 &
    peer_half "$half"
    wait
    cat "$work/peer_0.265" "$work/peer_$half.265" > "$work/peer.265"
    peer=$(since "$start")
    pair=$(encoder_pair_scaling "$work/single.cfg" "$work/raw_1920x1088.yuv" 1920 1088)
    awk -v a="$one" -v b="$two" -v p="$peer" -v s="$pair" -v ca="$(cpu_sum "$work/one_cpu.txt")" \
        -v cb="$(cpu_sum "$work/two_cpu.txt")" 'BEGIN {
        printf "speedup %.3f\nefficiency %.3f\nvs_peer %.3f\npair %.3f\nceiling %.3f\ncores %.3f\n", a / b, a / b / s, b / p, s,
            2 * a / cb / s, ca / a
        printf "one %.1f\ntwo %.1f\npeer %.1f\none_cpu %.1f\ntwo_cpu %.1f\n", a, b, p, ca, cb }' >> "$work/job_times.txt"
done
pair=$(median "$work/job_times.txt" pair)
echo "parallel_job_speedup $(median "$work/job_times.txt" speedup)"
echo "parallel_job_speedup_runs $(spread "$work/job_times.txt" speedup)"
echo "one_piece_seconds $(spread "$work/job_times.txt" one)"
echo "two_encoders_seconds $(spread "$work/job_times.txt" two)"
echo "encoder_pair_scaling $pair"
echo "encoder_pair_scaling_runs $(spread "$work/job_times.txt" pair)"
echo "parallel_job_efficiency $(median "$work/job_times.txt" efficiency)"
echo "parallel_job_efficiency_runs $(spread "$work/job_times.txt" efficiency)"
echo "parallel_job_ceiling $(median "$work/job_times.txt" ceiling)"
echo "one_piece_cores_busy $(median "$work/job_times.txt" cores)"
echo "job_cpu_seconds one piece $(spread "$work/job_times.txt" one_cpu), -j 2 $(spread "$work/job_times.txt" two_cpu)"
echo "peer_two_halves_seconds $(spread "$work/job_times.txt" peer)"
echo "segments_vs_peer_ratio $(median "$work/job_times.txt" vs_peer)"
echo "segments_vs_peer_ratio_runs $(spread "$work/job_times.txt" vs_peer)"

# The same raw frames in segments: the CPU time of the job's own process against its encoders'.
# GNU time adds each encoder's CPU time to a file; the job's total comes from the same tool. The
# wrapper has the bundled encoder's name, so that the job takes the way it takes with it. Each
# segment's check decodes every picture of it: one decode of the output, by the ffmpeg tool on
# one thread, over the encoders' CPU time is printed as raw_segment_check_decode_share, the part
# of the feed's share that is that decode.
mkdir -p "$work/timed"
printf '#!/bin/sh\nexec /usr/bin/time -a -o "%s" -f "%%U %%S" "%s" "$@"\n' \
    "$work/encoder_cpu.txt" "$MORLUNEX_BUILD/bin/morlunex-hevc-encoder" > "$work/timed/morlunex-hevc-encoder"
chmod +x "$work/timed/morlunex-hevc-encoder"
rm -f "$work/encoder_cpu.txt" "$work/job_cpu.txt"
timed "$work/job_cpu.txt" "${job[@]}" \
    -e "$work/timed/morlunex-hevc-encoder" -j 2 --size 1920x1088 --fps 25 -o "$work/raw_segments.265" \
    "$work/raw_1920x1088.yuv"
total=$(cpu_sum "$work/job_cpu.txt")
encoders=$(cpu_sum "$work/encoder_cpu.txt")
timed "$work/decode_cpu.txt" ffmpeg -nostdin -hide_banner -loglevel error -threads 1 \
    -i "$work/raw_segments.265" -f null -
awk -v t="$total" -v e="$encoders" 'BEGIN { printf "raw_segment_feed_share %.4f\n", (t - e) / e }'
awk -v d="$(cpu_sum "$work/decode_cpu.txt")" -v e="$encoders" 'BEGIN { printf "raw_segment_check_decode_share %.4f\n", d / e }'
echo "raw_segments_encoders_cpu_seconds $encoders"
rm -f "$work/raw_1920x1088.yuv"
p1=$(psnr "$work/one.265")
p2=$(psnr "$work/two.265")
awk -v a="$p1" -v b="$p2" 'BEGIN { printf "parallel_psnr_cost_db %.4f\n", a - b }'
s1=$(stat -c %s "$work/one.265")
s2=$(stat -c %s "$work/two.265")
awk -v a="$s1" -v b="$s2" 'BEGIN { printf "parallel_size_cost %.4f\n", b / a - 1 }'
echo "one_piece_psnr_y $p1"
echo "two_encoders_psnr_y $p2"

# Stopped at about 60 %, then resumed. SIGTERM: a script's background job ignores SIGINT.
"$cli" -q --progress json -c "$work/single.cfg" -j 2 -o "$work/resumed.265" "$clip" 2> "$work/stopped.json" &
pid=$!
while kill -0 "$pid" 2> /dev/null; do
    pictures=$({ grep "^{" "$work/stopped.json" || true; } | tail -n 1 | sed -n 's/.*"pictures":\([0-9]*\).*/\1/p')
    if [ -n "$pictures" ] && [ "$pictures" -ge $((frames * 6 / 10)) ]; then
        kill -TERM "$pid"
        break
    fi
    sleep 0.5
done
wait "$pid" || true
handed=$({ grep "^{" "$work/stopped.json" || true; } | tail -n 1 | sed -n 's/.*"pictures":\([0-9]*\).*/\1/p')
if [ -d "$work/resumed.265.parts" ]; then
    # No segment may have finished yet: then nothing is kept.
    kept=$({ cat "$work/resumed.265.parts"/part_*.json 2> /dev/null || true; } |
           sed -n 's/.*"pictures": \([0-9]*\).*/\1/p' | awk '{ s += $1 } END { print s + 0 }')
    # The segments in flight at the stop: the job starts the lowest open segment of its plan
    # whenever an encoder is free, so those are the plan's first two segments without a record.
    in_flight=$(tr -d ' \t\n' < "$work/resumed.265.parts/job.json" | grep -o '"segments":\[[][0-9,-]*\]' |
        grep -o '\[-\?[0-9]*,-\?[0-9]*\]' | tr -d '[]' |
        while IFS=, read -r first count; do
            [ -e "$(printf '%s/part_%07d.json' "$work/resumed.265.parts" "$first")" ] ||
                echo "$first $count"
        done | awk -v f="$frames" 'n < 2 { s += ($2 < 0 ? f - $1 : $2); n++ } END { print s + 0 }')
    encode -j 2 -o "$work/resumed.265"
    awk -v h="$handed" -v k="$kept" -v f="$frames" 'BEGIN { printf "resume_redo_share %.4f\n", (h - k) / f }'
    awk -v i="$in_flight" -v f="$frames" 'BEGIN { printf "resume_in_flight_share %.4f\n", i / f }'
    echo "resume_stopped_after $handed"
    echo "resume_kept_pictures $kept"
    cmp -s "$work/resumed.265" "$work/two.265" && echo "resume_same_bytes yes" || echo "resume_same_bytes no"
else
    echo "resume_redo_share n/a (the job ended before it could be stopped)"
fi

# Three processes on one job in a shared folder, against one alone, BENCH_SHARED_RUNS (3) times
# in turn. Alone, the process's feed decode and each segment's check run on the second core
# beside the encoder; three processes share both cores with all of that, so their wall time is
# at least the alone run's CPU time over two, and the efficiency at most the alone run's wall
# time over its CPU time: printed as shared_folder_ceiling, with the share of the two cores the
# three kept busy (shared_cores_busy) and what the pair's scaling leaves of that ceiling.
shared_runs=${BENCH_SHARED_RUNS:-3}
: > "$work/shared_times.txt"
for ((run = 0; run < shared_runs; run++)); do
    rm -f "$work/alone.265" "$work/shared.265"
    start=$(now)
    timed "$work/alone_cpu.txt" "${job[@]}" -j 1 --segment-length "$shared_length" -o "$work/alone.265" "$clip"
    alone=$(since "$start")
    start=$(now)
    timed "$work/three_cpu.txt" bash -c '
        for i in 1 2 3; do
            "$0" --progress none -c "$1" -j 1 --segment-length "$2" --encoder-log /dev/null -o "$3" "$4" 2> "$5_$i.err" &
        done
        wait' "$cli" "$work/single.cfg" "$shared_length" "$work/shared.265" "$clip" "$work/shared"
    together=$(since "$start")
    awk -v a="$alone" -v t="$together" -v ca="$(cpu_sum "$work/alone_cpu.txt")" -v ct="$(cpu_sum "$work/three_cpu.txt")" 'BEGIN {
        printf "efficiency %.3f\nceiling %.3f\nbusy %.3f\nalone %.1f\nthree %.1f\n", a / (2 * t), a / ca, ct / (2 * t), a, t }' \
        >> "$work/shared_times.txt"
    cmp -s "$work/alone.265" "$work/shared.265" || echo "# shared folder: the three processes' output differs from the one alone" >&2
done
echo "shared_folder_efficiency $(median "$work/shared_times.txt" efficiency)"
echo "shared_folder_efficiency_runs $(spread "$work/shared_times.txt" efficiency)"
echo "shared_folder_ceiling $(median "$work/shared_times.txt" ceiling)"
echo "shared_cores_busy $(median "$work/shared_times.txt" busy)"
# Both cores busy also slow each encoder down as the pair's scaling shows: the ceiling the machine
# sets, what one alone leaves of its CPU time to the encoders times that scaling over two.
awk -v c="$(median "$work/shared_times.txt" ceiling)" -v p="$pair" 'BEGIN { printf "shared_folder_machine_ceiling %.3f\n", c * p / 2 }'
echo "shared_alone_seconds $(spread "$work/shared_times.txt" alone)"
echo "shared_three_seconds $(spread "$work/shared_times.txt" three)"
echo "shared_segments_taken $(for i in 1 2 3; do grep -c '^Segment [0-9]*/[0-9]*: pictures' "$work/shared_$i.err"; done | paste -sd/)"

# A short job, where what a segment costs beyond its pictures shows: runs of the three ways in
# turn, so that a slow spell of the machine falls on all three.
short=$work/short_320x240.mp4
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 600 \
    -c:v libx264 -g 50 -pix_fmt yuv420p "$short"
short_runs=${BENCH_SHORT_RUNS:-3}
: > "$work/short_times.txt"
for ((run = 0; run < short_runs; run++)); do
    for way in one two serial; do
        case $way in
            one) options=() ;;
            two) options=(-j 2 --segment-length 96) ;;
            serial) options=(-j 1 --segment-length 96) ;;
        esac
        start=$(now)
        "${job[@]}" "${options[@]}" -o "$work/short_$way.265" "$short"
        echo "$way $(since "$start")" >> "$work/short_times.txt"
    done
done
short_one=$(median "$work/short_times.txt" one)
short_two=$(median "$work/short_times.txt" two)
short_serial=$(median "$work/short_times.txt" serial)
awk -v a="$short_one" -v b="$short_two" 'BEGIN { printf "short_job_speedup %.3f\n", a / b }'
echo "short_job_seconds one piece $(spread "$work/short_times.txt" one), -j 2 $(spread "$work/short_times.txt" two)," \
    "-j 1 in segments $(spread "$work/short_times.txt" serial)"
awk -v a="$short_one" -v s="$short_serial" 'BEGIN { printf "segment_fixed_cost_seconds %.3f\n", (s - a) / 7 }'
cmp -s "$work/short_two.265" "$work/short_serial.265" && echo "short_job_two_and_serial_same_bytes yes" || echo "short_job_two_and_serial_same_bytes no"

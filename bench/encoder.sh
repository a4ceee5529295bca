#!/usr/bin/env bash
# The bundled encoder beside the same x265 library driven by the ffmpeg tool, on the same raw
# 1080p pictures with the same settings: preset, constant QP, fixed intra period without
# scene-cut detection, parameter sets with every intra picture, and the library's automatic
# threading on both sides (one thread pool over all cores, frame threads chosen by core count).
# The one extra on our side is the library's own PSNR measurement, which the report needs.
# Prints, one figure a line:
#   encoder_fps / ffmpeg_x265_fps          pictures per second (best of the runs)
#   encoder_vs_ffmpeg_x265_ratio           our wall time / the tool's wall time (target <= 1.05)
#   encoder_bytes / ffmpeg_x265_bytes      bitstream sizes (equal settings give near-equal sizes)
#   encoder_psnr_y_reported                mean luma PSNR of our summary
#   encoder_psnr_y_ffmpeg                  mean of the ffmpeg psnr filter's per-picture luma PSNR
#                                          on our decoded output (target: within 0.05 dB)
#   encoder_peak_rss_mb / ffmpeg_x265_peak_rss_mb   where /usr/bin/time is available
# Needs MORLUNEX_BUILD (a Release build, program in $MORLUNEX_BUILD/bin) and BENCH_WORK.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"

encoder=$MORLUNEX_BUILD/bin/morlunex-hevc-encoder
frames=${BENCH_ENCODER_FRAMES:-40}
preset=${BENCH_ENCODER_PRESET:-medium}
runs=${BENCH_ENCODER_RUNS:-3}
qp=32
period=32
work=$BENCH_WORK/encoder
mkdir -p "$work"
raw=$work/clip_1920x1080.yuv

# A moving pattern with light temporal noise, so that motion search and residual coding work.
ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=1920x1080:rate=25,noise=alls=6:allf=t" \
    -frames:v "$frames" -pix_fmt yuv420p -f rawvideo "$raw"

cat > "$work/bench.cfg" <<CFG
FrameRate         : 25
FramesToBeEncoded : $frames
InputBitDepth     : 8
InputChromaFormat : 420
QP                : $qp
IntraPeriod       : $period
MlxPreset         : $preset
CFG

timer=()
[ -x /usr/bin/time ] && timer=(/usr/bin/time -f %M -o)

now() { date +%s.%N; }
calc() { awk "BEGIN { v = $1; printf \"%.6f\", (v < 0 ? -v : v) }"; }

# run NAME COMMAND...: wall seconds of one run on stdout; peak RSS (KiB) in $work/NAME.rss
run() {
    local name=$1
    shift
    local start end
    start=$(now)
    if [ ${#timer[@]} -gt 0 ]; then
        "${timer[@]}" "$work/$name.rss" "$@" > "$work/$name.log" 2> "$work/$name.err"
    else
        "$@" > "$work/$name.log" 2> "$work/$name.err"
    fi
    end=$(now)
    calc "$end - $start"
}

ours=()
theirs=()
for ((i = 0; i < runs; i++)); do
    ours+=("$(run encoder "$encoder" -c "$work/bench.cfg" -i "$raw" -b "$work/ours.265" \
        -wdt 1920 -hgt 1080)")
    theirs+=("$(run ffmpeg_x265 ffmpeg -nostdin -hide_banner -y \
        -f rawvideo -pix_fmt yuv420p -s 1920x1080 -r 25 -i "$raw" \
        -c:v libx265 -preset "$preset" \
        -x265-params "qp=$qp:keyint=$period:min-keyint=$period:scenecut=0:repeat-headers=1" \
        -f hevc "$work/theirs.265")")
done
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
ours_s=$(best "${ours[@]}")
theirs_s=$(best "${theirs[@]}")

printf 'encoder_fps %.3f\n' "$(calc "$frames / $ours_s")"
printf 'ffmpeg_x265_fps %.3f\n' "$(calc "$frames / $theirs_s")"
printf 'encoder_vs_ffmpeg_x265_ratio %.3f\n' "$(calc "$ours_s / $theirs_s")"
echo "encoder_bytes $(stat -c %s "$work/ours.265")"
echo "ffmpeg_x265_bytes $(stat -c %s "$work/theirs.265")"

# Our summary line: count, "a", bitrate, then the mean luma PSNR.
reported=$(awk '/^SUMMARY/ { getline; getline; print $4; exit }' "$work/encoder.log")
ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/ours.265" \
    -f rawvideo -pix_fmt yuv420p -s 1920x1080 -r 25 -i "$raw" \
    -lavfi "[0:v][1:v]psnr=stats_file=$work/psnr.log" -f null -
measured=$(awk '{ for (i = 1; i <= NF; i++) if ($i ~ /^psnr_y:/) { split($i, v, ":"); s += v[2]; n++ } }
               END { printf "%.4f", s / n }' "$work/psnr.log")
echo "encoder_psnr_y_reported $reported"
echo "encoder_psnr_y_ffmpeg $measured"
printf 'encoder_psnr_y_difference %.4f\n' "$(calc "$reported - $measured")"

if [ ${#timer[@]} -gt 0 ]; then
    printf 'encoder_peak_rss_mb %.1f\n' "$(calc "$(cat "$work/encoder.rss") / 1024")"
    printf 'ffmpeg_x265_peak_rss_mb %.1f\n' "$(calc "$(cat "$work/ffmpeg_x265.rss") / 1024")"
fi
rm -f "$raw" "$work/ours.265" "$work/theirs.265"

#!/usr/bin/env bash
# Decoder benchmark. Needs MORLUNEX_BUILD (a Release build with the bench programs in
# $MORLUNEX_BUILD/bench) and BENCH_WORK (a scratch folder). Prints:
#   decode_to_raw_ratio  our wall time over the ffmpeg tool's, same 300 pictures to raw 4:2:0
#   peak_rss_mb_100      peak memory of our loop over 100 pictures
#   peak_rss_mb_1000     the same over 1,000 pictures (should not grow with the length)
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build folder}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch folder}"

bench=$MORLUNEX_BUILD/bench/decode_bench
clip=$BENCH_WORK/decode_1080p_h264.mp4

# 1080p H.264 with B-frames, long enough for the 1,000-picture memory figure.
if [ ! -s "$clip" ]; then
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i testsrc2=size=1920x1080:rate=30 -frames:v 1000 \
        -c:v libx264 -preset superfast -bf 3 -g 60 -pix_fmt yuv420p "$clip"
fi

"$bench" compare "$clip" "$BENCH_WORK" 300 6
for pictures in 100 1000; do
    echo "peak_rss_mb_$pictures $("$bench" memory "$clip" "$BENCH_WORK/decode_memory.420" $pictures)"
    rm -f "$BENCH_WORK/decode_memory.420"
done

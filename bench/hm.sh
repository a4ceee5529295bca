#!/usr/bin/env bash
# Segments with the encoder they are for: the reference encoder, single-threaded, on a raw
# 4:2:0 8-bit sequence. Prints, one figure a line:
#   hm_parallel_speedup   hevczent.cfg, 256 pictures, one piece's wall time / -j 2's with
#                         segments of two intra periods (target >= 1.9)
#   hm_seam_exact         yes when -j 2's output is byte for byte one piece's, with hevczent.cfg
#                         and with the stock random-access file (source keys added, its
#                         temporal filter on); one line for each besides
#   hm_overlap_cpu_share  CPU time of a job in segments of one intra period (its encoders and
#                         its own, which for a raw input is about 2 % of theirs) over one
#                         piece's, hevczent.cfg; hm_overlap_cpu_share_two_periods the same for
#                         the -j 2 job's segments of two intra periods (target <= 1.06)
#   hm_seam_bd_rate       BD-rate Y of segments against one piece, the stock random-access file
#                         (source keys added), QP 22/27/32/37, segments of two intra periods
#                         (0.00 % where the seams are exact), with the rate-PSNR points of each side
# Needs MORLUNEX_BUILD, BENCH_WORK and the reference encoder (MORLUNEX_REFERENCE_BIN, else
# ../shared/testdata/reference-encoder/bin); prints a note and nothing else without it.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

find_reference || exit 0
size=${BENCH_HM_SIZE:-416x240}
speed_frames=${BENCH_HM_FRAMES:-256}
seam_frames=${BENCH_HM_SEAM_FRAMES:-128}
work=$BENCH_WORK/hm
mkdir -p "$work"
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
cli=$MORLUNEX_BUILD/bin/morlunex-cli
encoder=$reference/TAppEncoder
cd "$work"

# A moving, textured sequence, so that the seams' cost shows as it would on camera content.
ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi \
    -i "testsrc2=size=$size:rate=30,noise=alls=4:allf=t" -frames:v $(( seam_frames > speed_frames ? seam_frames : speed_frames )) \
    -pix_fmt yuv420p -f rawvideo "seq_$size.yuv"
head -c $(( ${size%x*} * ${size#*x} * 3 / 2 * speed_frames )) "seq_$size.yuv" > "short_$size.yuv"
head -c $(( ${size%x*} * ${size#*x} * 3 / 2 * seam_frames )) "seq_$size.yuv" > "seam_$size.yuv"

hevczent=$MORLUNEX_BUILD/bin/hevczent.cfg
hperiod=$(sed -n 's/^IntraPeriod *: *\([0-9]*\).*/\1/p' "$hevczent" | tail -n 1)
# The CPU time (user and system) of a command and the processes it waited for, in seconds.
cpu_of() {
    /usr/bin/time -f '%U %S' -o cpu.txt "$@"
    awk '{ printf "%.2f", $1 + $2 }' cpu.txt
}
start=$(now)
one_cpu=$(cpu_of "$cli" -q -e "$encoder" -c "$hevczent" --fps 30 -o one.265 "short_$size.yuv")
one=$(since "$start")
start=$(now)
two_cpu=$(cpu_of "$cli" -q -e "$encoder" -c "$hevczent" --fps 30 -j 2 --segment-length $((2 * hperiod)) -o two.265 \
    "short_$size.yuv")
two=$(since "$start")
awk -v a="$one" -v b="$two" 'BEGIN { printf "hm_parallel_speedup %.3f\n", a / b }'
echo "hm_one_piece_seconds $one"
echo "hm_two_encoders_seconds $two"
# Segments of one intra period, one after another: the extra picture each codes is all the
# CPU time they add.
seg_cpu=$(cpu_of "$cli" -q -e "$encoder" -c "$hevczent" --fps 30 -j 1 --segment-length "$hperiod" -o seg.265 \
    "short_$size.yuv")
awk -v a="$seg_cpu" -v b="$one_cpu" 'BEGIN { printf "hm_overlap_cpu_share %.3f\n", a / b }'
awk -v a="$two_cpu" -v b="$one_cpu" 'BEGIN { printf "hm_overlap_cpu_share_two_periods %.3f\n", a / b }'
exact_hevczent=no
cmp -s one.265 two.265 && cmp -s one.265 seg.265 && exact_hevczent=yes

keys='FrameRate : 30\nFramesToBeEncoded : 1000000\nInputBitDepth : 8\nInputChromaFormat : 420\nFrameSkip : 0\n'
{ printf "$keys"; cat "$stock"; } > ra.cfg
period=$(sed -n 's/^IntraPeriod *: *\([0-9]*\).*/\1/p' ra.cfg | tail -n 1)
# Side by side, one core each: -j 1 with the segment length cuts the very segments -j 2 does,
# and a segment's bytes do not depend on how many encoders run at once.
"$cli" -q -e "$encoder" -c ra.cfg --fps 30 --qp 22,27,32,37 -o one_ra.265 "seam_$size.yuv" &
"$cli" -q -e "$encoder" -c ra.cfg --fps 30 --qp 22,27,32,37 -j 1 --segment-length $((2 * period)) \
    -o two_ra.265 "seam_$size.yuv"
wait
exact_ra=yes
for qp in 22 27 32 37; do
    cmp -s "one_ra_QP$qp.265" "two_ra_QP$qp.265" || exact_ra=no
done
exact=no
[ "$exact_hevczent" = yes ] && [ "$exact_ra" = yes ] && exact=yes
echo "hm_seam_exact $exact"
echo "hm_seam_exact_hevczent $exact_hevczent"
echo "hm_seam_exact_randomaccess $exact_ra"
if "$cli" --progress json --bd-rate one_ra_QP{22,27,32,37}.json --vs two_ra_QP{22,27,32,37}.json > bd.json; then
    bd=$(sed -n 's/.*"bd_rate_y":\([-0-9.e]*\).*/\1/p' bd.json)
    echo "hm_seam_bd_rate ${bd:-n/a}"
else
    echo "hm_seam_bd_rate n/a (--bd-rate ended with $?)"
fi
# The four points of each side: rate (kbit/s) and PSNR-Y (dB), with their report; each point is
# one object, its keys in alphabetical order.
{ grep -o '{[^{}]*"report":"[^"]*"[^{}]*}' bd.json || true; } |
    sed -n 's/.*"psnr_y":\([0-9.]*\).*"rate_kbps":\([0-9.e+]*\).*"report":"\([^"]*\)".*/hm_seam_point \3 \2 kbit\/s \1 dB/p'

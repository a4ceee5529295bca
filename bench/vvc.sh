#!/usr/bin/env bash
# Jobs with the VVC reference encoder, single-threaded and slow, on a raw 176x144 4:2:0 8-bit
# sequence of three intra periods and one picture (97 pictures at 30 a second, the random-access
# file's IntraPeriod -32 resolved to 32). Prints, one figure a line:
#   vvc_seam_exact          yes when -j 2 gives one piece's bytes with the stock random-access
#                           file (source keys added, temporal filter on) and with the all-intra
#                           file (TemporalSubsampleRatio 8: every eighth picture coded), and the
#                           VVC decoder checks every picture's hash of every stream OK; one line
#                           for each file besides
#   vvc_seam_bd_rate        BD-rate Y of -j 2 against one piece, the random-access file, QP
#                           22/27/32/37 (0 where the seams are exact)
#   vvc_parallel_speedup    one piece's wall time over -j 2's, the random-access file, the same
#                           four QPs (segments of one intra period: the last holds one picture)
#   vvc_job_overhead_share  the job's own CPU time over its encoder's, one piece at QP 37 (the
#                           encoder's measured by GNU time around it, in the same run)
# Needs MORLUNEX_BUILD, BENCH_WORK and the VVC reference encoder with its decoder
# (MORLUNEX_VVC_BIN, else ../shared/testdata/reference-encoder-vvc/bin); prints a note and
# nothing else without them, or where this build cannot yet encode VVC in one piece.
# BENCH_VVC_FRAMES makes the sequence shorter for a quick try.
set -euo pipefail
: "${MORLUNEX_BUILD:?set MORLUNEX_BUILD to a Release build directory}"
: "${BENCH_WORK:?set BENCH_WORK to a scratch directory}"
source "$(dirname "$0")/clip_1080p.sh"

root=$(cd "$(dirname "$0")/.." && pwd)
vvc=${MORLUNEX_VVC_BIN:-$root/../shared/testdata/reference-encoder-vvc/bin}
stock=$root/../shared/testdata/reference-encoder-vvc
if [ ! -x "$vvc/EncoderApp" ] || [ ! -x "$vvc/DecoderApp" ] || [ ! -f "$stock/encoder_randomaccess_vtm.cfg" ]; then
    echo "# vvc: the VVC reference encoder, its decoder or its stock files are not there; skipped" >&2
    exit 0
fi
frames=${BENCH_VVC_FRAMES:-97}
size=176x144
work=$BENCH_WORK/vvc
mkdir -p "$work"
export TMPDIR=$work/tmp
mkdir -p "$TMPDIR"
cli=$MORLUNEX_BUILD/bin/morlunex-cli
cd "$work"

ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=30,noise=alls=4:allf=t" \
    -frames:v "$frames" -pix_fmt yuv420p -f rawvideo "seq_$size.yuv"
keys='FrameRate : 30\nFramesToBeEncoded : 1000000\nInputBitDepth : 8\nInputChromaFormat : 420\nFrameSkip : 0\n'
{ printf "$keys"; cat "$stock/encoder_randomaccess_vtm.cfg"; printf 'SEIDecodedPictureHash : 1\n'; } > ra.cfg
{ printf "$keys"; cat "$stock/encoder_intra_vtm.cfg"; printf 'SEIDecodedPictureHash : 1\nTemporalSubsampleRatio : 8\n'; } > ai.cfg

# The encoder's own CPU time, measured around it by a wrapper; its decoder beside it, where
# the job looks for it.
mkdir -p timed
ln -sf "$vvc/DecoderApp" timed/DecoderApp
cat > timed/encoder <<WRAP
#!/bin/sh
exec /usr/bin/time -f '%U %S' -o "$work/encoder_cpu.txt" "$vvc/EncoderApp" "\$@"
WRAP
chmod +x timed/encoder

# The CPU time (user and system) of a command and the processes it waited for, in seconds.
cpu_of() {
    /usr/bin/time -f '%U %S' -o cpu.txt "$@"
    awk '{ printf "%.3f", $1 + $2 }' cpu.txt
}
# Whether the VVC decoder checks every picture's hash of the stream OK: as many OK as pictures.
hashes_ok() {
    local out
    out=$("$vvc/DecoderApp" -b "$1" -o /dev/null 2>&1) || return 1
    ! grep -q 'ERROR\|WARNING' <<<"$out" && [ "$(grep -c '(OK)' <<<"$out")" -eq "$2" ]
}

set +e
job_cpu=$(cpu_of "$cli" -q -e timed/encoder -c ra.cfg --fps 30 --qp 37 -o probe.266 "seq_$size.yuv" 2> probe.err)
status=$?
set -e
if [ "$status" -ne 0 ]; then
    echo "# vvc: this build cannot encode VVC in one piece yet (status $status: $(tail -n 1 probe.err)); skipped" >&2
    exit 0
fi
encoder_cpu=$(awk '{ printf "%.3f", $1 + $2 }' encoder_cpu.txt)
awk -v j="$job_cpu" -v e="$encoder_cpu" 'BEGIN { printf "vvc_job_overhead_share %.4f\n", (j - e) / e }'

qps=22,27,32,37
start=$(now)
"$cli" -q -e "$vvc/EncoderApp" -c ra.cfg --fps 30 --qp $qps -o one_ra.266 "seq_$size.yuv"
one=$(since "$start")
start=$(now)
"$cli" -q -e "$vvc/EncoderApp" -c ra.cfg --fps 30 --qp $qps -j 2 --segment-length 32 -o two_ra.266 "seq_$size.yuv"
two=$(since "$start")
awk -v a="$one" -v b="$two" 'BEGIN { printf "vvc_parallel_speedup %.3f\n", a / b }'
echo "vvc_one_piece_seconds $one"
echo "vvc_two_encoders_seconds $two"

exact_ra=yes
for qp in 22 27 32 37; do
    cmp -s "one_ra_QP$qp.266" "two_ra_QP$qp.266" || exact_ra=no
    hashes_ok "one_ra_QP$qp.266" "$frames" && hashes_ok "two_ra_QP$qp.266" "$frames" || exact_ra=no
done
coded=$(( (frames + 7) / 8 ))
"$cli" -q -e "$vvc/EncoderApp" -c ai.cfg --fps 30 -o one_ai.266 "seq_$size.yuv"
"$cli" -q -e "$vvc/EncoderApp" -c ai.cfg --fps 30 -j 2 --segment-length 32 -o two_ai.266 "seq_$size.yuv"
exact_ai=no
cmp -s one_ai.266 two_ai.266 && hashes_ok one_ai.266 "$coded" && hashes_ok two_ai.266 "$coded" && exact_ai=yes
exact=no
[ "$exact_ra" = yes ] && [ "$exact_ai" = yes ] && exact=yes
echo "vvc_seam_exact $exact"
echo "vvc_seam_exact_randomaccess $exact_ra"
echo "vvc_seam_exact_intra $exact_ai"
"$cli" --progress json --bd-rate one_ra_QP{22,27,32,37}.json --vs two_ra_QP{22,27,32,37}.json > bd.json
grep -o '"bd_rate_y":[-0-9.e]*' bd.json | sed 's/"bd_rate_y":/vvc_seam_bd_rate /'

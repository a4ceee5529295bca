# Sourced by the job benchmarks: the whole encode job (the window driven headless by
# bench/job_bench, with the bundled encoder) and the ffmpeg tool with libx265 on the same clip.

now() { date +%s.%N; }
best() { printf '%s\n' "$@" | sort -g | head -n 1; }
worst() { printf '%s\n' "$@" | sort -g | tail -n 1; }

# run_pair RUNS CLIP CONFIG WORK X265_PARAMS [TOOL_OPTION...]
# RUNS alternating runs, best of each side: a 2-core machine is noisy, and the order must not
# favour either side. Each job run's own figures go to WORK/job.N.out, the streams to
# WORK/ours.265 and WORK/theirs.265; sets ours and theirs to the best wall time of each side.
run_pair() {
    local runs=$1 clip=$2 config=$3 work=$4 params=$5
    shift 5
    local ours_runs=() theirs_runs=() start i
    rm -f "$work"/job.*.out "$work"/job.*.err
    for ((i = 0; i < runs; i++)); do
        "$MORLUNEX_BUILD/bench/job_bench" job "$clip" "$MORLUNEX_BUILD/bin/TAppEncoder_hm80.exe" \
            "$config" "$work/ours.265" > "$work/job.$i.out" 2> "$work/job.$i.err"
        ours_runs+=("$(awk '/^job_seconds/ { print $2 }' "$work/job.$i.out")")

        start=$(now)
        ffmpeg -nostdin -hide_banner -loglevel error -y -i "$clip" -c:v libx265 "$@" \
            -x265-params "$params" -f hevc "$work/theirs.265"
        theirs_runs+=("$(awk "BEGIN { printf \"%.3f\", $(now) - $start }")")
    done
    ours=$(best "${ours_runs[@]}")
    theirs=$(best "${theirs_runs[@]}")
}

# psnr_y STREAM CLIP [FORMAT]: luma PSNR of a 1080p stream against the clip, the padding rows
# of ours cropped away; both in FORMAT when one is given.
psnr_y() {
    local graph="[0:v]crop=1920:1080:0:0[a];[a][1:v]psnr"
    [ -n "${3:-}" ] && graph="[0:v]crop=1920:1080:0:0,format=$3[a];[1:v]format=$3[b];[a][b]psnr"
    ffmpeg -nostdin -hide_banner -i "$1" -i "$2" -lavfi "$graph" -f null - 2>&1 |
        sed -n 's/.*PSNR y:\([0-9.inf]*\).*/\1/p' | tail -n 1
}

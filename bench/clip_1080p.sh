#!/usr/bin/env bash
# Sourced by the job benchmarks: the 1080p clip they share and the configuration both sides of
# the comparison use.
#   make_clip_1080p PATH FRAMES   the ffmpeg tool's noisy test pattern at 25 fps in H.264 with
#                                 three B pictures, and a stereo AAC track as long
#   make_job_config PATH QP PERIOD   the window's default configuration with QP and intra period
make_clip_1080p() {
    local seconds
    seconds=$(awk -v f="$2" 'BEGIN { printf "%.2f", f / 25 }')
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=1920x1080:rate=25,noise=alls=6:allf=t" \
        -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" -frames:v "$2" \
        -c:v libx264 -preset veryfast -bf 3 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 128k "$1"
}

make_job_config() {
    {
        cat "$MORLUNEX_BUILD/bin/hevczent.cfg"
        printf 'QP : %s\nIntraPeriod : %s\n' "$2" "$3"
    } > "$1"
}

#!/usr/bin/env bash
# Takes the manual's screenshots of the window with the current build, under Xvfb:
#   main_window_after_1500_pictures   one encoder, once a 1,500-picture clip is encoded
#   report_dialog_1500_pictures       that encode's report
#   report_dialog_30_pictures         the report of a 30-picture encode
#   cmdline_two_encoders              the "Cmdline" box of a 600-picture job, two encoders at once
#   window_two_encoders_running       that job part way
#   window_two_encoders_done          that job once its segments are joined
#   report_dialog_segments_600        that job's report
#   experiment_view_running           the experiment view beside morlunex-cli running a small
#                                     plan, one cell failed
#   experiment_view_done              the same once a second run has done every cell
# Usage: docs/screenshots/take.sh [NAME...]   (no name: every one)
# Each lands in this folder as NAME.png, or in $SHOTS_DIR when that is set.
# Needs build/bin/morlunex (./run.sh builds it), the ffmpeg tool, and Debian's xvfb,
# imagemagick and xdotool. Everything it starts ends with it; its clips and settings go too.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
program=$(cd "$here/../.." && pwd)/build/bin/morlunex
[ -x "$program" ] || { echo "take.sh: build the program first: $program" >&2; exit 1; }
out=${SHOTS_DIR:-$here}

if [ -z "${DISPLAY:-}" ]; then
    # -noreset: the server stays as it is when the program quits between two shots.
    exec xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" "$0" "$@"
fi

wanted=${*:-main_window_after_1500_pictures report_dialog_1500_pictures report_dialog_30_pictures
cmdline_two_encoders window_two_encoders_running window_two_encoders_done report_dialog_segments_600
experiment_view_running experiment_view_done}
wants() { [[ " ${wanted//$'\n'/ } " == *" $1 "* ]]; }

# A short folder of its own, so that the fields show the clips' names whole.
work=/tmp/shots
mkdir "$work" || { echo "take.sh: $work is there already: remove it first" >&2; exit 1; }
app=
cleanup() {
    local status=$?
    if [ -n "$app" ]; then
        kill "$app" 2>/dev/null || true
        wait "$app" 2>/dev/null || true
    fi
    if [ "$status" -ne 0 ] && [ -s "$work/program.log" ]; then
        tail -n 20 "$work/program.log" | sed 's/^/morlunex: /' >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/run
mkdir -p "$XDG_CONFIG_HOME/Tarvolen Inc." "$TMPDIR" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# clip NAME SIZE PICTURES: the ffmpeg tool's test pattern at 25 fps in H.264.
clip() {
    ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "testsrc2=size=$2:rate=25" \
        -frames:v "$3" -c:v libx264 -pix_fmt yuv420p "$work/$1"
}

# The first window whose name matches, waited for up to $2 seconds.
window() {
    local id
    for _ in $(seq $(($2 * 5))); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) || true
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    echo "take.sh: no window \"$1\" within $2 s" >&2
    return 1
}

# answer TITLE SECONDS: presses the default button of the box with that title.
answer() {
    local box
    box=$(window "^$1\$" "$2")
    xdotool windowfocus --sync "$box" key Return
    sleep 0.5
}

shoot() { import -window "$1" "$out/$2.png"; echo "took $2.png"; }

# encode CLIP ENCODERS: starts the window on the clip with that many encoders at once and
# presses the big button; the window's id is left in $main.
encode() {
    printf '[General]\nparallelEncoders=%s\n' "$2" \
        > "$XDG_CONFIG_HOME/Tarvolen Inc./Morlunex Transcoder 0.980.conf"
    "$program" "$work/$1" >>"$work/program.log" 2>&1 &
    app=$!
    main=$(window '^Morlunex Transcoder' 20)
    sleep 1
    xdotool mousemove --window "$main" 40 65 click 1
}

# report NAME: opens the report of the last encode with the button beside the progress.
report() {
    xdotool mousemove --window "$main" 412 147 click 1
    local dialog
    dialog=$(window '^Report: ' 20)
    sleep 1
    shoot "$dialog" "$1"
}

quit() {
    kill "$app"
    wait "$app" 2>/dev/null || true
    app=
}

if wants main_window_after_1500_pictures || wants report_dialog_1500_pictures; then
    clip clip1500.mp4 320x240 1500
    encode clip1500.mp4 1
    answer Cmdline 60
    answer Done 600
    if wants main_window_after_1500_pictures; then shoot "$main" main_window_after_1500_pictures; fi
    if wants report_dialog_1500_pictures; then report report_dialog_1500_pictures; fi
    quit
fi

if wants report_dialog_30_pictures; then
    clip clip30.mp4 640x360 30
    encode clip30.mp4 1
    answer Cmdline 60
    answer Done 120
    report report_dialog_30_pictures
    quit
fi

if wants cmdline_two_encoders || wants window_two_encoders_running \
        || wants window_two_encoders_done || wants report_dialog_segments_600; then
    clip clip.mp4 640x360 600
    encode clip.mp4 2
    box=$(window '^Cmdline$' 60)
    sleep 0.5
    if wants cmdline_two_encoders; then
        # The box over the window, as the screen shows them.
        import -window root -crop 500x300+0+0 +repage "$out/cmdline_two_encoders.png"
        echo "took cmdline_two_encoders.png"
    fi
    xdotool windowfocus --sync "$box" key Return
    # Part way: about half of the pictures on a machine of two cores.
    sleep "${SHOT_DELAY:-10}"
    if wants window_two_encoders_running; then shoot "$main" window_two_encoders_running; fi
    answer Done 600
    if wants window_two_encoders_done; then shoot "$main" window_two_encoders_done; fi
    if wants report_dialog_segments_600; then report report_dialog_segments_600; fi
    quit
fi

if wants experiment_view_running || wants experiment_view_done; then
    # Three raw sequences, the bundled encoder at its fastest preset as the anchor and at a
    # slower one as the test, four QPs, run by morlunex-cli beside the view; every encode waits a moment so that the first
    # shot finds cells running, and one cell fails while the file "fail" is there.
    bin=$(dirname "$program")
    mkdir "$work/exp"
    for source in testsrc2 mandelbrot smptebars; do
        ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "$source=size=176x144:rate=25" \
            -frames:v 24 -pix_fmt yuv420p -f rawvideo "$work/exp/${source}_176x144.yuv"
    done
    { cat "$bin/hevczent.cfg"; echo 'MlxPreset : ultrafast'; } > "$work/exp/ultrafast.cfg"
    { cat "$bin/hevczent.cfg"; echo 'MlxPreset : medium'; } > "$work/exp/medium.cfg"
    printf '%s\n' '#!/bin/sh' 'sleep 1.5' \
        "case \"\$*\" in *ultrafast/Pattern_QP27*) [ -f \"$work/exp/fail\" ] && { echo 'out of memory'; exit 3; };; esac" \
        "exec \"$bin/morlunex-hevc-encoder\" \"\$@\"" > "$work/exp/encoder.sh"
    chmod +x "$work/exp/encoder.sh"
    sequence() { printf '{"name": "%s", "path": "%s_176x144.yuv", "size": "176x144", "fps": 25, "class": "%s"}' "$@"; }
    configuration() { printf '{"name": "%s", "anchor": %s, "encoder": "encoder.sh", "cfg": "%s.cfg"}' "$1" "$2" "$1"; }
    printf '{"sequences": [%s, %s, %s], "configurations": [%s, %s], "qps": [22, 27, 32, 37]}\n' \
        "$(sequence Pattern testsrc2 D)" "$(sequence Fractal mandelbrot D)" "$(sequence Bars smptebars E)" \
        "$(configuration ultrafast true)" "$(configuration medium false)" > "$work/exp/small.json"
    experiment() { (cd "$work/exp" && "$bin/morlunex-cli" --experiment small.json -j 2 -q) >>"$work/program.log" 2>&1; }

    touch "$work/exp/fail"
    "$program" --experiment "$work/exp/small.json" >>"$work/program.log" 2>&1 &
    app=$!
    view=$(window '^Experiment ' 20)
    experiment &
    cli=$!
    sleep "${SHOT_DELAY:-14}"
    # The failed cell chosen (the list's second row), so that its last lines show below.
    xdotool mousemove --window "$view" 300 407 click 1
    sleep 1
    if wants experiment_view_running; then shoot "$view" experiment_view_running; fi
    wait "$cli" || true
    rm "$work/exp/fail"
    experiment
    sleep 2
    if wants experiment_view_done; then shoot "$view" experiment_view_done; fi
    quit
fi

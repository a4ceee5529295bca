#!/usr/bin/env bash
# Pastes the manual's examples into empty folders and runs them, as a reader would: a page whose
# example fails fails the check. An example is run when the line before it says so, in an HTML
# comment that the rendered page does not show:
#
#   <!-- check -->                the next code block (indented) runs, in the page's folder
#   <!-- check: file NAME -->     the next fenced block is written to the file NAME
#   <!-- check: before COMMAND --> runs COMMAND first: it makes what the example takes as the
#                                  reader's own (a video, a sequence), out of sight
#
# Each page's marked blocks run in order in one empty folder, with bash -euo pipefail, with the
# build's programs first on the PATH, `build` a link to the build folder (for the examples that
# say build/bin/...), MLX set to the folder of the configurations that come with the program,
# and TAppEncoder/TAppDecoder the HEVC reference encoder and decoder from ../shared/testdata
# (a page that needs them is skipped, saying so, where they are absent; REFERENCE_DIR is their
# folder, for the stock configurations), and settings of its own, as on a fresh machine. Outputs are not
# compared: the pages show them as examples, and the figures vary with the machine.
#
# Usage: docs/check.sh [BUILD_FOLDER] [PAGE.md...]   (default: build, every page with a mark)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd) || exit 2
shift || true
pages=("$@")
if [ ${#pages[@]} -eq 0 ]; then
    mapfile -t pages < <(grep -l '^<!-- check' "$root"/README.md "$root"/docs/*.md)
fi
reference=$root/../shared/testdata/reference-encoder/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/morlunex-docs.XXXXXX")
trap 'rm -rf "$work"' EXIT
tools=$work/tools
mkdir -p "$tools"
if [ -x "$reference/TAppEncoder" ]; then
    ln -s "$reference/TAppEncoder" "$tools/TAppEncoder"
    ln -s "$reference/TAppDecoder" "$tools/TAppDecoder"
fi

# The page's marked blocks as one script.
script_of() {
    awk '
        function unindented(line) { return substr(line, length(indent) + 1) }
        # A block to run goes on while its lines are blank or indented as its first; the line
        # that ends it is read again by the rules below (it may be the next mark).
        mode == "run" && indent == "" && /^[ \t]*$/ { next }
        mode == "run" && indent == "" {
            match($0, /^ +/)
            if (RLENGTH < 4) { print "echo \"a check mark without a code block\" >&2; exit 3"; mode = "" }
            else { indent = substr($0, 1, RLENGTH); print unindented($0); next }
        }
        mode == "run" && /^[ \t]*$/ { print ""; next }
        mode == "run" && index($0, indent) == 1 { print unindented($0); next }
        mode == "run" { mode = "" }
        mode == "file" && /^```/ {
            if (!open) { open = 1; print "cat > " name " <<'"'"'MORLUNEX_EOF'"'"'"; next }
            print "MORLUNEX_EOF"; open = 0; mode = ""; next
        }
        mode == "file" && open { print; next }
        /^<!-- check -->/ { mode = "run"; indent = ""; next }
        /^<!-- check: file / {
            name = $0; sub(/^<!-- check: file /, "", name); sub(/ -->.*$/, "", name)
            mode = "file"; next
        }
        /^<!-- check: before / {
            line = $0; sub(/^<!-- check: before /, "", line); sub(/ -->.*$/, "", line)
            print line; next
        }
    ' "$1"
}

failed=0
for page in "${pages[@]}"; do
    name=${page#"$root"/}
    folder=$work/$(basename "$page" .md)
    mkdir -p "$folder"
    ln -s "$build" "$folder/build"
    script_of "$page" > "$folder.sh"
    if grep -q 'TAppEncoder\|TAppDecoder' "$folder.sh" && [ ! -e "$tools/TAppEncoder" ]; then
        echo "$name: skipped, its examples need the HEVC reference encoder ($reference is absent)"
        continue
    fi
    started=$(date +%s)
    if (cd "$folder" && PATH="$build/bin:$tools:$PATH" MLX="$build/bin" \
            REFERENCE_DIR="$root/../shared/testdata/reference-encoder" XDG_CONFIG_HOME="$folder.config" \
            timeout 900 bash -euo pipefail "$folder.sh") > "$folder.log" 2>&1; then
        echo "$name: examples ran ($(( $(date +%s) - started )) s)"
    else
        echo "$name: an example failed; the last lines it printed:"
        tail -n 15 "$folder.log" | sed 's/^/    /'
        failed=1
    fi
done
exit "$failed"

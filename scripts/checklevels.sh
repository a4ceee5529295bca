#!/usr/bin/env bash
# Checks the rooms' levels against what the code includes. The levels are read from the table
# in docs/architecture.md, so that the page and the check cannot drift apart. Fails (status 1)
# when a room includes a room on its own level or above, when a folder of sources is missing
# from the table (or the table names a folder that is not there), and when the page's table of
# arrows is not what the includes say. bench/, tests/ and tools/ (the bundled encoder, a program
# of its own) stand outside the levels.
set -euo pipefail
cd "$(dirname "$0")/.."
page=docs/architecture.md
outside=" bench tests tools "

# "| 12 | `codecs` (...), `report`, `decode` |" -> "codecs 12", "report 12", "decode 12"
levels=$(sed -nE 's/^\| ([0-9]+) \| (.*) \|$/\1 \2/p' "$page" \
    | while read -r level rooms; do
          grep -oE '`[a-z]+`' <<<"$rooms" | tr -d '`' | sed "s/\$/ $level/"
      done)
if [ -z "$levels" ]; then
    echo "$page: no table of levels found" >&2
    exit 1
fi

# Every include between rooms, as "from to", one line each.
arrows=$(grep -rE --include='*.h' --include='*.cpp' '^#include "[a-z]+/' \
             --exclude-dir=build --exclude-dir='build-*' . \
         | sed -E 's|^\./([^/]+)/[^:]*:#include "([a-z]+)/.*|\1 \2|' | awk '$1 != $2' | sort -u)

# Folders holding sources of their own.
folders=$(find . -mindepth 2 -maxdepth 2 \( -name '*.cpp' -o -name '*.h' \) \
              -not -path './build*' -printf '%h\n' | sed 's|^\./||' | sort -u)

bad=0
while read -r room; do
    [[ "$outside" == *" $room "* ]] && continue
    if ! grep -q "^$room " <<<"$levels"; then
        echo "missing: the room $room/ is not in the level list of $page"
        bad=1
    fi
done <<<"$folders"
while read -r room level; do
    if ! grep -qx "$room" <<<"$folders"; then
        echo "stale: $page lists the room $room/ (level $level), which holds no source"
        bad=1
    fi
done <<<"$levels"

upward=$(awk 'NR == FNR {at[$1] = $2; next}
              ($1 in at) && !(($2 in at) && at[$1] < at[$2]) {
                  print "upward: " $1 " -> " $2 (($2 in at) ? "" : " (a room without a level)")}' \
             <(echo "$levels") <(echo "$arrows"))
if [ -n "$upward" ]; then
    echo "$upward"
    bad=1
fi

# The page's arrows, between "What it prints in this checkout" and the end of its code block.
documented=$(awk '/^What it prints in this checkout/ {found = 1; next}
                  found && /^```/ {if (inside) exit; inside = 1; next}
                  inside' "$page")
actual=$(awk '{to[$1] = to[$1] " " $2} END {for (f in to) print f " ->" to[f]}' <<<"$arrows" | sort)
if [ "$documented" != "$actual" ]; then
    echo "$page: the table of arrows differs from the includes (< page, > code):"
    diff <(echo "$documented") <(echo "$actual") || true
    bad=1
fi

if [ "$bad" = 0 ]; then
    echo "no upward include; every room has a level; the arrows on $page are the code's"
fi
exit "$bad"

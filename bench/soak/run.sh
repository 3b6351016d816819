#!/usr/bin/env bash
# Soak scenarios for the real binary: a crash loop with a mail server that never answers, 1000
# tasks killed at random, the status port under 50 clients, a log on a full file system, restarts
# beside a mute mail server, a daemonizing task under RESTART_LIMIT, 1,000 half-closing clients and
# 5,000 simultaneous connections. Writes the table into the "Soak" section of bench/REPORT.md.
#
#   bench/soak/run.sh [--quick] [--no-report]
#                     [--only crashloop,many,port,fullfs,mutemail,daemon,halfclose,burst]
#
# Full run: 60 s per scenario (about ten minutes in all); --quick: 10 s each. Builds the binary
# in build-soak. Loopback only; needs root for the tmpfs of the last scenario.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
seconds=60
report=1
only=crashloop,many,port,fullfs,mutemail,daemon,halfclose,burst
command="bench/soak/run.sh"
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) seconds=10; command="$command --quick" ;;
        --no-report) report=0 ;;
        --only) only="$2"; shift ;;
        -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

cmake -S "$repo" -B "$repo/build-soak" -G Ninja -DPROWLIX_TESTS=OFF -DPROWLIX_DESKTOP=OFF >/dev/null
ninja -C "$repo/build-soak" prowlix >/dev/null

args=(--binary "$repo/build-soak/app/prowlix" --seconds "$seconds" --only "$only" --command "$command")
[ "$report" -eq 1 ] && args+=(--report "$repo/bench/REPORT.md")
# Bounded even if a scenario hangs; the harness stops what it started.
timeout --signal=TERM --kill-after=30 1200 /usr/bin/python3 "$here/soak.py" "${args[@]}"

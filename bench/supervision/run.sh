#!/usr/bin/env bash
# Supervision benchmark: Prowlix side by side with supervisord, monit, runit and s6, all looking
# after "sleep 3600" children. Prints the figures; with --report also writes them into
# bench/REPORT.md.
#
#   bench/supervision/run.sh [--quick] [--report] [--prowlix BINARY] [--only KIND,...]
#
# supervisord, monit and runit are unpacked (apt-get download, dpkg -x) into a scratch tool
# directory, because their install scripts would enable system services; s6 and its libraries have
# no install scripts and s6-svscan runs s6-supervise from /usr/bin, so they are installed with
# apt-get. Nothing is started as a system service; every supervisor runs from a scratch
# configuration and is stopped, with its whole process tree, by process id. The full run takes
# about nine minutes, --quick about three.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"
tools="${PROWLIX_BENCH_TOOLS:-${TMPDIR:-/tmp}/prowlix-bench-tools}"
prowlix=""
report=0
pass=()
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) pass+=(--quick) ;;
        --report) report=1 ;;
        --prowlix) prowlix="$2"; shift ;;
        --only) pass+=(--only "$2"); shift ;;
        --tasks|--big) pass+=("$1" "$2"); shift ;;
        -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

[ "$(id -u)" -eq 0 ] || { echo "run as root: supervisors and installs need it" >&2; exit 1; }

apt_updated=0
apt_update_once() {
    [ "$apt_updated" -eq 1 ] || { apt-get update -qq; apt_updated=1; }
}

# Unpacks packages whose install scripts would touch the init system.
unpack() {
    local debs="$tools/debs"
    mkdir -p "$debs"
    for pkg in "$@"; do
        if ! ls "$debs/${pkg}"_*.deb >/dev/null 2>&1; then
            (cd "$debs" && apt-get download -qq "$pkg" 2>/dev/null) ||
                { apt_update_once; (cd "$debs" && apt-get download -qq "$pkg"); }
        fi
        local deb
        deb="$(ls "$debs/${pkg}"_*.deb | head -n1)"
        dpkg-deb -x "$deb" "$tools"
        echo "$pkg $(dpkg-deb -f "$deb" Version)" >>"$tools/versions.new"
    done
}

mkdir -p "$tools"
rm -f "$tools/versions.new"
unpack supervisor monit runit
missing=()
for pkg in s6 python3-pkg-resources; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    apt_update_once
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "s6 $(dpkg-query -W -f='${Version}' s6)" >>"$tools/versions.new"
mv "$tools/versions.new" "$tools/versions.txt"

if [ -z "$prowlix" ]; then
    prowlix="$repo/build-bench/app/prowlix"
    cmake -S "$repo" -B "$repo/build-bench" -G Ninja -DPROWLIX_TESTS=OFF -DPROWLIX_DESKTOP=OFF >/dev/null
    ninja -C "$repo/build-bench" -j2 prowlix >/dev/null
fi
[ -x "$prowlix" ] || { echo "no prowlix binary at $prowlix" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/prowlix-bench-XXXXXX")"
# PROWLIX_BENCH_KEEP=1 keeps the scratch configurations and the supervisors' logs for a look.
[ "${PROWLIX_BENCH_KEEP:-0}" = 1 ] && echo "scratch directory: $work" || trap 'rm -rf "$work"' EXIT
args=(--tools "$tools" --prowlix "$prowlix" --workdir "$work" "${pass[@]}")
if [ "$report" -eq 1 ]; then
    quoted="bench/supervision/run.sh"
    for a in "${pass[@]}"; do quoted+=" $a"; done
    args+=(--report "$repo/bench/REPORT.md" --command "$quoted")
fi
# Bounded: the harness stops every supervisor it started even when interrupted.
timeout --signal=TERM --kill-after=30 1200 /usr/bin/python3 "$here/supervision.py" "${args[@]}"

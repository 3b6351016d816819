#!/usr/bin/env bash
# Builds the Debian packages prowlix and prowlix-desktop from debian/, checks them with lintian
# and leaves the .deb files in dist/. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

scripts/setup.sh
tools=(debhelper dpkg-dev lintian librsvg2-bin)
missing=()
for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

# The package's version is the program's.
version=$(sed -n 's/^project(Prowlix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
changelog=$(dpkg-parsechangelog -S Version)
if [ "$version" != "$changelog" ]; then
    echo "debian/changelog has $changelog, CMakeLists.txt $version: add a changelog entry" >&2
    exit 1
fi
if ! grep -q "^\.TH PROWLIX 1 .*\"Prowlix $version\"" docs/prowlix.1; then
    echo "docs/prowlix.1 does not name version $version in its .TH line" >&2
    exit 1
fi

# Build in a scratch copy: dpkg-buildpackage writes beside the source tree and into debian/.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
src=$work/prowlix-$version
mkdir "$src"
tar -C "$repo" --exclude=./.git --exclude='./build*' --exclude=./dist --exclude=./out -cf - . |
    tar -C "$src" -xf -
(cd "$src" && dpkg-buildpackage -us -uc -b)

changes=$(ls "$work"/prowlix_"$version"_*.changes)
echo "--- lintian"
lintian --info --display-info "$changes" || status=$?
mkdir -p dist/debug
for deb in "$work"/*.deb; do
    case $deb in
    *-dbgsym_*) cp "$deb" dist/debug/ ;;
    *) cp "$deb" dist/ ;;
    esac
done
ls -l dist/*.deb
exit "${status:-0}"

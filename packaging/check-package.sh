#!/bin/sh
# Builds the Debian package from a finished build, unpacks it into a temporary root and checks what it
# installs: the files in place, the desktop entry and the AppStream metadata valid, the unpacked
# programs working as installed ones (their files in the XDG folders), the user unit's command keeping until
# SIGTERM, and lintian content.
# Usage: check-package.sh BUILD_FOLDER VERSION CACHE_FOLDER
set -eu

build=$1
version=$2
cache=$3
id=io.github.webgleaner.WebGleaner

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "check-package: $*" >&2
    exit 1
}

for tool in cpack dpkg-deb dpkg-shlibdeps desktop-file-validate appstreamcli lintian; do
    command -v "$tool" >/dev/null || fail "$tool is missing (tools/setup.sh test installs it)"
done

cpack -G DEB -B "$work/package" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$work"/package/webgleaner_*.deb)
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "package version is not $version"
# Found by dpkg-shlibdeps, not listed by hand.
dpkg-deb --field "$deb" Depends | grep -q 'libqt6core6' || fail "no library dependencies: $(dpkg-deb --field "$deb" Depends)"

root=$work/root
dpkg -x "$deb" "$root"
for file in usr/bin/webgleaner usr/bin/webgleaner-cli usr/share/webgleaner/webgleaner.chm \
    usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/$id.svg usr/share/icons/hicolor/48x48/apps/$id.png \
    usr/share/icons/hicolor/256x256/apps/$id.png \
    usr/share/man/man1/webgleaner.1.gz usr/share/man/man1/webgleaner-cli.1.gz \
    usr/lib/systemd/user/webgleaner-keep.service \
    usr/share/doc/webgleaner/copyright usr/share/doc/webgleaner/changelog.gz; do
    [ -f "$root/$file" ] || fail "$file is not in the package"
done
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry is not valid"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" || fail "AppStream metadata is not valid"

# The unpacked tool is an installed program: webgleaner.ini comes from the configuration folder, and
# nothing is written beside the executable.
export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" XDG_CACHE_HOME="$work/home/.cache"
mkdir -p "$HOME" "$XDG_CONFIG_HOME/webgleaner" "$work/saved"
cli=$root/usr/bin/webgleaner-cli
[ "$("$cli" --version)" = "webgleaner-cli $version" ] || fail "--version does not say $version"
"$cli" --help >/dev/null || fail "--help failed"
printf '[cache]\nfixture=%s\n' "$cache" >"$XDG_CONFIG_HOME/webgleaner/webgleaner.ini"
"$cli" sources >"$work/sources" || fail "sources failed"
grep -q "^chromium-simple	$cache	" "$work/sources" || fail "sources did not use webgleaner.ini: $(cat "$work/sources")"
printf '[name]\nn1=key1\n[key1]\nname=styles\nztype=1\ntpname=*.css\nsavpath=%s\n' "$work/saved" >"$work/plans.ini"
"$cli" run --plans "$work/plans.ini" >"$work/rows" 2>"$work/totals" || fail "run failed: $(cat "$work/totals")"
[ "$(ls "$work/saved" | wc -l)" -eq 2 ] || fail "run saved $(ls "$work/saved" | wc -l) files, not 2"

# The unpacked window likewise creates its plan file in the configuration folder.
QT_QPA_PLATFORM=offscreen "$root/usr/bin/webgleaner" >"$work/window.log" 2>&1 &
window=$!
for _ in $(seq 100); do
    [ -f "$XDG_CONFIG_HOME/webgleaner/plancfg.ini" ] && break
    sleep 0.1
done
kill "$window" 2>/dev/null || true
wait "$window" 2>/dev/null || true
[ -f "$XDG_CONFIG_HOME/webgleaner/plancfg.ini" ] || fail "the window made no plan file: $(cat "$work/window.log")"
[ "$(ls "$root/usr/bin")" = "$(printf 'webgleaner\nwebgleaner-cli')" ] || fail "files written beside the program"

# The user unit's command, run from the unpacked root, keeps the plans of the user's plan file until
# SIGTERM, which ends it with 0 as systemd expects of a service it stops.
unit=$root/usr/lib/systemd/user/webgleaner-keep.service
command=$(sed -n 's/^ExecStart=//p' "$unit")
[ "${command%% *}" = /usr/bin/webgleaner-cli ] || fail "the user unit runs $command"
if command -v systemd-analyze >/dev/null; then
    # Checked as a system unit, which needs no user manager; the command is the unpacked one.
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/webgleaner-keep.service"
    systemd-analyze verify --man=no "$work/webgleaner-keep.service" >"$work/verify.log" 2>&1 &&
        ! [ -s "$work/verify.log" ] || fail "the user unit is not valid: $(cat "$work/verify.log")"
fi
cp "$work/plans.ini" "$XDG_CONFIG_HOME/webgleaner/plancfg.ini"
# shellcheck disable=SC2086 # the unit's arguments, one word each
"$root${command%% *}" ${command#* } >"$work/kept" 2>"$work/keeping" &
keeper=$!
for _ in $(seq 100); do
    grep -q '守候中' "$work/keeping" && break
    sleep 0.1
done
kill -TERM "$keeper"
status=0
wait "$keeper" || status=$?
[ "$status" -eq 0 ] || fail "keeping ended with $status on SIGTERM: $(cat "$work/keeping")"
grep -q '守候中' "$work/keeping" || fail "keeping did not say what it keeps: $(cat "$work/keeping")"

lintian --fail-on error "$deb" || fail "lintian found errors"
echo "check-package: $(basename "$deb") is fine"

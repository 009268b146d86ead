#!/usr/bin/env bash
# Checks a built package, unpacked into a temporary root: both programs run from there (--version;
# capture_server saves frames from the X display; stream_viewer shows frames a packaged
# capture_server streams), every file a desktop looks for is in place, the validators pass
# (desktop-file-validate, appstreamcli, lintian without an error), the package's dependencies
# are the computed ones, one version is everywhere, and each program's --help, man page and bash
# completion name the same options. Needs a display: run it under scripts/with-display.sh.
# Usage: packaging/check-package.sh build/release/package/deskcast_VERSION_ARCH.deb
set -euo pipefail
deb="$(readlink -f "$1")"
work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
root="$work/root"
dpkg-deb -x "$deb" "$root"
version="$(dpkg-deb -f "$deb" Version)"
failures=0
fail() {
    echo "check-package: $*" >&2
    failures=$((failures + 1))
}

# Dependencies come from the linked libraries; the optional helpers are only recommended or suggested.
depends="$(dpkg-deb -f "$deb" Depends)"
[[ $depends == *libqt6widgets6* && $depends == *libavcodec* ]] ||
    fail "Depends lacks the linked libraries: $depends"
for helper in nginx-light libnginx-mod-rtmp xdg-desktop-portal pipewire wireplumber; do
    tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }' | grep -qx "$helper" && fail "Depends has the optional $helper"
done
[[ "$(dpkg-deb -f "$deb" Recommends)" == *xdg-desktop-portal* && "$(dpkg-deb -f "$deb" Suggests)" == *libnginx-mod-rtmp* ]] ||
    fail "the Wayland helpers should be recommended and the relay suggested"
[ "$(basename "$deb")" = "deskcast_${version}_$(dpkg-deb -f "$deb" Architecture).deb" ] ||
    fail "package file name $(basename "$deb") is not deskcast_VERSION_ARCH.deb"
[ -s "$root/usr/share/doc/deskcast/copyright" ] && [ -s "$root/usr/share/doc/deskcast/changelog.gz" ] ||
    fail "copyright or changelog.gz missing from /usr/share/doc/deskcast"

# The options a program's --help names, its man page (the terms of its OPTIONS section) and its
# bash completion (what it offers after the program's name) offer.
help_options() { "$root/usr/bin/$1" --help 2>/dev/null | sed -n 's/^  \(-[^- ,]*, \)*\(--[a-z0-9-]*\).*/\2/p' | sort; }
man_options() {
    zcat "$root/usr/share/man/man1/$1.1.gz" |
        awk '/^\.SH / { options = ($0 ~ /^\.SH OPTIONS/) } options && previous == ".TP" { print } { previous = $0 }' |
        sed 's/\\f[BIRP]//g; s/\\-/-/g' | grep -o -- '--[a-z0-9-]*' | sort
}
complete_words() { # program, words of the command line so far (the last one being completed)
    bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
             "$(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/\1/")"; printf "%s\n" "${COMPREPLY[@]}"' \
        complete "$root/usr/share/bash-completion/completions/$1" "$@"
}

for program in capture_server stream_viewer; do
    id="org.deskcast.$program"
    for file in "usr/bin/$program" "usr/share/applications/$id.desktop" "usr/share/metainfo/$id.metainfo.xml" \
        "usr/share/icons/hicolor/scalable/apps/$id.svg" "usr/share/man/man1/$program.1.gz" \
        "usr/share/bash-completion/completions/$program"; do
        [ -s "$root/$file" ] || fail "missing from the package: /$file"
    done
    for size in 16 24 32 48 64 128 256; do
        png="$root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png"
        [ "$(file -b "$png" 2>/dev/null | cut -d, -f1-2)" = "PNG image data, $size x $size" ] ||
            fail "no ${size}x${size} PNG icon: $png"
    done
    [ "$(file -b "$root/usr/bin/$program" | grep -o 'not stripped')" = "" ] || fail "$program is not stripped"

    out="$("$root/usr/bin/$program" --version 2>"$work/version.log")" ||
        fail "$program --version failed: $(cat "$work/version.log")"
    [ "$out" = "$program $version" ] || fail "$program --version says '$out', the package is $version"
    grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/$id.metainfo.xml" ||
        fail "the metainfo of $program has no release $version"
    zcat "$root/usr/share/man/man1/$program.1.gz" | grep -q "^\.TH .*\"$program $version\"" ||
        fail "the man page of $program is not of version $version"

    desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop-file-validate: $id.desktop"
    grep -qx "Exec=$program" "$root/usr/share/applications/$id.desktop" || fail "$id.desktop does not start $program"
    grep -qx "Icon=$id" "$root/usr/share/applications/$id.desktop" || fail "$id.desktop does not show the icon $id"
    appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >"$work/appstream.log" 2>&1 ||
        fail "appstreamcli validate: $id.metainfo.xml: $(cat "$work/appstream.log")"

    help="$(help_options "$program")"
    [ "$(echo "$help" | wc -l)" -ge 5 ] || fail "$program --help names too few options: $help"
    diff -u --label "$program --help" --label "man $program" <(echo "$help") <(man_options "$program") ||
        fail "the man page of $program and its --help name different options"
    diff -u --label "$program --help" --label "completion of $program" <(echo "$help") \
        <(complete_words "$program" "$program" "--" | sort) ||
        fail "the bash completion of $program and its --help name different options"
done
# A value list in --help (<saver|tcp|video>) is what the completion offers after the option.
[ "$(complete_words capture_server capture_server --handler "" | tr '\n' ' ')" = "saver tcp video " ] ||
    fail "the completion of capture_server --handler does not offer saver tcp video"

# The programs as installed: capture_server saves frames of the X display, and stream_viewer
# shows frames that capture_server streams.
mkdir "$work/saver" "$work/viewer"
if ! (cd "$work/saver" && timeout 60 "$root/usr/bin/capture_server" --port 0 --area 0,0,64,48 --fps 30 \
        --handler saver --start --frames 3) >"$work/saver.log" 2>&1; then
    fail "capture_server --handler saver --start --frames 3 failed: $(cat "$work/saver.log")"
fi
for n in 0 1 2; do
    [[ "$(file -b "$work/saver/capture/pic$n.jpg" 2>&1)" == "JPEG image data"*", 64x48, "* ]] ||
        fail "capture_server saved no 64x48 JPEG capture/pic$n.jpg"
done
(cd "$work/viewer" && exec "$root/usr/bin/capture_server" --port 0 --bind 127.0.0.1 --area 0,0,64,48 --fps 30 \
    --handler tcp --start) >"$work/server.log" 2>&1 &
pids+=($!)
port=""
for _ in $(seq 300); do # up to 30 s for the server to listen
    port="$(sed -n 's/^Port: \([0-9]*\).*/\1/p' "$work/server.log" | head -n 1)"
    [ -n "$port" ] || ! kill -0 "${pids[0]}" 2>/dev/null && break
    sleep 0.1
done
if [ -z "$port" ]; then
    fail "capture_server --handler tcp did not say its port: $(cat "$work/server.log")"
elif ! timeout 60 "$root/usr/bin/stream_viewer" --host 127.0.0.1 --port "$port" --frames 2 \
        --save "$work/viewer/shown" >"$work/viewer.log" 2>&1; then
    fail "stream_viewer --frames 2 failed: $(cat "$work/viewer.log")"
fi
for n in 0 1; do
    [[ "$(file -b "$work/viewer/shown/frame$n.png" 2>&1)" == "PNG image data, 64 x 48"* ]] ||
        fail "stream_viewer showed no 64x48 frame$n.png"
done

# lintian: warnings are listed, errors fail.
if ! lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1; then
    fail "lintian found errors:"
fi
awk '{ print "lintian: " $0 }' "$work/lintian.log"

if [ "$failures" -ne 0 ]; then
    echo "check-package: $failures checks of $(basename "$deb") failed" >&2
    exit 1
fi
echo "check-package: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB, $(dpkg-deb -c "$deb" | grep -vc '/$') files) installs and runs"

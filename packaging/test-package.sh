#!/usr/bin/env bash
# Unpacks the Debian package made in BUILD (default: build) into a scratch root and uses it as
# a new user would: the installed programs run, patch a generated image, and the desktop entry,
# the metainfo, the icons and the man pages pass the checks a desktop and a distribution apply.
# Run by `make test-package`, which first installs the validators and builds the package.
set -uo pipefail

build=${1:-build}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
app_id=org.orvane.tfluxkrn
passed=0
failed=0

pass() { passed=$((passed + 1)); echo "ok      $1"; }
fail() { failed=$((failed + 1)); echo "FAILED  $1"; }
# check DESCRIPTION COMMAND...: passes when the command succeeds; its output is shown on failure.
check() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then pass "$what"; else fail "$what"; printf '%s\n' "$out" | sed 's/^/        /'; fi
}
# The same, with the command's output shown either way (the validators' verdicts).
check_shown() {
  local what=$1 out status=0
  shift
  out=$("$@" 2>&1) || status=$?
  printf '%s\n' "$out" | sed 's/^/        | /'
  if [ "$status" -eq 0 ]; then pass "$what"; else fail "$what"; fi
}

for tool in dpkg-deb desktop-file-validate appstreamcli groff; do
  command -v "$tool" > /dev/null || { echo "$tool is missing: run 'make test-package'"; exit 1; }
done
debs=("$build"/tflux-krn_"$version"_*.deb)
[ -f "${debs[0]}" ] || { echo "no tflux-krn_${version}_*.deb in $build: run 'make package'"; exit 1; }
deb=${debs[0]}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
root=$scratch/root
dpkg-deb -x "$deb" "$root"
echo "unpacked $deb into $root"

# The package's own description of itself.
field() { dpkg-deb -f "$deb" "$1"; }
check "package name" test "$(field Package)" = tflux-krn
check "package version is the project's ($version)" test "$(field Version)" = "$version"
depends=$(field Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins libstdc++6 libc6; do
  check "depends on $lib" grep -qxF "$lib" <<< "$(tr ',' '\n' <<< "$depends" | awk '{print $1}')"
done
check "installs the three programs and nothing else into bin" \
  test "$(ls "$root/usr/bin" | tr '\n' ' ')" = "tflux-krn tflux-krn-checksum tflux-krn-cli "
for program in bin/tflux-krn bin/tflux-krn-cli bin/tflux-krn-checksum lib/tflux-krn/tflux-krn-maps.so; do
  check "$program finds every library it links" \
    sh -c "! ldd '$root/usr/$program' | grep 'not found'"
done

# The installed programs, run by a user who has never run them (nobody, when this runs as root).
work=$scratch/work
mkdir -p "$work/tmp"
as_user=()
if [ "$(id -u)" -eq 0 ] && id nobody > /dev/null 2>&1; then
  chown -R nobody "$work"
  as_user=(runuser -u nobody --)
fi
run() { "${as_user[@]}" env -i PATH=/usr/bin:/bin HOME="$work" TMPDIR="$work/tmp" "$@"; }
"$build/bin/tflux-krn-sample" "$work/game.v64" E v64
chmod 644 "$work/game.v64"

check "tflux-krn-cli --version" test "$(run "$root/usr/bin/tflux-krn-cli" --version)" = "tflux-krn-cli $version"
check "tflux-krn-checksum --version" \
  test "$(run "$root/usr/bin/tflux-krn-checksum" --version)" = "tflux-krn-checksum $version"
check "tflux-krn --version, without a display" test "$(run "$root/usr/bin/tflux-krn" --version)" = "tflux-krn $version"
check "tflux-krn-cli identify" \
  test "$(run "$root/usr/bin/tflux-krn-cli" identify "$work/game.v64" | head -n 1)" = "File Version: North American (V64)"
check "tflux-krn-cli patch" run "$root/usr/bin/tflux-krn-cli" patch "$work/game.v64"
check "the patched image's checksums" run "$root/usr/bin/tflux-krn-checksum" -v "$work/game_krn.v64"
"$build/bin/tflux-krn-cli" patch "$work/game.v64" "$scratch/expected.v64" > /dev/null
check "the installed program patches as the build does" cmp "$work/game_krn.v64" "$scratch/expected.v64"
check "tflux-krn-cli payload map, through the installed maps module" \
  run "$root/usr/bin/tflux-krn-cli" payload map --track 1 "$work/track1.png"
check "tflux-krn-cli identify refuses the patched image" \
  sh -c "! '$root/usr/bin/tflux-krn-cli' identify '$work/game_krn.v64' > /dev/null"

# The desktop entry and the metainfo, as a desktop and a software centre read them.
desktop=$root/usr/share/applications/$app_id.desktop
metainfo=$root/usr/share/metainfo/$app_id.metainfo.xml
check_shown "desktop entry validates (desktop-file-validate)" desktop-file-validate "$desktop"
check "the desktop entry starts the installed window on the file it is given" \
  grep -qx "Exec=tflux-krn %f" "$desktop"
check "the desktop entry opens N64 images" grep -qx "MimeType=application/x-n64-rom;" "$desktop"
if [ -d /usr/share/mime/application ]; then
  check "shared-mime-info knows the desktop entry's type" \
    test -f /usr/share/mime/application/x-n64-rom.xml
fi
check_shown "metainfo validates (appstreamcli validate --pedantic)" \
  appstreamcli validate --no-net --pedantic "$metainfo"
check "the metainfo names this release" grep -q "<release version=\"$version\"" "$metainfo"
check_shown "the installed tree validates (appstreamcli validate-tree: metainfo, desktop entry)" \
  appstreamcli validate-tree --no-net "$root"

# The licence, for the code and the bundled tracks: Debian's copyright file, the text itself and
# the metainfo agree.
docs=$root/usr/share/doc/tflux-krn
check "the copyright file names the authors" grep -q "^Copyright: .*The T-Flux KRN authors" "$docs/copyright"
check "the copyright file gives the MIT (Expat) licence" grep -qx "License: Expat" "$docs/copyright"
check "the copyright file is machine-readable" \
  grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" "$docs/copyright"
check "the licence is installed with the docs" grep -q "^MIT License" "$docs/LICENSE"
check "the README is installed with the docs" grep -q "LICENSE" "$docs/README.md"
check "the metainfo gives the project's licence" grep -q "<project_license>MIT</project_license>" "$metainfo"

# The icon at each size drawn, each of that size, and the scalable source.
for size in 16 32 48; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$app_id.png
  # Width and height are the big-endian words at bytes 16 and 20 of a PNG.
  check "icon ${size}x${size} is ${size} by ${size}" \
    test "$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | tr -s ' ')" = " 0 0 0 $size 0 0 0 $size"
done
check "scalable icon" grep -q "<svg" "$root/usr/share/icons/hicolor/scalable/apps/$app_id.svg"

# The man pages render without a warning, and name every command and option the programs do.
for page in tflux-krn tflux-krn-cli tflux-krn-checksum; do
  file=$root/usr/share/man/man1/$page.1.gz
  check "man page $page renders cleanly" \
    sh -c "warnings=\$(zcat '$file' | groff -man -Tutf8 -ww -z 2>&1); [ -z \"\$warnings\" ] || { echo \"\$warnings\"; false; }"
  text=$(zcat "$file" | groff -man -Tutf8 -P-cbou 2> /dev/null)
  check "man page $page names version $version" grep -q "tflux-krn $version" <<< "$text"
done
cli_text=$(zcat "$root/usr/share/man/man1/tflux-krn-cli.1.gz" | groff -man -Tutf8 -P-cbou 2> /dev/null)
checksum_text=$(zcat "$root/usr/share/man/man1/tflux-krn-checksum.1.gz" | groff -man -Tutf8 -P-cbou 2> /dev/null)
# What --help lists: subcommand names and long options, at every level.
help_words() {
  "$@" --help | awk '/^Subcommands:/ {s = 1; next} /^[^ ]/ {s = 0} s && NF {print $1}'
  "$@" --help | grep -oE -- '--[a-z][a-z-]*' | grep -v -- '--help'
}
cli=$root/usr/bin/tflux-krn-cli
for word in $( (help_words "$cli"; help_words "$cli" patch; help_words "$cli" identify;
                help_words "$cli" payload; help_words "$cli" payload list;
                help_words "$cli" payload unpack; help_words "$cli" payload pack;
                help_words "$cli" payload check; help_words "$cli" payload map;
                help_words "$cli" payload from-image; help_words "$cli" payload build) | sort -u); do
  check "tflux-krn-cli man page covers $word" grep -qF -- "$word" <<< "$cli_text"
done
window_text=$(zcat "$root/usr/share/man/man1/tflux-krn.1.gz" | groff -man -Tutf8 -P-cbou 2> /dev/null)
for word in $(run "$root/usr/bin/tflux-krn" --help | grep -oE -- '--[a-z][a-z-]*' | grep -v -- '--help' | sort -u); do
  check "tflux-krn man page covers $word" grep -qF -- "$word" <<< "$window_text"
done
for word in $(help_words "$root/usr/bin/tflux-krn-checksum" | sort -u); do
  check "tflux-krn-checksum man page covers $word" grep -qF -- "$word" <<< "$checksum_text"
done

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

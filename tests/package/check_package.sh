#!/usr/bin/env bash
# Checks the release zip as a host vendor receives it; every check of the
# package is here.
#   check_package.sh PRODUCT_ZIP RUN_ZIP
# PRODUCT_ZIP (the 32-bit package) is checked statically: its file list, no
# debug sections left in a shipped binary but a .gnu_debuglink in each, the
# size, the export table of its Lumo.dll. RUN_ZIP is the same package for the
# architecture this machine's Wine runs (PRODUCT_ZIP itself where 32-bit code
# runs): its programs run from the unpacked folder against the simulated gauge
# (the script runs itself under scripts/sim-run.sh for that). The version
# resource of both packages' Lumo.dll is read with windres.
set -euo pipefail
LUMO_ROOT=${LUMO_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
export LUMO_ROOT
if [ -z "${LUMO_SIM:-}" ]; then
  exec env LUMO_SIM_NATIVE=1 "$LUMO_ROOT/scripts/sim-run.sh" "$0" "$@"
fi
product_zip=${1:?product zip}
run_zip=${2:?zip to run}
max_bytes=$((4 * 1024 * 1024))

failures=0
check() {  # check CONDITION-STATUS MESSAGE
  if [ "$1" = 0 ]; then echo "ok   $2"; else echo "FAIL $2"; failures=$((failures + 1)); fi
}
for zip in "$product_zip" "$run_zip"; do
  [ -f "$zip" ] || { echo "FAIL $zip missing (make dist)"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lumo-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
unpack() {  # unpack ZIP DIR -> prints the package's top folder
  mkdir -p "$2"
  python3 -m zipfile -e "$1" "$2"
  echo "$2/$(basename "$1" .zip)"
}
product=$(unpack "$product_zip" "$work/product")
run=$(unpack "$run_zip" "$work/run")

version=$(basename "$product_zip" .zip | sed -n 's/^lumo-\([0-9]*\.[0-9]*\.[0-9]*\)-win32$/\1/p')
check "$([ -n "$version" ]; echo $?)" "package name lumo-<x.y.z>-win32.zip: $(basename "$product_zip")"
listing=$(cd "$product" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
expected="Lumo.dll README.txt include/lumo.h libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll lumo-cli.exe lumo-demo.exe lumo-host.exe "
check "$([ "$listing" = "$expected" ]; echo $?)" "package holds exactly: $listing"
size=$(stat -c %s "$product_zip")
check "$([ "$size" -lt "$max_bytes" ]; echo $?)" "package size $size bytes, under $max_bytes"

objdump=i686-w64-mingw32-objdump
for f in "$product"/*.dll "$product"/*.exe; do
  name=$(basename "$f")
  sections=$("$objdump" -h "$f")
  check "$(! grep -q ' \.debug_' <<<"$sections"; echo $?)" "$name carries no debug sections"
  rm -f "$work/link"
  i686-w64-mingw32-objcopy --dump-section .gnu_debuglink="$work/link" "$f" "$work/scratch" 2>/dev/null || true
  link=$( [ -f "$work/link" ] && head -z -n1 "$work/link" | tr -d '\0' || true)
  check "$([ "$link" = "$name.debug" ]; echo $?)" "$name names $name.debug in .gnu_debuglink ('$link')"
done
if python3 "$LUMO_ROOT/tests/abi/check_abi.py" "$product/Lumo.dll" >"$work/abi.txt"; then
  check 0 "export table and slot table of the shipped Lumo.dll: $(tail -1 "$work/abi.txt")"
else
  grep FAIL "$work/abi.txt" || true
  check 1 "export table and slot table of the shipped Lumo.dll"
fi

# Lumo.dll's version resource, in the shipped package and the one run here.
escaped() {  # windres's form of a text: characters outside ASCII as \xNNNN
  python3 -c 'import sys; print("".join(c if ord(c) < 128 else "\\x%04x" % ord(c) for c in sys.argv[1]))' "$1"
}
IFS=. read -r major minor patch <<<"${version:-0.0.0}"
for dir in "$product" "$run"; do
  dll=$dir/Lumo.dll
  tools=i686-w64-mingw32-
  "$objdump" -f "$dll" | grep -q 'pei-i386' || tools=x86_64-w64-mingw32-
  rc=$("${tools}windres" -i "$dll" -O rc 2>/dev/null | tr -d '\r' || true)
  what="Lumo.dll of $(basename "$(dirname "$dir")") package"
  has() { grep -qF -- "$1" <<<"$rc"; }
  check "$(has "1 VERSIONINFO"; echo $?)" "$what: a version resource"
  check "$(has " FILEVERSION $major, $minor, $patch, 0"; echo $?)" "$what: file version $major.$minor.$patch.0"
  check "$(has " PRODUCTVERSION $major, $minor, $patch, 0"; echo $?)" "$what: product version = file version"
  check "$(has " FILETYPE 0x2"; echo $?)" "$what: file type VFT_DLL"
  check "$(has 'VALUE "Translation", 0x419, 1251, 0x409, 1252'; echo $?)" "$what: Russian 1251, then English 1252"
  for table in "041904E3|$(escaped 'Драйвер уровнемера Лумо')" "040904E4|Lumo tank level gauge driver"; do
    id=${table%%|*}
    block=$(sed -n "/BLOCK \"$id\"/,/END/p" <<<"$rc")
    description=${table#*|}
    quote='"'
    [ "$id" = 041904E3 ] && quote='L"'
    for value in "FileDescription\", $quote$description\"" "FileVersion\", \"$version\"" \
                 "ProductVersion\", \"$version\"" "OriginalFilename\", \"Lumo.dll\"" \
                 "CompanyName\", \"Lumo\"" "ProductName\", \"Lumo\""; do
      check "$(grep -qF -- "VALUE \"$value" <<<"$block"; echo $?)" "$what, table $id: $value"
    done
  done
done

# The package's programs run from their own folder against the simulated
# gauge, so that a run-time DLL missing from the package fails here.
run_in() {  # run_in DIR PROGRAM ARGS...: sets status; stdout in $work/out
  status=0
  (cd "$1" && shift && LD_PRELOAD=$LUMO_SIM_SHIM timeout 60 "$WINE" "$@" >"$work/out" 2>"$work/err" </dev/null) ||
    status=$?
}
out_is() { [ "$(cat "$work/out"; printf x)" = "$1x" ]; }
out_has() { grep -qF -- "$1" "$work/out"; }
sim() {  # one command to the simulated gauge's control port
  local reply
  exec 3<>"/dev/tcp/${LUMO_SIM%:*}/${LUMO_SIM#*:}"
  printf '%s\n' "$1" >&3
  read -r reply <&3
  exec 3<&-
  [ "${reply:0:2}" = ok ]
}
com=$LUMO_SIM_COM
run_in "$run" lumo-cli.exe --version
check "$([ "$status" = 0 ] && out_is "lumo-cli $version"$'\r\n'; echo $?)" "lumo-cli --version: 'lumo-cli $version' (status $status)"
check "$(sim "set state=5"; echo $?)" "the simulated gauge takes set state=5"
run_in "$run" lumo-cli.exe info --com "$com"
folder=$(printf 'Z:%s' "${run//\//\\}")
check "$([ "$status" = 0 ]; echo $?)" "lumo-cli info --com $com (status $status)"
check "$(out_has "v3.00#Протокол к уровнемеру ЛУМО"; echo $?)" "lumo-cli info: the driver name"
check "$(out_has "'5' (53)"; echo $?)" "lumo-cli info: the state character"
check "$(out_has "$folder\\Lumo.dll $version"; echo $?)" "lumo-cli info: the package's Lumo.dll and its version"
run_in "$run" lumo-demo.exe "$com" 0
check "$([ "$status" = 0 ] && out_has "driver released"; echo $?)" "lumo-demo $com 0 (status $status)"
# Arguments it does not understand are refused, not read as a port number.
for args in "--com 3" "300" "5 x"; do
  # shellcheck disable=SC2086
  run_in "$run" lumo-demo.exe $args
  check "$([ "$status" = 2 ] && out_is ""; echo $?)" "lumo-demo $args: status 2 ($status), nothing on stdout"
done
# A copy without one run-time DLL: the program does not start.
cp -r "$run" "$work/broken"
rm "$work/broken/libstdc++-6.dll"
run_in "$work/broken" lumo-cli.exe --version
# The loader's STATUS_DLL_NOT_FOUND (0xC0000135), of which a Unix exit status
# keeps the low byte, 0x35.
check "$([ "$status" = 53 ] && out_is ""; echo $?)" "without libstdc++-6.dll lumo-cli fails to start: status 53 ($status)"
echo "package: $failures failed"
[ "$failures" = 0 ]

#!/bin/bash
# Installs the build into a temporary prefix, moves the installed tree
# elsewhere, and checks that it still works there: the layout, a stripped
# library, the tools' --version, pkg-config and find_package(qrv) building a
# receiver of one's own that then receives from an installed example, and
# the examples finding the library from their own folder.
#
#   install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR VERSION BINDIR LIBDIR
#                   EXAMPLES_DIR MANDIR(empty: no manual pages) CXX_COMPILER
#                   PYTHON_DIR(empty: no Python package)
#
# The programs that publish or find sources run in a network namespace of
# their own when one can be made, on loopback otherwise.
set -euo pipefail

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# --- the programs, in their own network namespace when there is one -------
if [[ ${1:-} == --run-programs ]]; then
  prefix=$2 examples=$3 libdir=$4 version=$5 work=$6 pydir=${7:-}
  [[ -n ${QRV_IN_NETNS:-} ]] && ip link set lo up
  ex=$prefix/$examples

  # An installed example sends; the receivers of one's own find and hear it.
  "$ex/stereo_hush" >"$work/sender.log" 2>&1 &
  sender=$!
  trap 'kill -INT $sender 2>/dev/null || true' EXIT
  for receiver in by_pkgconfig by_find_package; do
    echo "== $receiver"
    out=$(LD_LIBRARY_PATH=$prefix/$libdir "$work/$receiver") || fail "$receiver: status $? ($out)"
    echo "$out"
    grep -qx "library $version" <<<"$out" || fail "$receiver: no library version $version"
    grep -q "^source .*(My 16bpp Audio)$" <<<"$out" || fail "$receiver: the example's source not listed"
    grep -qx "audio 48000 Hz 2 channels" <<<"$out" || fail "$receiver: no audio received"
  done
  if [[ -n $pydir ]]; then
    echo "== python"
    out=$(PYTHONPATH=$prefix/$pydir /usr/bin/python3 -c "import qrv; print(qrv.version(), qrv.sources(timeout=2))") ||
      fail "python: status $? ($out)"
    echo "$out"
    [[ $out == "$version "*"(My 16bpp Audio)"* ]] || fail "python: the example's source not listed"
  fi
  kill -INT "$sender"
  wait "$sender" || fail "stereo_hush: status $?"
  grep -q "Frame number 0 sent" "$work/sender.log" || fail "stereo_hush sent nothing"

  # late_binder loads the library by name through its run path: it must
  # still be running (timeout's 124) when interrupted, not give up at once.
  echo "== late_binder"
  status=0
  out=$(timeout -s INT 3 "$ex/late_binder") || status=$?
  [[ $status == 124 ]] || fail "late_binder ended by itself (status $status): $out"
  grep -q "re-install" <<<"$out" && fail "late_binder did not find the library: $out"
  exit 0
fi

# --- outside ---------------------------------------------------------------
build=$1 consumer=$2 version=$3 bindir=$4 libdir=$5 examples=$6 mandir=$7 cxx=$8 pydir=${9:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/qrv-install-test-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== install"
cmake --install "$build" --prefix "$work/installed" --strip >/dev/null
# Moved after installing: nothing may remember where it was installed.
mv "$work/installed" "$work/moved"
prefix=$work/moved

echo "== layout"
for tool in qrv_monitor qrv_test_camera; do
  [[ -x $prefix/$bindir/$tool ]] || fail "$bindir/$tool missing"
done
for program in strobe_pump rate_probe flash_beep quad_hush stereo_hush source_lister switchboard \
               preset_caller late_binder; do
  [[ -x $prefix/$examples/$program ]] || fail "$examples/$program missing"
  [[ -e $prefix/$bindir/$program ]] && fail "$program installed in $bindir"
done
for header in qrvlib.h qrv/qrv_runtime.h; do
  [[ -f $prefix/include/$header ]] || fail "include/$header missing"
done
if [[ -n $mandir ]]; then
  for tool in qrv_monitor qrv_test_camera; do
    page=$prefix/$mandir/man1/$tool.1
    [[ -f $page ]] || fail "$mandir/man1/$tool.1 missing"
    grep -q "^\.TH ${tool^^} " "$page" || fail "$tool.1 is no manual page"
  done
  grep -q "record-audio" "$prefix/$mandir/man1/qrv_monitor.1" || fail "qrv_monitor.1 lacks the commands"
fi

echo "== stripped library"
lib=$prefix/$libdir/libqrv.so.3
[[ -f $lib ]] || fail "$libdir/libqrv.so.3 missing"
sections=$(readelf -S -W "$lib")
grep -qE '\.symtab|\.debug_' <<<"$sections" && fail "libqrv.so.3 is not stripped"
symbols=$(nm -D --defined-only "$lib")
grep -qw QRVlib_version <<<"$symbols" || fail "QRVlib_version not exported"

echo "== --version"
for tool in qrv_monitor qrv_test_camera; do
  out=$("$prefix/$bindir/$tool" --version)
  [[ $out == "$tool $version" ]] || fail "$tool --version printed '$out'"
done

echo "== run paths"
for program in "$bindir/qrv_monitor" "$examples/strobe_pump"; do
  found=$(ldd "$prefix/$program" | awk '$1 == "libqrv.so.3" { print $3 }')
  [[ -n $found && $(realpath "$found") == "$(realpath "$lib")" ]] || fail "$program loads '$found'"
done

if [[ -n $pydir ]]; then
  module=$(ls "$prefix/$pydir"/qrv/_native*.so 2>/dev/null) || fail "$pydir/qrv/_native missing"
  found=$(ldd "$module" | awk '$1 == "libqrv.so.3" { print $3 }')
  [[ -n $found && $(realpath "$found") == "$(realpath "$lib")" ]] || fail "the Python module loads '$found'"
  [[ -f $prefix/$pydir/qrv/__init__.py ]] || fail "$pydir/qrv/__init__.py missing"
fi

echo "== pkg-config"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
flags=$(pkg-config --cflags --libs qrv)
echo "$flags"
[[ $(pkg-config --modversion qrv) == "$version" ]] || fail "pkg-config version"
for flag in $flags; do
  case $flag in
    -I* | -L*)
      dir=$(realpath -m "${flag:2}")
      [[ $dir == "$(realpath "$prefix")"/* ]] || fail "$flag lies outside the prefix"
      ;;
  esac
done
# shellcheck disable=SC2086
"$cxx" -std=c++17 -Wall -Wextra -Werror "$consumer/receiver.cpp" $flags -o "$work/by_pkgconfig"

echo "== find_package"
cmake -S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
found_dir=$(sed -n 's/^qrv_DIR:PATH=//p' "$work/consumer/CMakeCache.txt")
[[ $(realpath "$found_dir") == "$(realpath "$prefix/$libdir/cmake/qrv")" ]] || fail "found qrv in '$found_dir'"
cmake --build "$work/consumer" >/dev/null
cp "$work/consumer/receiver" "$work/by_find_package"

if unshare -n true 2>/dev/null; then
  QRV_IN_NETNS=1 unshare -n bash "$0" --run-programs "$prefix" "$examples" "$libdir" "$version" "$work" "$pydir"
else
  echo "(no network namespace here: the receivers and examples run on loopback)"
  bash "$0" --run-programs "$prefix" "$examples" "$libdir" "$version" "$work" "$pydir"
fi
echo "PASS"

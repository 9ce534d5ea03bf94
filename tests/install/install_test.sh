#!/usr/bin/env bash
# Installs the build into a fresh prefix, builds the three programs against the
# installed package only (consumer/), and runs what was built and installed.
#   install_test.sh BUILD_DIR SOURCE_DIR [TOOLCHAIN_FILE [LAUNCHER]]
# A cross build passes its toolchain file (the consumer is built the same way)
# and the emulator that runs its programs.
set -euo pipefail
build=$1 source=$2 toolchain=${3:-} launcher=${4:-}
work=$(mktemp -d /tmp/lumaset-install.XXXXXX)
toolchain_option=()
# A cross toolchain looks for packages inside its sysroot only: it is told
# where the installed package is.
[ -z "$toolchain" ] ||
  toolchain_option=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -Dlumaset_DIR="$work/prefix/lib/cmake/lumaset")
trap 'rm -rf "$work"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install failed"; }
for file in bin/overload_monitor bin/scaler_probe bin/netout_probe bin/gpio_sim bin/make_test_frame \
            bin/nv12_to_png lib/liblumaset.so.1 lib/liblumaset_codecs.so include/lumaset/gpio.h \
            include/lumaset/diagnostics.h lib/cmake/lumaset/lumasetConfig.cmake; do
  [ -e "$work/prefix/$file" ] || fail "$file is not installed"
done
# No installed header includes what the framework wraps.
if grep -l -E '#include [<"](x264|libav[a-z]*/|libyuv)' "$work/prefix/include/lumaset/"*.h; then
  fail "a header includes a wrapped library"
fi

# Only the three programs' files come from the source tree.
mkdir -p "$work/sources/overload" "$work/sources/daemon/test"
cp "$source/stream/overload/vesk_overload_detector.cpp" "$work/sources/overload/"
cp "$source/stream/daemon/test/scaler_probe.cpp" "$source/stream/daemon/test/netout_probe.cpp" "$work/sources/daemon/test/"
cmake -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release "${toolchain_option[@]}" \
      -DCMAKE_PREFIX_PATH="$work/prefix" -DPROGRAM_SOURCES="$work/sources" >"$work/configure.log" ||
  { cat "$work/configure.log"; fail "the consumer project does not configure"; }
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the programs do not build"; }

# A search path entry that is empty or relative names the current folder, where
# anyone may plant a library: every entry is absolute or from $ORIGIN.
for file in "$build"/bin/* "$build"/lib/*.so "$work/prefix"/bin/* "$work/prefix"/lib/*.so; do
  runpath=$(readelf -d "$file" 2>/dev/null | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')
  [ -n "$runpath" ] || continue
  IFS=: read -r -a entries <<<"$runpath:"
  for entry in "${entries[@]}"; do
    case "$entry" in /*|'$ORIGIN'*) ;; *) fail "$file searches \"$entry\" for libraries ($runpath)";; esac
  done
done

for dir in "$work/consumer" "$work/prefix/bin"; do
  for program in overload_monitor scaler_probe netout_probe; do
    readelf -d "$dir/$program" | grep -q 'NEEDED.*\[liblumaset\.so\.1\]' || fail "$dir/$program does not load liblumaset.so"
  done
  $launcher "$dir/scaler_probe" -h | grep -q '^	scaler_probe \[-h\]$' || fail "$dir/scaler_probe -h"
  status=0; LUMASET_GPIO_SYSFS="$work/no_gpio" $launcher "$dir/overload_monitor" 2>"$work/overload.log" || status=$?
  [ "$status" -eq 1 ] && grep -q 'Unable to start the overload detector: gpio 208' "$work/overload.log" ||
    fail "$dir/overload_monitor without GPIO: status $status, $(cat "$work/overload.log")"
  # One cycle starts the encoder, which loads the codec module from beside the library.
  LUMASET_OPTIONS="enc0.width=64 enc0.height=32" $launcher "$dir/netout_probe" -s 0 -i 127.0.0.1 -p 9 \
    >"$work/netout.out" 2>"$work/netout.log" || fail "$dir/netout_probe: $(cat "$work/netout.log")"
  tail -n 1 "$work/netout.out" | grep -qx Success || fail "$dir/netout_probe did not succeed"
  if grep -q 'Assert\|codec module' "$work/netout.log"; then fail "$dir/netout_probe: $(cat "$work/netout.log")"; fi
done
echo "install test: installed, built against the package and ran the programs"

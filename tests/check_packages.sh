#!/usr/bin/env bash
# Builds the Debian packages of a build tree, unpacks them into a scratch root, checks their
# architecture, contents and declared dependencies, and runs the installed smdhost from there.
# Usage: check_packages.sh BUILD_DIR [EMULATOR...]   (the emulator runs the target's programs)
# READELF names the target's readelf; SMD_SOURCE_DIR the source tree (for the model file).
set -euo pipefail
build=$(cd "$1" && pwd); shift
emulator=("$@")
readelf=${READELF:-readelf}
fail() { echo "FAIL: $*" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 \
  || { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
debs=("$scratch"/out/*.deb)
declare -A deb_of
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || fail "cpack made no package"
  deb_of[$(dpkg-deb -f "$deb" Package)]=$deb
done
for name in rtmk48-pv05 smdhost; do
  [ -n "${deb_of[$name]:-}" ] || fail "no package $name among: $(cd "$scratch/out" && ls)"
done

arch=$(dpkg-deb -f "${deb_of[smdhost]}" Architecture)
case $arch in
  amd64) machine='x86-64' ;;
  armhf) machine='ARM, EABI5' ;;
  *) fail "unexpected architecture $arch" ;;
esac
triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
[ "$(dpkg-deb -f "${deb_of[rtmk48-pv05]}" Architecture)" = "$arch" ] \
  || fail "the two packages are for different architectures"

root=$scratch/root
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done

libdir=$root/usr/lib/$triplet
plugin=$libdir/smdhost/rtmk48_pv05.so
smdhost=$root/usr/bin/smdhost
for f in "$plugin" "$smdhost" "$libdir"/libsmdhost.so.0 "$root/usr/share/smdhost/web/index.html"; do
  [ -f "$f" ] || fail "missing ${f#"$root"}"
done
model=${SMD_SOURCE_DIR:-}/ini/rtmk48_pv05.ini
if [ -n "${SMD_SOURCE_DIR:-}" ] && [ -f "$model" ]; then
  cmp -s "$model" "$root/usr/share/smdhost/ini/rtmk48_pv05.ini" \
    || fail "the package's model file differs from ini/rtmk48_pv05.ini or is missing"
fi

# Every ELF file is for the package's architecture, stripped, and each library it needs comes
# from the package set itself or from a package its own package depends on.
depends_of() {
  dpkg-deb -f "$1" Depends | tr ',|' '\n\n' | sed 's/(.*)//; s/[[:space:]]//g' | grep -v '^$'
}
# A cross build's target root is what the emulator is given with -L; scripts/setup lists there
# which package shipped each file.
target_root=""
for ((i = 0; i + 1 < ${#emulator[@]}; i++)); do
  [ "${emulator[i]}" = -L ] && target_root=${emulator[i + 1]}
done
owner_of() {  # the Debian package (without :arch) that ships a target library
  local lib=$1 dir owner
  for dir in /lib/$triplet /usr/lib/$triplet /lib /usr/lib; do
    if [ -n "$target_root" ]; then
      owner=$(awk -v f="$dir/$lib" '$1 == f { print $2; exit }' "$target_root/.owners")
      [ -n "$owner" ] && echo "$owner" && return 0
      continue
    fi
    [ -e "$dir/$lib" ] || continue
    owner=$(dpkg -S "$dir/$lib" 2>/dev/null) || continue
    echo "${owner%%:*}" && return 0
  done
  return 1
}
elf_count=0
for deb in "${debs[@]}"; do
  deps=$(depends_of "$deb")
  while IFS= read -r path; do
    f=$root/$path
    [ -f "$f" ] && [ ! -L "$f" ] || continue
    kind=$(file -b "$f")
    [[ $kind == ELF* ]] || continue
    elf_count=$((elf_count + 1))
    [[ $kind == *"$machine"* ]] || fail "$path is not for $arch: $kind"
    [[ $kind == *", stripped"* ]] || fail "$path is not stripped: $kind"
    dyn=$("$readelf" -dW "$f")
    ! grep -qE '\((RPATH|RUNPATH)\)' <<<"$dyn" || fail "$path keeps a library path"
    grep -qE '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dyn" || fail "$path is not linked with -z now"
    "$readelf" -lW "$f" | grep -q GNU_RELRO || fail "$path has no read-only relocations"
    # No build path: the binaries must not depend on where they were built.
    for dir in "$build" ${SMD_SOURCE_DIR:+"$SMD_SOURCE_DIR"}; do
      ! grep -qaF "$dir" "$f" || fail "$path names the build path $dir"
    done
    for lib in $(sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' <<<"$dyn"); do
      [ -n "$(find "$root" -name "$lib" -print -quit)" ] && continue
      pkg=$(owner_of "$lib") || fail "$path needs $lib, which no installed $arch package ships"
      grep -qx "$pkg" <<<"$deps" \
        || fail "$path needs $lib from $pkg, not among $(dpkg-deb -f "$deb" Package)'s Depends"
    done
  done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./||')
done
[ "$elf_count" -ge 3 ] || fail "only $elf_count ELF files in the packages"

# The programs must pick up the packaged runtime library, not the one in the build tree.
run() { LD_LIBRARY_PATH=$libdir timeout 60 "${emulator[@]}" "$@"; }
# Under qemu-user the variable must reach the emulated loader, not the emulator's own.
if [ ${#emulator[@]} -gt 0 ]; then
  trace=$(QEMU_SET_ENV=LD_TRACE_LOADED_OBJECTS=1 run "$smdhost") || fail "cannot trace smdhost"
else
  trace=$(run env LD_TRACE_LOADED_OBJECTS=1 "$smdhost") || fail "cannot trace smdhost"
fi
grep -q "libsmdhost.so.0 => $libdir/libsmdhost.so.0" <<<"$trace" \
  || fail "smdhost does not load the packaged libsmdhost: $trace"

# Run from a working directory laid out the way the host expects: the plug-in and ./ini/.
work=$scratch/work
mkdir -p "$work"
ln -s "$plugin" "$work/rtmk48_pv05.so"
[ -d "$root/usr/share/smdhost/ini" ] && ln -s "$root/usr/share/smdhost/ini" "$work/ini"
help=$(cd "$work" && run "$smdhost" --help 2>&1) || true
if grep -q -- '--demo' <<<"$help"; then
  out=$(cd "$work" && run "$smdhost" --demo 2>&1) || fail "smdhost --demo failed: $out"
  grep -q 'published record' <<<"$out" || fail "smdhost --demo published no record: $out"
  what="smdhost --demo"
else
  out=$(cd "$work" && run "$smdhost" "$plugin" 2>&1) || fail "smdhost could not run the plug-in: $out"
  grep -q 'device type rtmk48_pv05' <<<"$out" || fail "smdhost did not create the device: $out"
  what="smdhost <plugin>"
fi

for program in smdhost rtmk48sim; do
  version=$(run "$root/usr/bin/$program" --version) || fail "$program --version failed"
  [ "$version" = "$program $(dpkg-deb -f "${deb_of[smdhost]}" Version | sed 's/-[^-]*$//')" ] \
    || fail "$program --version says '$version'"
done

# lintian: no error or warning (overrides carry their reasons in the package).
lint=$(lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" 2>&1) \
  || fail "lintian: $lint"

# apt resolves the declared dependencies against what this machine has installed, or for a
# cross build, on a machine of the target's architecture with nothing installed yet.
if command -v apt-get >/dev/null; then
  apt_target=()
  [ -n "$target_root" ] && apt_target=(-o Dir::State::status=/dev/null
    -o APT::Architecture="$arch" -o APT::Architectures::="$arch")
  apt-get install -s -qq ${apt_target[@]+"${apt_target[@]}"} "${debs[@]}" >"$scratch/apt.log" 2>&1 \
    || { cat "$scratch/apt.log" >&2; fail "apt cannot install the packages"; }
fi

printf 'ok: %s packages %s lintian-clean; %d ELF files; %s ran from the scratch root\n' "$arch" \
  "$(cd "$scratch/out" && echo *.deb)" "$elf_count" "$what"

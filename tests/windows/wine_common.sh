# shellcheck shell=bash
# What the scripts that run the Windows programs under Wine share. Sourced
# once `repo` (the source tree), `linux_build`, `windows_build` and `work`
# are set.

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
step() { printf '== %s\n' "$*"; }
under_wine() { UPDATER_WINEPREFIX=$windows_build/wine-prefix "$repo/scripts/wine-run" "$@"; }
# Wine shows the Linux root as drive Z:; the Windows programs get Windows paths.
windows_path() { local path=${1//\//\\}; printf 'Z:%s' "$path"; }

# The key the signed builds trust, made once and kept with the Windows build.
signing_key_dir=$windows_build/signed-key

# signed_build TARGET...: builds TARGETs in WINDOWS_BUILD/signed, the same
# sources configured like WINDOWS_BUILD but trusting the key in
# $signing_key_dir (which must exist). Kept for later runs.
signed_build() {
  local cache=$windows_build/CMakeCache.txt prefix qt
  prefix=$(sed -n 's/^UPDATER_WINDOWS_PREFIX:[A-Z]*=//p' "$cache")
  qt=$(sed -n 's/^UPDATER_WINDOWS_QT:[A-Z]*=//p' "$cache")
  cmake -S "$repo" -B "$windows_build/signed" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DUPDATER_WINDOWS_PREFIX="$prefix" -DUPDATER_WINDOWS_QT="$qt" \
    -DUPDATER_TRUSTED_KEYS="$(cat "$signing_key_dir/public.txt")" \
    -DUPDATER_BUILD_TESTS=OFF -DUPDATER_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$windows_build/signed" -j"$(nproc)" --target "$@" >/dev/null
}

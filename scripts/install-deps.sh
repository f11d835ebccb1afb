#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, as root; does nothing
# that is already done.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config python3 python3-pefile python3-olefile
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64
  googletest libgtest-dev libp11-kit-dev libtomlplusplus-dev
  pcscd libpcsclite-dev vsmartcard-vpcd opensc libusb-1.0-0-dev flex curl bzip2 make
  wine wine64 wine32:i386 qemu-user xvfb xauth
  softhsm2 gnutls-bin python3-pykcs11 libengine-pkcs11-openssl openssl osslsigncode
  openjdk-17-jdk-headless
  clang libclang-rt-14-dev valgrind
  wixl msitools
  meson libffi-dev libtasn1-6-dev libnss3-dev
)
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

# A mirror in the middle of a sync serves an index whose size or hash does
# not match its Release file; apt-get update then fails. It is tried again a
# few times; an index that still fails (or a suite that lists no index for a
# foreign architecture) leaves that suite's packages of the native
# architecture without their foreign twins, whose versions must agree
# (Multi-Arch: same). Such a suite is then pinned below the others for the
# install, so that both architectures take the versions of the suites whose
# indexes are whole; the install stops with the failed index named when even
# that cannot be satisfied.
failed_indexes=()   # URLs apt-get update could not fetch
weak_suites=()      # dists/ names whose indexes are not whole for every architecture
refresh_indexes() {
  local try out
  for try in 1 2 3 4; do
    out=$($SUDO apt-get update -q 2>&1) && { failed_indexes=(); break; }
    mapfile -t failed_indexes < <(sed -nE 's/^E: Failed to fetch ([^ ]+).*/\1/p' <<<"$out")
    echo "install-deps: apt-get update failed (try $try of 4): ${failed_indexes[*]:-$(tail -1 <<<"$out")}"
    [ "$try" = 4 ] || sleep "${INSTALL_DEPS_RETRY_PAUSE:-20}"
  done
  weak_suites=()
  local url suite
  for url in "${failed_indexes[@]}"; do
    suite=$(sed -nE 's#.*/dists/([^/]+)/.*#\1#p' <<<"$url")
    [ -n "$suite" ] && weak_suites+=("$suite")
  done
  # A suite that has a list of native packages but none for a foreign
  # architecture, whether its download failed or the sources leave it out.
  local native foreign list base
  native=$(dpkg --print-architecture)
  for foreign in $(dpkg --print-foreign-architectures); do
    for list in /var/lib/apt/lists/*_dists_*_binary-"$native"_Packages*; do
      [ -e "$list" ] || continue
      base=${list%%_binary-"$native"_Packages*}
      compgen -G "${base}_binary-${foreign}_Packages*" >/dev/null && continue
      suite=$(sed -nE 's#.*_dists_([^_]+)_.*#\1#p' <<<"$base")
      [ -n "$suite" ] && weak_suites+=("$suite")
    done
  done
  if [ ${#weak_suites[@]} -gt 0 ]; then
    mapfile -t weak_suites < <(printf '%s\n' "${weak_suites[@]}" | sort -u)
  fi
}
install_missing() {
  local apt=(env DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends)
  if [ ${#weak_suites[@]} -eq 0 ]; then
    "${apt[@]}" "${missing[@]}" && return
    echo "install-deps: the install failed; try again later" >&2
    exit 1
  fi
  local prefs suite
  prefs=$(mktemp -d)
  for suite in "${weak_suites[@]}"; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 400\n\n' "$suite"
  done >"$prefs/install-deps.pref"
  echo "install-deps: indexes not whole for every architecture in ${weak_suites[*]};" \
    "installing with those suites below the others"
  if "${apt[@]}" -o Dir::Etc::PreferencesParts="$prefs" "${missing[@]}"; then
    rm -rf "$prefs"
    echo "install-deps: installed without the newer versions of ${weak_suites[*]};" \
      "run apt-get update and apt-get upgrade once the mirror is whole to take them"
    return
  fi
  rm -rf "$prefs"
  echo "install-deps: cannot install while these indexes fail: ${failed_indexes[*]:-${weak_suites[*]}}." \
    "The mirror is probably in the middle of a sync: try again later." >&2
  exit 1
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  refresh_indexes
  install_missing
fi

# 32-bit Linux programs (the 32-bit Wine loader) cannot run natively on every
# kernel here; qemu-i386 registered with binfmt_misc runs them instead.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
  fi
  if [ -w /proc/sys/fs/binfmt_misc/register ] && [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:OCF' \
      | $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null || true
  fi
fi
echo "install-deps: all present"

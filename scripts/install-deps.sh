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
)
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
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

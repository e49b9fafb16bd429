#!/bin/sh
# What the AArch64 cross build and its qemu-user test runs need, installed
# when missing: the cross compiler, qemu-user, and the arm64 OpenSSL and
# zstd packages that the program's driver links (Debian multiarch).
set -eu
need=""
command -v cmake >/dev/null || need="$need cmake"
command -v ninja >/dev/null || need="$need ninja-build"
command -v aarch64-linux-gnu-g++ >/dev/null || need="$need g++-aarch64-linux-gnu"
command -v qemu-aarch64 >/dev/null || need="$need qemu-user"
[ -e /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
[ -e /usr/lib/aarch64-linux-gnu/libcrypto.so ] || need="$need libssl-dev:arm64"
[ -e /usr/lib/aarch64-linux-gnu/libzstd.so ] || need="$need libzstd-dev:arm64"
[ -z "$need" ] && exit 0
case "$need" in
*:arm64*) dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64 ;;
esac
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq $need

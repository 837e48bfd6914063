#!/usr/bin/env bash
# Installs everything the build, the tests, the fuzzers and the benchmarks need (Debian 12, root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  cmake make g++ python3 \
  qt6-base-dev libxerces-c-dev libxalan-c-dev libcurl4-openssl-dev \
  libgtest-dev libgmock-dev \
  pkgconf libsystemd-dev systemd dpkg-dev fakeroot \
  clang libclang-rt-14-dev \
  t1utils \
  libsnmp-dev snmp snmpsim \
  libcpp-httplib-dev chromium chromium-driver python3-selenium \
  debhelper dh-python lintian devscripts >/dev/null

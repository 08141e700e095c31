#!/usr/bin/env bash
# Installs what a fresh machine lacks. With no argument: what building and
# testing need. With "bench": the peer libraries the benchmarks compare
# against. Runs apt-get only as root and only when something is missing.
set -euo pipefail
need=()
if [ "${1:-}" = "bench" ]; then
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
  [ -f /usr/include/fftw3.h ] || need+=(libfftw3-dev)
  [ -f /usr/include/kissfft/kiss_fftr.h ] || need+=(libkissfft-dev)
  [ -f /usr/include/samplerate.h ] || need+=(libsamplerate0-dev)
  [ -f /usr/include/soxr.h ] || need+=(libsoxr-dev)
else
  command -v cmake >/dev/null || need+=(cmake)
  command -v ninja >/dev/null || need+=(ninja-build)
  command -v g++ >/dev/null || need+=(g++)
  command -v make >/dev/null || need+=(make)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  [ -f /usr/include/gmock/gmock.h ] || need+=(libgmock-dev)
  [ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
fi
if [ ${#need[@]} -eq 0 ]; then exit 0; fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${need[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}"

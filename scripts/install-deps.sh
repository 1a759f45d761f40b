#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmarks need, when missing.
# Safe to run repeatedly: it only calls apt-get when something is absent.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config python3
  libicu-dev libpcre2-dev libgmp-dev libmpfr-dev libedit-dev zlib1g-dev libzstd-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # The Python package and its tests (the tests install it with pip into a virtual environment).
  pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pandas python3-dask python3-distributed
  python3-pytest python3-setuptools python3-wheel python3-pip python3-venv
)
# Benchmarks compare against these; they are optional for building and testing.
optional=(liblua5.4-dev libintelrdfpmath-dev miller hyperfine locales-all)

missing=()
for p in "${packages[@]}" "${optional[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
# Required packages must install; optional ones are tried one by one.
req=()
for p in "${missing[@]}"; do
  case " ${optional[*]} " in *" $p "*) ;; *) req+=("$p");; esac
done
[ ${#req[@]} -gt 0 ] && "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${req[@]}"
for p in "${missing[@]}"; do
  case " ${optional[*]} " in
    *" $p "*) "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "$p" || echo "note: optional package $p not installed" >&2;;
  esac
done

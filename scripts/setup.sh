#!/usr/bin/env bash
# Installs what a fresh machine lacks: the system packages of the build and
# a Python 3.13 virtual environment in .venv. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(cmake g++ make libprotobuf-dev protobuf-compiler libgtest-dev libbenchmark-dev
              clang-14 libclang-rt-14-dev ccache libcli11-dev zlib1g-dev)
# Spark (vantorelle.spark and its tests) runs on Java 17 or 21, and the
# package's Spark jar and JNI library build with a JDK (javac, jar and the JNI
# headers); a JDK already on PATH is kept.
if ! command -v javac >/dev/null 2>&1; then
  APT_PACKAGES+=(openjdk-17-jdk-headless)
fi

missing=()
for package in "${APT_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python() {
  if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import sys' >/dev/null 2>&1; then
    command -v python3.13
    return
  fi
  local candidate
  for candidate in /root/.pyenv/versions/3.13.*/bin/python3.13 "$HOME"/.pyenv/versions/3.13.*/bin/python3.13; do
    if [[ -x $candidate ]]; then
      echo "$candidate"
      return
    fi
  done
  echo "setup: Python 3.13 not found (python3.13 on PATH or under ~/.pyenv/versions/3.13.*)" >&2
  exit 1
}

if [[ ! -x .venv/bin/python ]] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  rm -rf .venv
  "$(find_python)" -m venv .venv
fi
# Installed again whenever requirements-dev.txt changes.
stamp=.venv/.requirements-dev.sha256
wanted=$(sha256sum requirements-dev.txt | cut -d' ' -f1)
if [[ ! -f $stamp || $(cat "$stamp") != "$wanted" ]]; then
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet -r requirements-dev.txt
  echo "$wanted" >"$stamp"
fi

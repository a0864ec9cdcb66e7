#!/usr/bin/env bash
# Builds the extension in build/<name> and lays out an importable package in
# build/<name>/site, for running the Python tests without `pip install`:
#   scripts/dev-module.sh mine && PYTHONPATH=build/mine/site pytest tests/python
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: dev-module.sh <build-name>}
dir=build/$name
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANDREL_BUILD_MODULE=ON \
  -DZANDREL_BUILD_TESTS=OFF -DZANDREL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" --target _zandrel -j "$(nproc)"
mkdir -p "$dir/site/zandrel"
for f in python/zandrel/*.py; do ln -sf "$PWD/$f" "$dir/site/zandrel/"; done
ln -sf "$PWD/$(ls "$dir"/_zandrel*.so | head -n 1)" "$dir/site/zandrel/"

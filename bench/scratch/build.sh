#!/bin/bash
# Scratch: builds group_rows_bench against the Release build tree.
cd "$(dirname "$0")/../.." && g++ -std=c++20 -O3 -g -DNDEBUG -Isrc -Itests/cpp bench/scratch/group_rows_bench.cpp \
  build/src/engine/libvantorelle_engine.a build/libvantorelle_core.a -lprotobuf -lpthread -o bench/scratch/group_rows_bench

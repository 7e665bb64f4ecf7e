# `make demo` and `make test` are the two entry points (see README.md).
PYTHON := .venv/bin/python
JOBS ?= 2
RELEASE_BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
FUZZ_BUILD_DIR ?= build-fuzz
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

.PHONY: setup install demo test cpp-test cpp-test-asan fuzz python-test bench

setup:
	bash scripts/setup.sh

install: setup
	$(PYTHON) -m pip install --quiet --no-build-isolation .

demo: setup install
	$(PYTHON) examples/distinct_count.py

test: setup cpp-test cpp-test-asan fuzz install python-test

cpp-test:
	cmake -S . -B $(RELEASE_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_BUILD_DIR) -j$(JOBS)
	ctest --test-dir $(RELEASE_BUILD_DIR) -j$(JOBS) --output-on-failure

cpp-test-asan:
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORELLE_SANITIZE=ON
	cmake --build $(ASAN_BUILD_DIR) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD_DIR) -j$(JOBS) --output-on-failure

# The fuzz script belongs to the fuzzing set-up; it is run when present.
fuzz:
	@if [ -f scripts/fuzz.sh ]; then BUILD_DIR=$(FUZZ_BUILD_DIR) bash scripts/fuzz.sh 60; else echo "fuzz: scripts/fuzz.sh not present, skipped"; fi

python-test:
	$(PYTHON) -m pytest tests/python

bench: install
	$(PYTHON) bench/python_bench.py
	$(PYTHON) bench/add_bench.py

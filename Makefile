# `make demo` and `make test` are the two entry points (see README.md).
PYTHON := .venv/bin/python
JOBS ?= 2
RELEASE_BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
FUZZ_BUILD_DIR ?= build-fuzz
TSAN_BUILD_DIR ?= build-tsan
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

.PHONY: setup install demo test cpp-test cpp-test-asan tsan fuzz fuzz-python python-test python-test-asan bench docs wheel

setup:
	bash scripts/setup.sh

install: setup
	$(PYTHON) -m pip install --quiet --no-build-isolation .

demo: setup install
	$(PYTHON) examples/distinct_count.py

# What CI runs, within about twenty minutes on two cores: the C++ tests once,
# under ASan and UBSan (the Release build of the same tests is `make
# cpp-test`), and short fuzz runs. `make fuzz` runs each libFuzzer target for
# a minute; `make fuzz-python` the atheris harness.
FUZZ_SECONDS ?= 60
TEST_FUZZ_SECONDS ?= 15

test: setup cpp-test-asan tsan install python-test python-test-asan
	BUILD_DIR=$(FUZZ_BUILD_DIR) bash scripts/fuzz.sh $(TEST_FUZZ_SECONDS)

cpp-test:
	cmake -S . -B $(RELEASE_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_BUILD_DIR) -j$(JOBS)
	ctest --test-dir $(RELEASE_BUILD_DIR) -j$(JOBS) --output-on-failure

cpp-test-asan:
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORELLE_SANITIZE=ON
	cmake --build $(ASAN_BUILD_DIR) -j$(JOBS)
	ctest --test-dir $(ASAN_BUILD_DIR) -j$(JOBS) --output-on-failure

# The threaded paths (the grouped builder and its merges, the engine's key
# grouping and value coding on several threads) under ThreadSanitizer.
tsan:
	cmake -S . -B $(TSAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORELLE_TSAN=ON
	cmake --build $(TSAN_BUILD_DIR) --target grouped_sketches_test engine_test -j$(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD_DIR)/tests/cpp/grouped_sketches_test
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD_DIR)/tests/cpp/engine_test \
	  --gtest_filter=-EngineTest.AMillionGroupsInOneRun

# Every libFuzzer target for a minute each (scripts/fuzz.sh SECONDS [TARGET...]).
fuzz:
	BUILD_DIR=$(FUZZ_BUILD_DIR) bash scripts/fuzz.sh $(FUZZ_SECONDS)

python-test:
	$(PYTHON) -m pytest tests/python

# The Python surface under atheris, with sanitized, coverage-instrumented
# extension modules.
fuzz-python: install
	JOBS=$(JOBS) bash scripts/fuzz_python.sh $(FUZZ_SECONDS)

# The Python tests against both extension modules built with ASan and UBSan.
python-test-asan: install
	JOBS=$(JOBS) bash scripts/python_asan.sh -q

# dist/: an sdist and a self-contained wheel, each installed and smoke-tested
# in a fresh virtual environment (the wheel with the system libprotobuf hidden).
wheel: setup
	bash scripts/wheel.sh

bench: install
	$(PYTHON) bench/python_bench.py
	$(PYTHON) bench/columns_bench.py
	$(PYTHON) bench/add_bench.py

# Regenerates docs/benchmarks.* and docs/accuracy.* (a few minutes; not part of `make test`).
# Needs the peer libraries of requirements-dev.txt.
docs: install
	$(PYTHON) bench/compare.py
	$(PYTHON) bench/groups_bench.py --docs
	$(PYTHON) bench/accuracy.py

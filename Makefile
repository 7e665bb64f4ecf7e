# `make demo` and `make test` are the two entry points (see README.md).
PYTHON := .venv/bin/python
JOBS ?= 2
RELEASE_BUILD_DIR ?= build
# One clang tree with ASan and UBSan for the C++ tests, both extension
# modules and the libFuzzer targets (scripts/sanitized_build.sh).
SANITIZE_BUILD_DIR ?= build-sanitize
TSAN_BUILD_DIR ?= build-tsan
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)

# The optional doors, as names of CMake options, switched on alike in the
# sanitized tree and in the plain build of `make install`, e.g.
# DOORS := VANTORELLE_BUILD_DUCKDB VANTORELLE_BUILD_SPARK. The DuckDB
# extension runs under the sanitizers in the native-path Python tests.
DOORS ?= VANTORELLE_BUILD_DUCKDB
export CMAKE_DOORS := $(foreach door,$(DOORS),-D$(door)=ON)
INSTALL_DOORS := $(foreach door,$(DOORS),--config-settings=cmake.define.$(door)=ON)

# The test programs of the threaded engine, run under ThreadSanitizer.
TSAN_TESTS := grouped_sketches_test engine_test martingale_counts_test
TSAN_GTEST_FILTER := -EngineTest.AMillionGroupsInOneRun

.PHONY: setup install demo test test-lanes sanitized-lane sanitized-build cpp-test cpp-test-asan \
        tsan-build tsan fuzz fuzz-test fuzz-python python-test python-test-asan bench docs wheel

setup:
	bash scripts/setup.sh

install: setup
	$(PYTHON) -m pip install --quiet --no-build-isolation $(INSTALL_DOORS) .

demo: setup install
	$(PYTHON) examples/distinct_count.py

# What CI runs (.ci/run), within ten minutes on two cores: three builds (the
# sanitized tree, the ThreadSanitizer test programs, the Release modules),
# then two lanes side by side, each on one core for about as long: the
# Python suite on the Release modules, a short run of each fuzz target and
# the ThreadSanitizer tests; the C++ tests and the native-path Python tests
# on the sanitized tree. Each stage's time is printed at the end. The
# Release C++ tests are `make cpp-test`, longer fuzzing `make fuzz` and
# `make fuzz-python`.
FUZZ_SECONDS ?= 60
TEST_FUZZ_SECONDS ?= 15
STAGE_TIMES := $(SANITIZE_BUILD_DIR)/stage-times.txt
SANITIZED_LANE_LOG := $(SANITIZE_BUILD_DIR)/sanitized-lane.log
stage = bash scripts/stage.sh "$(1)" $(STAGE_TIMES) $(MAKE) --no-print-directory $(2)

test:
	@mkdir -p $(SANITIZE_BUILD_DIR) && rm -f $(STAGE_TIMES)
	@$(call stage,setup,setup)
	@$(call stage,sanitized build (clang ASan+UBSan),sanitized-build)
	@$(call stage,ThreadSanitizer build,tsan-build)
	@$(call stage,Release modules (make install),install)
	@$(call stage,tests (both lanes),test-lanes)
	@echo "=== time per stage (the lanes' stages overlap)"; cat $(STAGE_TIMES)

# The plain Python suite and the fuzz targets in the foreground; the
# sanitized lane beside them, its output shown when both are done.
test-lanes:
	@echo "the sanitized lane runs beside the Python suite; its log: $(SANITIZED_LANE_LOG)"
	@$(MAKE) --no-print-directory sanitized-lane >$(SANITIZED_LANE_LOG) 2>&1 & lane=$$!; \
	$(call stage,Python suite (Release modules),python-test); plain=$$?; \
	$(call stage,fuzz targets ($(TEST_FUZZ_SECONDS) s each),fuzz-test) || plain=1; \
	$(call stage,ThreadSanitizer tests,tsan) || plain=1; \
	wait $$lane; sanitized=$$?; \
	echo "=== sanitized lane"; cat $(SANITIZED_LANE_LOG); \
	exit $$((plain || sanitized))

sanitized-lane:
	@$(call stage,C++ tests (ASan+UBSan),cpp-test-asan)
	@$(call stage,Python native path (ASan+UBSan),python-test-asan)

sanitized-build:
	JOBS=$(JOBS) bash scripts/sanitized_build.sh $(SANITIZE_BUILD_DIR)

cpp-test:
	cmake -S . -B $(RELEASE_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_DOORS)
	cmake --build $(RELEASE_BUILD_DIR) -j$(JOBS)
	ctest --test-dir $(RELEASE_BUILD_DIR) -j$(JOBS) --output-on-failure

cpp-test-asan: sanitized-build
	ctest --test-dir $(SANITIZE_BUILD_DIR) -j$(JOBS) --output-on-failure

# The threaded paths (the grouped builder and its merges, the engine's key
# grouping and value coding, the grouped counts) under ThreadSanitizer: only
# the libraries and TSAN_TESTS are built. The million-group case of the
# engine test runs in the sanitized lane, not here.
tsan-build:
	cmake -S . -B $(TSAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DVANTORELLE_TSAN=ON >/dev/null
	cmake --build $(TSAN_BUILD_DIR) --target $(TSAN_TESTS) -j$(JOBS)

tsan: tsan-build
	for test in $(TSAN_TESTS); do \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD_DIR)/tests/cpp/$$test \
	    --gtest_filter=$(TSAN_GTEST_FILTER) || exit 1; \
	done

# Every libFuzzer target for TEST_FUZZ_SECONDS (in make test) or FUZZ_SECONDS
# each (scripts/fuzz.sh SECONDS [TARGET...]), from the sanitized tree.
fuzz-test:
	BUILD_DIR=$(SANITIZE_BUILD_DIR) JOBS=$(JOBS) bash scripts/fuzz.sh $(TEST_FUZZ_SECONDS)

fuzz:
	BUILD_DIR=$(SANITIZE_BUILD_DIR) JOBS=$(JOBS) bash scripts/fuzz.sh $(FUZZ_SECONDS)

python-test:
	$(PYTHON) -m pytest tests/python

# The Python surface under atheris, with sanitized, coverage-instrumented
# extension modules.
fuzz-python: install
	JOBS=$(JOBS) bash scripts/fuzz_python.sh $(FUZZ_SECONDS)

# The native-path Python tests against both extension modules of the
# sanitized tree (tests/python/conftest.py names the files left out).
python-test-asan:
	BUILD_DIR=$(SANITIZE_BUILD_DIR) JOBS=$(JOBS) bash scripts/python_asan.sh -q

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

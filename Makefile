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
VPY := $(VENV)/bin/python
BUILD := build/py$(PY_TAG)
CORE_BUILD := build/core
JOBS ?= 2

.PHONY: help demo test pytest core-test install venv bench chart sanitize check-free-threaded fuzz tsan valgrind wheel clean

help:
	@echo "make demo   - build brindxml and run the demo on the bundled sample"
	@echo "make test   - build brindxml and run the whole test suite (pytest + C++ core tests)"
	@echo "make bench  - run the benchmarks against ElementTree, lxml and xmltodict"
	@echo "make chart  - measure the headline figures; writes bench/results.md and bench/performance.png"
	@echo "make sanitize - run the test suite against an AddressSanitizer/UBSan build"
	@echo "make check-free-threaded - compile against the free-threaded view of the 3.14 headers; no private API"
	@echo "make fuzz   - build the libFuzzer targets (clang) and run each for FUZZ_SECONDS"
	@echo "make tsan   - run the C++ concurrency stress test of the core under ThreadSanitizer"
	@echo "make valgrind - run a small script under valgrind memcheck"
	@echo "make wheel  - build a wheel into dist/"
	@echo "Using $(PY) (CPython $(PY_TAG)); override with PYTHON=..."

$(VENV)/.ready:
	$(PY) -m venv --clear $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja pytest numpy mypy "pyright[nodejs]"
	touch $@

venv: $(VENV)/.ready

# Installs the module into the environment exactly as `pip install .` would.
install: venv
	$(VPY) -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
	    -Cbuild-dir=$(BUILD) -Ccmake.define.BRINDXML_WERROR=$${BRINDXML_WERROR:-OFF} .

demo: install
	$(VPY) examples/demo.py

pytest: install
	cd tests && $(CURDIR)/$(VPY) -m pytest -q -p no:cacheprovider .

core-test: venv
	$(VENV)/bin/cmake -S . -B $(CORE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DBRINDXML_BUILD_CORE_TESTS=ON -DBRINDXML_WERROR=$${BRINDXML_WERROR:-OFF} \
	    -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja > /dev/null
	$(VENV)/bin/cmake --build $(CORE_BUILD) -j $(JOBS)
	@shopt -s nullglob; failed=0; ran=0; \
	for t in $(CORE_BUILD)/*_test; do \
	    ran=$$((ran + 1)); echo "== $$t"; \
	    if ! $$t; then failed=$$((failed + 1)); fi; \
	done; \
	echo "C++ core test programs: $$((ran - failed)) passed, $$failed failed"; \
	test $$failed -eq 0

test: core-test pytest

bench: install
	$(VPY) -m pip install --quiet lxml xmltodict
	$(VPY) bench/run_all.py

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
FUZZ_FLAGS := -std=c++20 -O1 -g -Isrc -fsanitize=address,undefined -fno-sanitize-recover=undefined
fuzz:
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang (apt-get install clang)"; exit 1; }
	rm -rf $(FUZZ_BUILD)/core && mkdir -p $(FUZZ_BUILD)/core
	@echo "== building the core for fuzzing"
	@ls src/storage/*.cpp src/index/*.cpp src/read/*.cpp src/write/*.cpp | \
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
	g++ -std=c++20 -O1 -g -fsanitize=thread -pthread -Wall -Wextra -Isrc tests/cpp/concurrency_stress.cpp \
	    src/storage/*.cpp src/index/*.cpp src/read/*.cpp src/write/*.cpp -o $(TSAN_BUILD)/concurrency_stress
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

wheel: venv
	$(VPY) -m pip wheel --no-deps -w dist .
	@ls -l dist/*.whl

clean:
	rm -rf build .venv dist

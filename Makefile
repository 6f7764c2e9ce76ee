# Every target sets up what it needs: a virtual environment on the newest
# CPython >= 3.13 found (override with PYTHON=...), the build, the dependencies.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

PY := $(shell tools/find-python.sh || echo MISSING)
ifeq ($(PY),MISSING)
$(error no CPython 3.13 or newer found; install one or run make PYTHON=/path/to/python3.13)
endif
PY_TAG := $(shell $(PY) -c 'import sys, sysconfig; print("%d.%d%s" % (*sys.version_info[:2], "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
VENV := .venv/py$(PY_TAG)
VPY := $(VENV)/bin/python
BUILD := build/py$(PY_TAG)
CORE_BUILD := build/core
JOBS ?= 2

.PHONY: help demo test pytest core-test install venv bench sanitize fuzz valgrind wheel clean

help:
	@echo "make demo   - build brindxml and run the demo on the bundled sample"
	@echo "make test   - build brindxml and run the whole test suite (pytest + C++ core tests)"
	@echo "make bench  - run the benchmarks against ElementTree, lxml and xmltodict"
	@echo "make sanitize - run the test suite against an AddressSanitizer/UBSan build"
	@echo "make fuzz   - build the libFuzzer targets (clang) and run each for FUZZ_SECONDS"
	@echo "make valgrind - run a small script under valgrind memcheck"
	@echo "make wheel  - build a wheel into dist/"
	@echo "Using $(PY) (CPython $(PY_TAG)); override with PYTHON=..."

$(VENV)/.ready:
	$(PY) -m venv --clear $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja pytest numpy
	touch $@

venv: $(VENV)/.ready

# Installs the module into the environment exactly as `pip install .` would.
install: venv
	$(VPY) -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
	    -Cbuild-dir=$(BUILD) -Ccmake.define.BRINDXML_WERROR=$${BRINDXML_WERROR:-OFF} .

demo: install
	$(VPY) examples/demo.py

pytest: install
	cd tests && ../$(VPY) -m pytest -q -p no:cacheprovider .

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

# The whole pytest suite against a build with AddressSanitizer and UBSan. The
# interpreter is not instrumented, so the ASan runtime is preloaded; leaks are
# reported except for allocations the interpreter itself keeps until exit.
ASAN_VENV := .venv/py$(PY_TAG)-asan
sanitize:
	@test -x $(ASAN_VENV)/bin/python || $(PY) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install --quiet "scikit-build-core>=0.10" cmake ninja pytest numpy
	$(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation --force-reinstall --no-deps \
	    -Cbuild-dir=build/py$(PY_TAG)-asan -Ccmake.build-type=RelWithDebInfo \
	    -Ccmake.define.BRINDXML_SANITIZE=ON .
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	    PYTHONMALLOC=malloc BRINDXML_SANITIZED=1 \
	    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:detect_odr_violation=0 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan-python.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ../$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider .

FUZZ_SECONDS ?= 60
FUZZ_BUILD := build/fuzz
fuzz:
	@command -v clang++ >/dev/null || { echo "make fuzz needs clang (apt-get install clang)"; exit 1; }
	mkdir -p $(FUZZ_BUILD)
	@for f in fuzz/*_fuzzer.cpp; do \
	    name=$$(basename $$f .cpp); \
	    echo "== building $$name"; \
	    clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	        -Isrc $$f $$(ls src/storage/*.cpp src/index/*.cpp src/read/*.cpp src/write/*.cpp) -o $(FUZZ_BUILD)/$$name; \
	done
	@for f in fuzz/*_fuzzer.cpp; do \
	    name=$$(basename $$f .cpp); corpus=$(FUZZ_BUILD)/corpus-$$name; mkdir -p $$corpus; \
	    echo "== running $$name for $(FUZZ_SECONDS)s"; \
	    $(FUZZ_BUILD)/$$name -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	        $$corpus fuzz/seeds 2>&1 | grep -E "^(stat::number_of_executed_units|#[0-9]+ +DONE|==[0-9]+==ERROR|SUMMARY)" || true; \
	    test -z "$$(ls $(FUZZ_BUILD)/crash-* 2>/dev/null)" || { echo "crash found"; exit 1; }; \
	done

valgrind: install
	PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=3 --leak-check=full \
	    --errors-for-leak-kinds=definite --suppressions=tools/valgrind-python.supp \
	    $(VPY) tools/memcheck_script.py

wheel: venv
	$(VPY) -m pip wheel --no-deps -w dist .
	@ls -l dist/*.whl

clean:
	rm -rf build .venv dist

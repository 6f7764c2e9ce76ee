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

.PHONY: help demo test pytest core-test install venv bench clean

help:
	@echo "make demo   - build brindxml and run the demo on the bundled sample"
	@echo "make test   - build brindxml and run the whole test suite (pytest + C++ core tests)"
	@echo "make bench  - run the benchmarks against ElementTree, lxml and xmltodict"
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

clean:
	rm -rf build .venv

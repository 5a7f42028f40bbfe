# Newcomer's entry points:
#   make run    set up and serve the bundled example as a web site (its SQLite store under ./data)
#   make test   set up and run the whole test suite
#   make demo   the scripted desk session on the example
#   make desktop  the example in a desktop window
#   make repl   drive the example's page engine line by line
#   make bench  benchmarks (ns per call, beside pure-Python versions)
#   make load   the web sites under load (gunicorn + wrk): the web face beside its pure-Python twin, the
#               layout's pages beside a bare Flask floor, logins on SQLite, PostgreSQL and two hosts
#   make test-asan  the test suite against an AddressSanitizer + UBSan build
#   make fuzz   coverage-guided fuzzing of every target, FUZZ_SECONDS (60) each,
#               or FUZZ_RUNS executions each; FUZZ_TARGETS picks targets;
#               FUZZ_MODE=fallback skips the Clang build
#   make soak   a million calls of each hot entry point; fails when memory grows
#               (SOAK_CALLS sets the count)
#   make stub-refs  set up, then take the built stubs as the tests' references
#               (tests/stubs/), after a deliberate change of a module's surface

PYTHON ?= $(shell scripts/find-python)
VENV   ?= .venv
PY     := $(VENV)/bin/python
BUILD_TOOLS := "scikit-build-core>=0.10" "nanobind>=3.0,<4" "cmake>=3.18" ninja
# Each interpreter and flavour keeps its own incremental build tree.
BUILD_DIR = build/$(notdir $(VENV))

.PHONY: setup run demo desktop repl check test stub-refs bench load test-asan setup-asan setup-fuzz fuzz soak clean

$(VENV)/.tools: pyproject.toml
	@test -n "$(PYTHON)" || { echo "no suitable Python found" >&2; exit 1; }
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_TOOLS)
	touch $@

# Builds the C++ extensions incrementally and installs the package with its
# test, web, websocket and PostgreSQL extras into the virtual environment.
setup: $(VENV)/.tools
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) $(BUILD_FLAGS) ".[test,web,ws,postgres]"

run: setup
	@echo "The example's web site: open the address below in a browser and log in as admin / admin123 (Ctrl-C stops it)."
	$(VENV)/bin/vantrel-app web examples/demo

demo: setup
	$(VENV)/bin/vantrel-app demo examples/demo

desktop: setup
	$(VENV)/bin/vantrel-app desktop examples/demo

repl: setup
	$(VENV)/bin/vantrel-app repl examples/demo

check: setup
	$(VENV)/bin/vantrel-app check examples/demo

test: setup
	$(PY) -m pytest -q tests

# The tests compare every installed stub with tests/stubs/<module>.pyi.ref;
# this makes the references from the stubs just built.
stub-refs: setup
	$(PY) scripts/stub-refs.py tests/stubs

bench: setup
	$(PY) bench/run.py

# The web site under gunicorn (4 workers) and wrk, beside its pure-Python twin.
LOAD_SECONDS ?= 30
load: setup
	$(PY) bench/load.py --seconds $(LOAD_SECONDS)

# Debug build instrumented with AddressSanitizer and UBSan, in its own venv.
# Freed blocks are filled with a pattern, so that a use after free inside the
# (uninstrumented) interpreter also fails at once.
ASAN_LIBS = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)
setup-asan:
	$(MAKE) setup VENV=.venv-asan BUILD_FLAGS="-Ccmake.build-type=Debug -Ccmake.define.VANTREL_SANITIZE=ON"

test-asan: setup-asan
	LD_PRELOAD="$(ASAN_LIBS)" ASAN_OPTIONS=detect_leaks=0:max_free_fill_size=1048576 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONMALLOC=malloc .venv-asan/bin/python -m pytest -q tests

# Clang build for fuzzing (scripts/fuzz passes CC and CXX), in its own venv.
setup-fuzz:
	CC=$(CC) CXX=$(CXX) $(MAKE) setup VENV=.venv-fuzz \
	  BUILD_FLAGS="-Ccmake.build-type=RelWithDebInfo -Ccmake.define.VANTREL_FUZZ=ON"

FUZZ_SECONDS ?= 60
FUZZ_RUNS    ?=
FUZZ_TARGETS ?=
FUZZ_MODE    ?=
fuzz:
	FUZZ_MODE=$(FUZZ_MODE) scripts/fuzz $(if $(FUZZ_RUNS),--runs $(FUZZ_RUNS),--seconds $(FUZZ_SECONDS)) $(FUZZ_TARGETS)

SOAK_CALLS ?= 1000000
soak: setup
	$(PY) bench/soak.py --calls $(SOAK_CALLS)

clean:
	rm -rf build .venv .venv-asan .venv-fuzz data

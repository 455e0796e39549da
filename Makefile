# Set-up, tests and the demo. Every target installs what it needs on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
APT_PACKAGES := g++ libzmq3-dev cppzmq-dev libyaml-cpp-dev libgtest-dev
# The browser the console tests drive, with its WebDriver.
BROWSER_PACKAGES := chromium chromium-driver
# The editor the language server tests drive (Debian's Neovim, headless).
EDITOR_PACKAGES := neovim
# The MQTT broker the plant tests and the plant benchmark start on a loopback port.
BROKER_PACKAGES := mosquitto
BUILD_TOOLS := "scikit-build-core>=0.10" "nanobind>=2.4" ninja cmake
PYTEST_FLAGS ?= -q
# The sanitizer runtime must come first, and libstdc++ with it: Python itself does not link libstdc++, and
# ASan's C++ exception interceptor fails when that library arrives later with an extension module.
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so.6)

# `make mutate`: the modules mutated one small fault at a time, one a line as MODULE:TEST[,TEST...], where
# the tests are the fast in-process ones that cover the module (mutmut sees only what runs in its process).
# docs/performance.md lists the surviving mutants judged equivalent, with the reason for each.
MUTATE += vemo/lang/scriptbounds.py:tests/frontend/test_scriptbounds.py
MUTATE += vemo/lang/analysis.py:tests/frontend/test_analysis_rules.py,tests/run/test_feed.py
MUTATE += vemo/run/journal.py:tests/run/test_journal.py,tests/run/test_run_rules.py
MUTATE += vemo/run/states.py:tests/run/test_run_model.py,tests/run/test_run_rules.py
MUTATE += vemo/run/commands.py:tests/run/test_run_model.py,tests/run/test_run_rules.py
MUTATE += vemo/run/fold.py:tests/run/test_run_model.py,tests/run/test_run_rules.py,tests/console/test_console_view.py,tests/run/test_operator_view.py
MUTATE += vemo/run/events.py:tests/run/test_journal.py,tests/run/test_run_model.py,tests/run/test_run_rules.py
MUTATE += vemo/run/feed.py:tests/run/test_feed.py
MUTATE += vemo/util/streams.py:tests/run/test_output_pump.py
# The target fails below this share of mutants killed (%).
MUTATE_FAIL_UNDER ?= 90

.PHONY: all deps install dev test cpptest demo bench asan tsan mutate clean

all: test

# Debian packages, installed only when one is missing.
define apt_install
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@mkdir -p build && touch $@
endef

build/.apt-stamp:
	$(call apt_install,$(APT_PACKAGES))

build/.browser-stamp:
	$(call apt_install,$(BROWSER_PACKAGES))

build/.editor-stamp:
	$(call apt_install,$(EDITOR_PACKAGES))
build/.broker-stamp:
	$(call apt_install,$(BROKER_PACKAGES))

$(VENV)/.stamp: pyproject.toml
	python3 -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(BUILD_TOOLS)
	touch $@

deps: build/.apt-stamp $(VENV)/.stamp

# The package as users get it: extension modules, the vemo package and the stubs, with the dependencies
# pyproject.toml names (the test extras too).
install: deps
	$(PIP) install -q --no-build-isolation ".[test]"

# A build tree for development: PYTHONPATH=build/dev/python:. runs the tests against it.
dev: deps
	$(VENV)/bin/cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build build/dev

cpptest: deps
	$(VENV)/bin/cmake -S . -B build/cpptest -G Ninja -DVEMO_PYTHON_MODULES=OFF -DVEMO_CPP_TESTS=ON
	$(VENV)/bin/cmake --build build/cpptest
	$(VENV)/bin/ctest --test-dir build/cpptest --output-on-failure

test: install cpptest build/.browser-stamp build/.editor-stamp build/.broker-stamp
	$(PY) -m pytest $(PYTEST_FLAGS)

demo: install
	$(VENV)/bin/vemo run examples/pick_place.vemo --speed 4 --console 127.0.0.1:0 --timeline build/demo/timeline.html --trace build/demo/trace.json
	$(VENV)/bin/vemo run examples/pick_sense.vemo --cell examples/sensing_cell.yaml --speed 4 --timeline build/demo/sensing.html

bench: install build/.broker-stamp
	@for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# The test suite on a build with AddressSanitizer and UndefinedBehaviorSanitizer. Python's own allocator
# is bypassed, so that a read of a freed Python object (an Event, say) is seen, not hidden in an arena.
asan: install
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DVEMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	$(VENV)/bin/cmake --build build/asan
	PYTHONPATH=build/asan/python:. LD_PRELOAD="$(ASAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(PY) -m pytest $(PYTEST_FLAGS) -p no:cacheprovider

# The C++ unit tests of the handler core and the simulator with ThreadSanitizer; any report fails them.
tsan: deps
	$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DVEMO_PYTHON_MODULES=OFF -DVEMO_CPP_TESTS=ON -DVEMO_SANITIZE_THREAD=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(VENV)/bin/cmake --build build/tsan
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(abspath handler/tests/tsan.supp)" \
	  $(VENV)/bin/ctest --test-dir build/tsan --output-on-failure

# Mutation check of the modules in MUTATE: prints the score and each mutant that survived, with its change.
mutate: install
	$(PY) tests/mutate.py --fail-under $(MUTATE_FAIL_UNDER) $(MUTATE)

clean:
	rm -rf build

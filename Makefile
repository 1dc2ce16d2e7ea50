# make demo   - the main job: a probe run on the stand-in panel, inside the sandbox
# make test   - every test, inside the sandbox
# Both set up everything they need on a fresh machine and reuse the build on a second run.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml
SANDBOX := tools/sandbox
CXX_SOURCES := $(wildcard src/host/*.[ch]pp src/start_boce/*.[ch]pp tests/cpp/*.cpp)
# Warnings are errors in every build these commands make.
export START_BOCE_WERROR := ON

PYTHON_VERSIONS := 3.9 3.10 3.11 3.12 3.13

.PHONY: demo test test-asan test-pythons wheel lint bench system-packages module text-tests clean

demo: module
	$(SANDBOX) $(PY) tools/demo.py

test: module text-tests
	$(SANDBOX) $(PY) -m pytest
ifdef CI
	$(MAKE) lint test-asan test-pythons
endif

# The whole suite with every CPython from 3.9 to 3.13, each in its own environment.
test-pythons: $(VENV)/.smtp
	tools/pythons test $(PYTHON_VERSIONS)

# One wheel per interpreter in dist/, each installed into a fresh environment and imported.
wheel: $(VENV)/.system-packages
	tools/pythons wheel $(PYTHON_VERSIONS)

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
test-asan: module
	tools/test-sanitized

# Formatting and static checks of the C++ sources.
lint: $(VENV)/.lint-tools module
	clang-format --dry-run --Werror $(CXX_SOURCES)
	cmake -S . -B build/lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE=$(PY) \
	    -Dpybind11_DIR=$$($(PY) -c "import pybind11; print(pybind11.get_cmake_dir())") >/dev/null
	clang-tidy --quiet -p build/lint $(wildcard src/host/*.cpp src/start_boce/*.cpp)
$(VENV)/.lint-tools: tools/ensure-system-packages
	tools/ensure-system-packages clang-format clang-tidy
	@mkdir -p $(VENV) && touch $@

# The benchmark of the module's own work (figures to read, not a pass/fail test).
bench: module
	$(SANDBOX) $(PY) bench/bench.py

# Debian packages: installed when missing (as root), otherwise named.
system-packages: $(VENV)/.system-packages
$(VENV)/.system-packages: tools/ensure-system-packages
	tools/ensure-system-packages bubblewrap iproute2 util-linux
	@mkdir -p $(VENV) && touch $@

$(VENV)/.requirements: requirements-dev.txt | $(VENV)/.system-packages
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

# The local SMTP server's own environment.
$(VENV)/.smtp: requirements-smtp.txt | $(VENV)/.requirements
	$(PYTHON) -m venv .venv-smtp
	.venv-smtp/bin/python -m pip install --quiet --disable-pip-version-check -r requirements-smtp.txt
	touch $@

# The module, built and installed into the project's environment; CMake's build directory is
# kept, so only changed sources are recompiled.
module: $(VENV)/.module
$(VENV)/.module: $(VENV)/.requirements $(VENV)/.smtp $(SOURCES)
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .
	touch $@

# The pure text helpers, tested as plain C++.
text-tests: build/text_test
	build/text_test
build/text_test: tests/cpp/text_test.cpp src/start_boce/text.cpp src/start_boce/text.hpp
	@mkdir -p build
	$(CXX) -std=c++20 -Wall -Wextra -O1 -Isrc -o $@ tests/cpp/text_test.cpp src/start_boce/text.cpp

clean:
	rm -rf build dist $(VENV) .venvs .venv-smtp demo-out

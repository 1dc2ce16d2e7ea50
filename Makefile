# make demo   - the main job: a probe run on the stand-in panel, inside the sandbox
# make test   - every test, inside the sandbox (make test-plugin, test-network, test-system: a part)
# Both set up everything they need on a fresh machine and reuse the build on a second run.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
# The probe network's package; the module's build reads its wire contract too.
DISPATCH_SOURCES := $(shell find boce_dispatch/src -name '*.py' -o -name '*.json') \
    boce_dispatch/pyproject.toml
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml tools/packaging/build_version.py \
    boce_dispatch/src/boce_dispatch/wire.json
SANDBOX := tools/sandbox
CXX_SOURCES := $(wildcard src/host/*.[ch]pp src/start_boce/*.[ch]pp tests/cpp/*.cpp)
PYTHON_SOURCES := panel boce_dispatch tools tests bench src/start_boce/start_boce.pyi
DEV_BUILD := build/dev
# make's own CMake build directory per interpreter: its settings (warnings as errors) differ from
# a plain `pip install .`, which keeps build/<wheel tag>, so switching never rebuilds everything.
MAKE_BUILD_DIR := build/make/{wheel_tag}
export MAKE_BUILD_DIR
# Warnings are errors in every build these commands make.
export START_BOCE_WERROR := ON

PYTHON_VERSIONS := 3.7 3.8 3.9 3.10 3.11 3.12 3.13
# The machines the wheels are built for (make wheel WHEEL_ARCHES=x86_64 for one).
WHEEL_ARCHES ?= x86_64 aarch64
export WHEEL_ARCHES
# The emulated arm64 machine (tools/packaging/arm64): Debian's arm64 CPython 3.11 under qemu-user.
ARM64 := build/arm64
# The isolated build's packages for the test of a plain `pip install .` (see below).
OFFLINE := build/offline
WHEELHOUSE := build/wheelhouse

# The dispatch center's host name the module is built for (make wheel DISPATCH_HOST=name); unset,
# the maker's center. The one variable reaches CMake, the version label, the sandbox's hosts
# entry and with it the demo and the tests.
ifdef DISPATCH_HOST
export START_BOCE_DISPATCH_HOST := $(DISPATCH_HOST)
endif

.PHONY: help demo test test-plugin test-network test-system test-deploy test-asan test-pythons test-arm64 arm64-emulation wheel lint bench \
	bench-dispatch bench-scale network system-packages module text-tests clean FORCE

help:
	@echo "make demo            the main job: eight probe runs on the stand-in panel (first time ~1 min, then ~15 s)"
	@echo "make test            every test inside the sandbox (first time ~10 min, then ~8.5 min); CI also"
	@echo "                     runs lint, test-asan, test-pythons with the x86_64 wheels and test-arm64 (~30 min)"
	@echo "make test-plugin     the module's and the stand-in panel's tests (~2 min)"
	@echo "make test-network    the probe network's tests, most of them in one process (~2 min)"
	@echo "make test-system     the whole system as processes: installs, NATS lost, the demo, wheels"
	@echo "make test-deploy     deploy/install on a Debian 12 booted with systemd (as root; ~1 min)"
	@echo "make test-asan       the module's tests on an AddressSanitizer + UBSan build (~1 min)"
	@echo "make test-pythons    the module's tests with CPython 3.7 to 3.13, each in .venvs/3.X, on its"
	@echo "                     manylinux wheel, which lands in dist/ (~14 min)"
	@echo "make test-arm64      the module's tests on the cp311 aarch64 wheel, on an emulated arm64"
	@echo "                     CPython 3.11 (~5 min)"
	@echo "make wheel           manylinux2014 wheels for CPython 3.7 to 3.13, x86_64 and aarch64, in"
	@echo "                     dist/, each checked (~25 min; WHEEL_ARCHES=x86_64 for one machine)"
	@echo "make lint            clang-format, clang-tidy and ruff (~2 min)"
	@echo "make bench           the module's own work beside a plain-Python reference (~1 min)"
	@echo "make bench-dispatch  the probe network under load and beside blackbox_exporter, with"
	@echo "                     its targets (~2 min)"
	@echo "make bench-scale     the center with 1,000 and 10,000 simulated nodes, its targets (~10 min)"
	@echo "make network         the probe network on this machine until Ctrl-C (PORT=8080 AGENTS=3"
	@echo "                     ALLOW_PRIVATE=1 to let agents fetch loopback and private addresses)"
	@echo "make clean           removes everything the targets made"
	@echo "One test file:       tools/sandbox .venv/bin/python -m pytest tests/plugin/test_report.py"

demo: module $(VENV)/.smtp $(VENV)/.boce-dispatch
	$(SANDBOX) $(PY) -m tools.demo

# What each part of the suite needs built.
PLUGIN_NEEDS := module text-tests $(VENV)/.smtp $(VENV)/.boce-dispatch
SYSTEM_NEEDS := $(PLUGIN_NEEDS) $(OFFLINE)/.complete $(WHEELHOUSE)/.complete arm64-emulation
PYTEST := BOCE_ARM64_PYTHON=$(abspath $(ARM64))/python $(SANDBOX) $(PY) -m pytest

test: $(SYSTEM_NEEDS)
	$(PYTEST)
	$(MAKE) --no-print-directory test-deploy
ifdef CI
	@# Each part's time is printed after it, and all of them at the end.
	@for part in lint test-asan test-pythons test-arm64; do \
	    started=$$(date +%s); $(MAKE) --no-print-directory $$part || exit 1; \
	    echo "== $$part took $$(( $$(date +%s) - started )) s" | tee -a build/ci-times; \
	done; cat build/ci-times; rm -f build/ci-times
endif

test-plugin: $(PLUGIN_NEEDS)
	$(PYTEST) $(PYTEST_ARGS) tests/plugin tests/panel
test-network: $(VENV)/.boce-dispatch $(VENV)/.smtp
	$(PYTEST) $(PYTEST_ARGS) tests/dispatch
test-system: $(SYSTEM_NEEDS)
	$(PYTEST) $(PYTEST_ARGS) tests/system

# deploy/install on a fresh Debian 12 booted with systemd as PID 1 (systemd-nspawn, private
# network), as operators run it; as root, outside the sandbox, which it does not need: the
# booted machine has a root of its own. Its Debian root is made once (mmdebstrap) and kept.
DEBIAN_ROOT := build/debian12/root.tar
test-deploy: $(VENV)/.boce-dispatch $(WHEELHOUSE)/.complete
ifeq ($(shell id -u),0)
	$(MAKE) --no-print-directory $(DEBIAN_ROOT)
	BOCE_DEBIAN_ROOT=$(abspath $(DEBIAN_ROOT)) $(PY) -m pytest $(PYTEST_ARGS) \
	    tests/system/test_booted_units.py
else
	@echo "test-deploy: skipped, systemd-nspawn boots a machine only as root"
endif
# What the installer would fetch with apt-get is in the root already: the booted machine has
# no network.
$(DEBIAN_ROOT): tests/system/debian12-packages | $(VENV)/.system-packages
	@echo "== a Debian 12 root with systemd into $@ (about a minute the first time)"
	mkdir -p $(dir $@)
	mmdebstrap --quiet --variant=minbase --format=tar \
	    --include="$$(grep -v '^#' $< | tr '\n' ',')" bookworm $@.part
	mv $@.part $@

# The module's tests with every CPython from 3.7 to 3.13, each in its own environment, on the
# module's manylinux2014 x86_64 wheel for it, which lands in dist/, checked.
test-pythons: $(VENV)/.smtp $(VENV)/.boce-dispatch
	tools/packaging/pythons test $(PYTHON_VERSIONS)

# One manylinux2014 wheel per interpreter and machine in dist/, each checked (tools/packaging/pythons).
# The cp311 aarch64 wheel is built from Debian's arm64 headers, which tools/packaging/arm64 unpacks.
wheel: $(VENV)/.requirements $(if $(filter aarch64,$(WHEEL_ARCHES)),$(ARM64)/.root)
	tools/packaging/pythons wheel $(PYTHON_VERSIONS)
	@ls -1 dist/*.whl

# The plug-in's tests on an emulated arm64 machine, as an ARM panel runs the module: the cp311
# aarch64 wheel installed into Debian's arm64 CPython 3.11, inside the sandbox. The services the
# tests start run on this machine's interpreter.
test-arm64: arm64-emulation $(VENV)/.smtp $(VENV)/.boce-dispatch
	rm -rf $(ARM64)/dist
	tools/packaging/wheel $(PY) $(ARM64)/dist aarch64
	tools/packaging/arm64 install $(ARM64) $(ARM64)/dist/start_boce-*-cp311-*.whl
	BOCE_SERVICE_PYTHON=$(abspath $(PY)) HYPOTHESIS_PROFILE=slow-machine \
	    $(SANDBOX) $(ARM64)/python -m pytest -q -p no:cacheprovider tests/plugin

# Debian's arm64 CPython 3.11 and its headers, unpacked; an environment of it with the tests'
# and the probe network's packages; the kernel told to run aarch64 programs through qemu.
arm64-emulation: $(ARM64)/.venv
	tools/packaging/arm64 register
$(ARM64)/.root: tools/packaging/arm64 | $(VENV)/.system-packages
	@echo "== Debian's arm64 CPython 3.11 into $(ARM64)/root (some seconds)"
	tools/packaging/arm64 root $(ARM64)
	touch $@
$(ARM64)/.venv: $(ARM64)/.root requirements-dev.txt $(DISPATCH_SOURCES) \
		| $(VENV)/.requirements
	@echo "== its environment, $(ARM64)/venv, with the aarch64 wheels of the pinned packages"
	tools/packaging/arm64 register
	tools/packaging/arm64 venv $(ARM64)
	touch $@

# The module's tests against an AddressSanitizer + UndefinedBehaviorSanitizer build (the rest
# of the suite is Python the sanitizers do not see).
test-asan: module $(VENV)/.smtp $(VENV)/.boce-dispatch
	tools/test-sanitized tests/plugin

# Formatting and static checks of the C++ sources, and ruff over the Python.
lint: $(VENV)/.lint-tools $(DEV_BUILD)/CMakeCache.txt
	@echo "== lint: clang-format, then clang-tidy (about 2 minutes), then ruff"
	clang-format --dry-run --Werror $(CXX_SOURCES)
	@# clang-tidy reads GCC's commands, less the one GCC flag clang does not know.
	mkdir -p $(DEV_BUILD)/tidy
	sed 's/ -fno-gnu-unique//' $(DEV_BUILD)/compile_commands.json >$(DEV_BUILD)/tidy/compile_commands.json
	@# Only findings show: clang-tidy's "N warnings generated" lines count system headers.
	status=0; clang-tidy --quiet -p $(DEV_BUILD)/tidy $(wildcard src/host/*.cpp src/start_boce/*.cpp) \
	    2>$(DEV_BUILD)/clang-tidy.err || status=$$?; \
	    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$$' $(DEV_BUILD)/clang-tidy.err; \
	    exit $$status
	$(VENV)/bin/ruff check $(PYTHON_SOURCES)
RUFF_VERSION := 0.17.6
$(VENV)/.lint-tools: tools/ensure-system-packages Makefile | $(VENV)/.requirements
	tools/ensure-system-packages clang-format clang-tidy
	$(PY) -m pip install --quiet --disable-pip-version-check ruff==$(RUFF_VERSION)
	touch $@

# The benchmark of the module's own work (figures to read, not a pass/fail test).
bench: module
	$(SANDBOX) $(PY) -m bench.bench

# The probe network under load: a thousand simulated agents, 2,000 unfinished request heads,
# bursts of panels against ten real agents, then the vantage point's CPU beside Debian's
# blackbox_exporter's.
bench-dispatch: $(VENV)/.boce-dispatch
	tools/ensure-system-packages prometheus-blackbox-exporter
	$(SANDBOX) $(PY) -m bench.bench_dispatch

# The center at scale: 1,000 and 10,000 simulated nodes (the agent's own code, its fetch a fixed
# record) on one NATS server and on a cluster of three, with its targets.
bench-scale: $(VENV)/.boce-dispatch
	$(SANDBOX) $(PY) -m bench.bench_scale

# The whole probe network on this machine for trying it, until Ctrl-C: nats-server, the center
# on 127.0.0.1:$(PORT) and $(AGENTS) agents, which fetch loopback and private addresses only with
# ALLOW_PRIVATE=1.
PORT ?= 8080
AGENTS ?= 3
network: $(VENV)/.boce-dispatch
	$(PY) -m tools.lab.network --port $(PORT) --agents $(AGENTS) $(if $(ALLOW_PRIVATE),--allow-private)

# Debian packages: installed when missing (as root), otherwise named.
system-packages: $(VENV)/.system-packages
$(VENV)/.system-packages: tools/ensure-system-packages Makefile
	@echo "== Debian packages: bubblewrap, iproute2, util-linux, sqlite3, nats-server, openssl, nftables, faketime, nginx, prometheus (promtool), slowhttptest, fakeroot, python3-venv, systemd, systemd-container, mmdebstrap (when missing)"
	tools/ensure-system-packages bubblewrap iproute2 util-linux sqlite3 nats-server openssl \
	    nftables faketime nginx prometheus slowhttptest fakeroot python3-venv systemd \
	    systemd-container mmdebstrap
	@mkdir -p $(VENV) && touch $@

$(VENV)/.requirements: requirements-dev.txt | $(VENV)/.system-packages
	@echo "== .venv with the pinned packages of requirements-dev.txt (the first time: about a minute)"
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --disable-pip-version-check -r requirements-dev.txt
	touch $@

# What a plain `pip install .` fetches for its isolated build (the pins of requirements-dev.txt):
# the test of such a build runs in the sandbox, which has no network.
$(OFFLINE)/.complete: requirements-dev.txt Makefile | $(VENV)/.requirements
	@echo "== the isolated build's packages into $(OFFLINE) (some seconds)"
	grep -E '^(scikit-build-core|packaging|pathspec|ninja)==' requirements-dev.txt \
	    >$(OFFLINE).txt
	$(PY) -m pip download --quiet --disable-pip-version-check --no-deps --dest $(OFFLINE) \
	    -r $(OFFLINE).txt
	$(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])' >$(OFFLINE)/python
	touch $@

# The probe network's packages as wheels for Debian's python3, with the build's setuptools: the
# test of deploy/install runs it in the sandbox, which has no network (install --wheels).
$(WHEELHOUSE)/.complete: requirements-dev.txt boce_dispatch/pyproject.toml | $(VENV)/.requirements
	@echo "== the probe network's wheels into $(WHEELHOUSE) (some seconds)"
	$(PY) -m pip download --quiet --disable-pip-version-check --dest $(WHEELHOUSE) \
	    -c requirements-dev.txt "./boce_dispatch[agent,fast]" \
	    $$(sed -n 's/^ *"\(setuptools==[0-9.]*\); python_version >= .3\.9.",/\1/p' \
	    boce_dispatch/pyproject.toml)
	touch $@

# The local SMTP server's own environment.
$(VENV)/.smtp: requirements-smtp.txt | $(VENV)/.requirements
	@echo "== .venv-smtp for the local SMTP server (aiosmtpd; some seconds)"
	$(PYTHON) -m venv .venv-smtp
	.venv-smtp/bin/python -m pip install --quiet --disable-pip-version-check -r requirements-smtp.txt
	touch $@

# The probe network's own package, with the agents' extra, as an operator installs it.
$(VENV)/.boce-dispatch: $(VENV)/.requirements $(DISPATCH_SOURCES)
	@echo "== the probe network's package (boce_dispatch/) into .venv"
	$(PY) -m pip install --quiet --disable-pip-version-check --no-deps ./boce_dispatch
	touch $@

# The module, built and installed into the project's environment; CMake's build directory is
# kept, so only changed sources are recompiled.
module: $(VENV)/.module
$(VENV)/.module: $(VENV)/.requirements $(VENV)/.boce-dispatch-host $(SOURCES)
	@echo "== the module, built into .venv (the first time: about 2 minutes; then only what changed)"
	$(PY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
	    --config-settings=build-dir=$(MAKE_BUILD_DIR) .
	touch $@

# The host the module was last built for: another one rebuilds it.
$(VENV)/.boce-dispatch-host: FORCE | $(VENV)/.requirements
	@echo '$(DISPATCH_HOST)' | cmp -s - $@ || echo '$(DISPATCH_HOST)' >$@
FORCE:

# The CMake build outside the wheel: the pure text helpers' test (run by ctest) and the compile
# commands that clang-tidy reads.
$(DEV_BUILD)/CMakeCache.txt: CMakeLists.txt | $(VENV)/.requirements
	cmake -S . -B $(DEV_BUILD) $$($(PY) -m tools.packaging.build_version) -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	    -DSTART_BOCE_WERROR=ON \
	    -DPython_EXECUTABLE=$(PY) >/dev/null
text-tests: $(DEV_BUILD)/CMakeCache.txt
	cmake --build $(DEV_BUILD) --target text_test >/dev/null
	ctest --test-dir $(DEV_BUILD) --output-on-failure

clean:
	rm -rf build dist $(VENV) .venvs .venv-smtp demo-out demo-out.runs boce_dispatch/build \
	    boce_dispatch/src/*.egg-info .hypothesis .pytest_cache
	find . -name __pycache__ -type d -prune -exec rm -rf {} +

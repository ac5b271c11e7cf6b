# make test: install what is missing, build, install into .venv, run every test.
# make demo: the same set-up, then the main job on the bundled sample.

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp
BENCH_BUILD := build/bench
APT_PACKAGES := g++ pkg-config libasio-dev libgtest-dev libbenchmark-dev
PY_TOOLS := meson>=1.3.0 ninja>=1.11 pytest>=7.4 stim>=1.14 pymatching>=2.2 psutil>=5.9
INSTALL_STAMP := $(VENV)/.veskar-installed
TOOLS_STAMP := $(VENV)/.tools-installed
PACKAGE_INPUTS := $(shell find src python -type f 2>/dev/null) meson.build meson.options pyproject.toml

.PHONY: all test test-cpp test-python demo bench system-deps install clean

all: install

system-deps:
	@missing=$$(for p in $(APT_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "installing Debian packages:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(VPY):
	$(PYTHON) -m venv $(VENV)

$(TOOLS_STAMP): | $(VPY)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(foreach t,$(PY_TOOLS),'$(t)')
	touch $@

$(INSTALL_STAMP): $(PACKAGE_INPUTS) | $(TOOLS_STAMP) system-deps
	$(VPY) -m pip install -q '.[test]'
	touch $@

install: system-deps $(INSTALL_STAMP)

$(CPP_BUILD)/build.ninja: | $(TOOLS_STAMP) system-deps
	$(VENV)/bin/meson setup $(CPP_BUILD) -Dpython=false -Dtests=true -Dbenchmarks=false

test-cpp: system-deps $(CPP_BUILD)/build.ninja
	$(VENV)/bin/meson compile -C $(CPP_BUILD)
	$(VENV)/bin/meson test -C $(CPP_BUILD) --print-errorlogs

test-python: install
	$(VPY) -m pytest -q tests/python

test: test-cpp test-python

$(BENCH_BUILD)/build.ninja: | $(TOOLS_STAMP) system-deps
	$(VENV)/bin/meson setup $(BENCH_BUILD) -Dpython=false -Dtests=false -Dbenchmarks=true

bench: system-deps install $(BENCH_BUILD)/build.ninja
	$(VENV)/bin/meson compile -C $(BENCH_BUILD)
	@for b in $(BENCH_BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

demo: install
	$(VPY) -m veskar demo

clean:
	rm -rf build $(VENV)

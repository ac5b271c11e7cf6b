# make test: install what is missing, build, install into .venv, check the
#            layout and lint of every source and the length of every
#            function in src/, run every test.
# make format: lay out every C++ and Python source as the checks want it
#            (clang-format -i over src tests bench fuzz; ruff check --fix and
#            ruff format over python tests bench fuzz src tools). Run it
#            after a merge and commit what it changes.
# make function-lengths: the ten longest functions in src/; fails when one
#            is longer than 80 lines.
# make demo: the same set-up, then the main job on the bundled sample.

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp
BENCH_BUILD := build/bench
APT_PACKAGES := g++ pkg-config libasio-dev libgtest-dev libbenchmark-dev clang-format
PY_TOOLS := meson>=1.3.0 ninja>=1.11 pytest>=7.4 stim>=1.14 pymatching>=2.2 sinter>=1.14 psutil>=5.9 ruff>=0.4 mypy>=1.8
INSTALL_STAMP := $(VENV)/.veskar-installed
TOOLS_STAMP := $(VENV)/.tools-installed
PACKAGE_INPUTS := $(shell find src python -type f 2>/dev/null) meson.build meson.options pyproject.toml
# What the layout checks cover. The settings live in .clang-format and in
# pyproject.toml's [tool.ruff].
CPP_SOURCES = $(shell find src tests bench fuzz -name '*.cpp' -o -name '*.hpp')
PY_SOURCE_DIRS := python tests bench fuzz src tools

.PHONY: all test test-cpp test-python check-format format function-lengths demo bench system-deps install clean

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

# Remade when this file changes, so that a tool added to PY_TOOLS reaches an
# existing virtualenv.
$(TOOLS_STAMP): Makefile | $(VPY)
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

check-format: system-deps $(TOOLS_STAMP)
	@echo "clang-format --dry-run -Werror over src tests bench fuzz"
	@clang-format --dry-run -Werror $(CPP_SOURCES)
	$(VENV)/bin/ruff check $(PY_SOURCE_DIRS)
	$(VENV)/bin/ruff format --check $(PY_SOURCE_DIRS)

format: system-deps $(TOOLS_STAMP)
	@echo "clang-format -i over src tests bench fuzz"
	@clang-format -i $(CPP_SOURCES)
	$(VENV)/bin/ruff check --fix --exit-zero $(PY_SOURCE_DIRS)
	$(VENV)/bin/ruff format $(PY_SOURCE_DIRS)

test: check-format function-lengths test-cpp test-python

function-lengths:
	$(PYTHON) tools/function_lengths.py --limit 80 src

$(BENCH_BUILD)/build.ninja: | $(TOOLS_STAMP) system-deps
	$(VENV)/bin/meson setup $(BENCH_BUILD) -Dpython=false -Dtests=false -Dbenchmarks=true

bench: system-deps install $(BENCH_BUILD)/build.ninja
	$(VENV)/bin/meson compile -C $(BENCH_BUILD)
	@for b in $(BENCH_BUILD)/bench/*_bench; do echo "== $$b"; $$b; done

demo: install
	$(VPY) -m veskar demo

clean:
	rm -rf build $(VENV)

# ---------------------------------------------------------------------------
# Hardening: fuzzing and sanitizers. None of this is part of `make test`.
#
# make fuzz            builds the libFuzzer targets with clang and runs each
#                      for FUZZ_SECONDS (default 600), one after the other at
#                      low priority; any finding fails the target, its input
#                      lands in build/fuzz/findings/<target>/.
# make fuzz-coverage   replays each target's corpus (the seeds and what
#                      make fuzz found) through a coverage build and prints
#                      the line and branch coverage of the code it reaches.
# make test-sanitize   builds the C++ tests and the extension with
#                      AddressSanitizer and UndefinedBehaviorSanitizer and
#                      runs both suites (the Python one with the sanitizer
#                      runtime preloaded into the interpreter).
# make test-big        streams a 2 GB recording and checks that resident
#                      memory stays flat.

FUZZ_BUILD := build/fuzz
ASAN_BUILD := build/asan
FUZZ_SECONDS ?= 600
FUZZ_TARGETS := reader dem schema_json
# Clang 14 (Debian's default clang) cannot compile the core: libstdc++ 12
# offers std::expected only to compilers that announce C++20 concepts in full
# (__cpp_concepts >= 202002L), and clang 14 lacks the conditionally trivial
# special members it relies on. Clang 16 has them but still announces
# 201907L, so the fuzz build raises the macro to what libstdc++ checks for.
FUZZ_APT_PACKAGES := clang-16 libclang-rt-16-dev llvm-16
FUZZ_CXX := clang++-16
CLANG_CXX23_FLAGS := -U__cpp_concepts -D__cpp_concepts=202002L
FUZZ_CXXFLAGS := $(CLANG_CXX23_FLAGS) -fsanitize=fuzzer-no-link -fno-sanitize-recover=undefined -g
FUZZ_COV_BUILD := build/fuzz-cov
FUZZ_FLAGS := -timeout=30 -rss_limit_mb=2560 -print_final_stats=1
# Any report ends the run. allocator_may_return_null lets a failed malloc
# answer NULL, as the ordinary allocator does, for code that checks.
ASAN_RUN_OPTIONS := abort_on_error=1:allocator_may_return_null=1
UBSAN_RUN_OPTIONS := halt_on_error=1:print_stacktrace=1

.PHONY: fuzz fuzz-build fuzz-corpus fuzz-coverage fuzz-deps test-sanitize test-big

fuzz-deps:
	@missing=$$(for p in $(FUZZ_APT_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "installing Debian packages:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(FUZZ_BUILD)/build.ninja: | $(TOOLS_STAMP) system-deps fuzz-deps
	CXX=$(FUZZ_CXX) CXXFLAGS="$(FUZZ_CXXFLAGS)" $(VENV)/bin/meson setup $(FUZZ_BUILD) \
	    -Dpython=false -Dtests=false -Dbenchmarks=false -Dfuzz=true \
	    -Db_sanitize=address,undefined -Dbuildtype=debugoptimized -Db_ndebug=false

fuzz-build: system-deps fuzz-deps $(FUZZ_BUILD)/build.ninja
	nice -n 10 $(VENV)/bin/meson compile -C $(FUZZ_BUILD)

# Rewrites fuzz/corpus/ from the tests' TOLM writer and sample DEMs.
fuzz-corpus: install
	$(VPY) fuzz/make_corpus.py

fuzz: SHELL := /bin/bash
fuzz: fuzz-build
	@failed=""; \
	for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/findings/$$t; \
	    dict=""; [ -f fuzz/$$t.dict ] && dict="-dict=fuzz/$$t.dict"; \
	    echo "== $${t}_fuzz for $(FUZZ_SECONDS) s"; \
	    nice -n 10 $(FUZZ_BUILD)/fuzz/$${t}_fuzz $(FUZZ_FLAGS) $$dict -max_total_time=$(FUZZ_SECONDS) \
	        -artifact_prefix=$(FUZZ_BUILD)/findings/$$t/ $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t \
	        2>&1 | tee $(FUZZ_BUILD)/$$t.log | grep -E '^#[0-9]+\s+(INITED|DONE)|^(stat::|==[0-9]+==ERROR|SUMMARY|artifact_prefix|invariant broken)'; \
	    [ $${PIPESTATUS[0]} -eq 0 ] || failed="$$failed $$t"; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzz findings in:$$failed (inputs in $(FUZZ_BUILD)/findings/)"; exit 1; fi

$(FUZZ_COV_BUILD)/build.ninja: | $(TOOLS_STAMP) system-deps fuzz-deps
	# Meson runs a test program with these flags; its profile goes to /dev/null.
	CXX=$(FUZZ_CXX) CXXFLAGS="$(CLANG_CXX23_FLAGS) -fprofile-instr-generate -fcoverage-mapping" \
	    LDFLAGS="-fprofile-instr-generate" LLVM_PROFILE_FILE=/dev/null $(VENV)/bin/meson setup $(FUZZ_COV_BUILD) \
	    -Dpython=false -Dtests=true -Dbenchmarks=false -Dbuildtype=debug

fuzz-coverage: fuzz-deps $(FUZZ_COV_BUILD)/build.ninja
	nice -n 10 $(VENV)/bin/meson compile -C $(FUZZ_COV_BUILD) $(foreach t,$(FUZZ_TARGETS),fuzz/$(t)_fuzz_replay)
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	    LLVM_PROFILE_FILE=$(FUZZ_COV_BUILD)/$$t.profraw nice -n 10 $(FUZZ_COV_BUILD)/fuzz/$${t}_fuzz_replay \
	        $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t 2>/dev/null || exit 1; \
	    llvm-profdata-16 merge -o $(FUZZ_COV_BUILD)/$$t.profdata $(FUZZ_COV_BUILD)/$$t.profraw; \
	    echo "== $$t ($$(find $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t -type f | wc -l) inputs)"; \
	    llvm-cov-16 report $(FUZZ_COV_BUILD)/fuzz/$${t}_fuzz_replay -instr-profile=$(FUZZ_COV_BUILD)/$$t.profdata \
	        src/veskar | grep -E '^(Filename|([a-z]+/)?[a-z_0-9]+\.cpp |TOTAL)' || true; \
	done

$(ASAN_BUILD)/build.ninja: | $(TOOLS_STAMP) system-deps
	$(VENV)/bin/meson setup $(ASAN_BUILD) -Dpython=true -Dtests=true -Dbenchmarks=false \
	    -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized -Db_ndebug=false

# The extension is loaded from the sanitizer build (put first on PYTHONPATH,
# beside the sources of the veskar package) into an uninstrumented
# interpreter, so the ASan runtime must be preloaded; the interpreter's own
# allocations are not ours to check for leaks, the C++ tests check the core's.
test-sanitize: system-deps install $(ASAN_BUILD)/build.ninja
	nice -n 10 $(VENV)/bin/meson compile -C $(ASAN_BUILD)
	ASAN_OPTIONS=$(ASAN_RUN_OPTIONS) UBSAN_OPTIONS=$(UBSAN_RUN_OPTIONS) \
	    nice -n 10 $(VENV)/bin/meson test -C $(ASAN_BUILD) --print-errorlogs
	ASAN_OPTIONS=detect_leaks=0:$(ASAN_RUN_OPTIONS) UBSAN_OPTIONS=$(UBSAN_RUN_OPTIONS) \
	    LD_PRELOAD=$$(g++ -print-file-name=libasan.so) PYTHONPATH=$(ASAN_BUILD)/src/veskar/py:python \
	    nice -n 10 $(VPY) -m pytest -q -p no:cacheprovider tests/python

test-big: install
	VESKAR_BIG_TESTS=1 $(VPY) -m pytest -q -s tests/python/test_resources.py -k big

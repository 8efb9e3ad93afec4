# Everything a newcomer needs: `make run` and `make test`. Both set up .venv on first use.
SHELL := /bin/bash
.DEFAULT_GOAL := help

VENV   := .venv
VPY    := $(VENV)/bin/python
NATIVE := build/native
SOURCES := $(wildcard engine/* sources/* module/* python/vorlenta/*.py) CMakeLists.txt pyproject.toml
# cmake, ninja and the project's tools come from .venv.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: help run test native-test pytest install gtest bench bench-native native-bench-build clean

help:
	@echo "make run    statistics and the first tokens of the bundled sample"
	@echo "make test   build everything, run the native tests and the Python tests"
	@echo "make bench  measure the speed against other tokenizers (writes bench/results/)"

# python3.13 on PATH when it runs (a pyenv shim without a selected version refuses), else pyenv's newest 3.13.
define find_python313
for p in "$$(command -v python3.13)" $$(ls -d "$$(pyenv root 2>/dev/null || echo "$$HOME/.pyenv")"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r); do \
  [ -n "$$p" ] && "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo "$$p"; break; }; \
done
endef

$(VENV)/.created:
	@py="$$($(find_python313))"; \
	if [ -z "$$py" ]; then \
	  echo "make: no Python 3.13 interpreter found. Install one as python3.13 on PATH (Debian/Ubuntu: apt-get install python3.13 python3.13-venv) or with pyenv (pyenv install 3.13)." >&2; \
	  exit 1; \
	fi; \
	echo "Creating $(VENV) with $$py"; \
	rm -rf $(VENV) && "$$py" -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	@touch $@

# Build, run and test dependencies and the Dask extra (its example has a test), read from
# pyproject.toml so the ranges live in one place.
$(VENV)/.deps: pyproject.toml $(VENV)/.created
	$(VPY) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb")); \
	  print("\n".join(p["build-system"]["requires"] + p["project"]["dependencies"] \
	  + p["project"]["optional-dependencies"]["test"] \
	  + p["project"]["optional-dependencies"]["dask"]))' > $(VENV)/requirements-dev.txt
	$(VPY) -m pip install -q -r $(VENV)/requirements-dev.txt "cmake>=3.20" ninja
	@touch $@

# No build isolation: the build folder and its tools stay the same, so a rebuild is incremental.
$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	@touch $@

install: $(VENV)/.installed

gtest:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { \
	  echo "Installing libgtest-dev"; \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq libgtest-dev; }

native-test: $(VENV)/.deps gtest
	cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLENTA_TESTS=ON > /dev/null
	cmake --build $(NATIVE)
	cd $(NATIVE) && ctest --output-on-failure --progress

pytest: $(VENV)/.installed
	$(VPY) -m pytest

test: native-test pytest

run: $(VENV)/.installed
	$(VENV)/bin/vorlenta stats --top 10 examples/sample.txt
	@echo
	$(VENV)/bin/vorlenta tokenize examples/sample.txt | head -n 12

# Benchmarks, run by hand. `make bench` measures the module against the tokenizers a user
# would pick instead (installed into .venv here) and writes bench/results/.
BENCH_PEERS := nltk razdel tokenizers spacy matplotlib
CORPUS := ../shared/corpus

native-bench-build: $(VENV)/.deps
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLENTA_BENCH=ON > /dev/null
	cmake --build build/bench

bench: $(VENV)/.installed native-bench-build
	$(VPY) -m pip install -q $(BENCH_PEERS)
	$(VPY) bench/run_bench.py

# Native throughput without Python: classification alone, the engine, the whole batch loop.
bench-native: native-bench-build
	build/bench/bench/native_bench $(CORPUS)/war_and_peace.ru.txt $(CORPUS)/pride_and_prejudice.en.txt

clean:
	rm -rf build $(VENV)

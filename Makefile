# Everything a newcomer needs: `make run` and `make test`. Both set up .venv on first use.
SHELL := /bin/bash
.DEFAULT_GOAL := help

VENV   := .venv
VPY    := $(VENV)/bin/python
NATIVE := build/native
SOURCES := $(wildcard engine/* sources/* module/* library/* bindings/* python/vorlenta/*.py python/vorlenta/*.pyi) \
	CMakeLists.txt pyproject.toml cxx/pyproject.toml
# cmake, ninja and the project's tools come from .venv.
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: help run test test-long native-test pytest install gtest sanitize sanitize-build \
	sanitize-tests other-pythons-build other-pythons-tests fuzz fuzz-build fuzz-run fuzz-tools \
	native-archives native-test-clang other-pythons wheels bench bench-native bench-callgrind native-bench-build clean docs

help:
	@echo "make run        statistics and the first tokens of the bundled sample"
	@echo "make test       build everything; run the native tests, the Python tests, the Python"
	@echo "                tests again under AddressSanitizer and UBSan, and a 30-second fuzz run;"
	@echo "                Hypothesis tries the same cases on every run"
	@echo "make sanitize   only the sanitizer build and its test run"
	@echo "make other-pythons  the library's and the command's tests under CPython $(OTHER_PYTHONS)"
	@echo "make native-test-clang  the native tests built with Clang, warnings as errors"
	@echo "make wheels     the wheels of both distributions for every CPython found, repaired into"
	@echo "                manylinux tags in dist/, and the sdists"
	@echo "make fuzz       only the fuzz run; FUZZ_SECONDS=600 for a longer one"
	@echo "make test-long  the model comparison with many more cases, new ones on every run"
	@echo "                (HYPOTHESIS_PROFILE=long), and a ten-minute fuzz run"
	@echo "make docs       build the documentation site into site/ (mkdocs build --strict: a broken"
	@echo "                link or reference fails it); the tests build it too"
	@echo "make bench      measure the speed against other tokenizers (writes bench/results/),"
	@echo "                and how often the encoding detector is right"

# CPython $(1) (3.13...): python$(1) on PATH when it runs (a pyenv shim without a selected version
# refuses), else pyenv's newest $(1); nothing when there is neither.
define find_python
for p in "$$(command -v python$(1))" $$(ls -d "$$(pyenv root 2>/dev/null || echo "$$HOME/.pyenv")"/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V -r); do \
  [ -n "$$p" ] && "$$p" -c 'import sys; assert "%d.%d" % sys.version_info[:2] == "$(1)"' 2>/dev/null && { echo "$$p"; break; }; \
done
endef

$(VENV)/.created:
	@py="$$($(call find_python,3.13))"; \
	if [ -z "$$py" ]; then \
	  echo "make: no Python 3.13 found (python3.13 on PATH, or a 3.13 among pyenv's versions)." >&2; \
	  echo "Debian 12 has no package of it (its python3 is 3.11): build one from source." >&2; \
	  echo "1. The build prerequisites, as root:" >&2; \
	  echo "     apt-get install build-essential curl git libssl-dev zlib1g-dev libbz2-dev \\" >&2; \
	  echo "       libreadline-dev libsqlite3-dev libncurses-dev libffi-dev liblzma-dev tk-dev xz-utils" >&2; \
	  echo "2. Then pyenv (make finds its versions without pyenv's shell set-up):" >&2; \
	  echo "     git clone https://github.com/pyenv/pyenv ~/.pyenv && ~/.pyenv/bin/pyenv install 3.13" >&2; \
	  echo "   or python.org's source release of 3.13, in its unpacked folder:" >&2; \
	  echo "     ./configure && make && make altinstall   (as root: /usr/local/bin/python3.13;" >&2; \
	  echo "     without root, ./configure --prefix=\$$HOME/.local and ~/.local/bin on PATH)" >&2; \
	  exit 1; \
	fi; \
	echo "Creating $(VENV) with $$py"; \
	rm -rf $(VENV) && "$$py" -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	@touch $@

# Build, run and test dependencies, the Dask, zstd, Arrow and scikit-learn extras (their tests
# need them), the release tools and the documentation's, read from pyproject.toml so the ranges
# live in one place.
$(VENV)/.deps: pyproject.toml $(VENV)/.created
	$(VPY) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb")); \
	  print("\n".join(p["build-system"]["requires"] + p["project"]["dependencies"] \
	  + p["project"]["optional-dependencies"]["test"] \
	  + p["project"]["optional-dependencies"]["dask"] \
	  + p["project"]["optional-dependencies"]["zstd"] \
	  + p["project"]["optional-dependencies"]["arrow"] \
	  + p["project"]["optional-dependencies"]["sklearn"] \
	  + p["dependency-groups"]["release"] \
	  + p["dependency-groups"]["docs"]))' > $(VENV)/requirements-dev.txt
	$(VPY) -m pip install -q -r $(VENV)/requirements-dev.txt "cmake>=3.20" ninja
	@touch $@

# Both distributions: vorlenta (the root) and vorlentaCXX (cxx/), linked with the native build's
# engine and library archives (the same sources, compiler and flags), each in a build folder of
# its own that a plain pip install never reuses. No build isolation: the build folders and their
# tools stay the same, so a rebuild is incremental. The packaging tests build both from their
# sdists alone.
$(VENV)/.installed: $(VENV)/.deps $(SOURCES) $(NATIVE)/libvorlenta_library.a
	# vorlentaCXX first: where it replaces a vorlentaCXX of the time it held the vorlenta package
	# too, removing that one removes the package, which vorlenta's install then puts back.
	$(VPY) -m pip install -q --no-build-isolation --no-deps -C build-dir=$(CURDIR)/build/installed-cxx/{wheel_tag} \
	  -C cmake.define.VORLENTA_ARCHIVES=$(CURDIR)/$(NATIVE) ./cxx
	$(VPY) -m pip install -q --no-build-isolation --no-deps -C build-dir=$(CURDIR)/build/installed/{wheel_tag} \
	  -C cmake.define.VORLENTA_ARCHIVES=$(CURDIR)/$(NATIVE) .
	@touch $@

install: $(VENV)/.installed

# The native build's engine and library archives, which the installed modules and the builds for
# the other CPythons link. Ninja leaves them as they are when their sources have not changed.
$(NATIVE)/libvorlenta_library.a: $(VENV)/.deps $(SOURCES) | gtest
	cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLENTA_TESTS=ON > /dev/null
	cmake --build $(NATIVE) --target vorlenta_library

# Installs the Debian packages $(1), which $(2) needs: with apt-get as root, else through sudo;
# where neither can, says what to install and stops.
define apt_install
if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
  echo "Installing $(1)"; apt-get update -qq && apt-get install -y -qq $(1); \
elif command -v sudo >/dev/null && command -v apt-get >/dev/null; then \
  echo "Installing $(1) with sudo"; sudo apt-get update -qq && sudo apt-get install -y -qq $(1); \
else \
  echo "make: for $(2), install the Debian package(s) $(1) as root (apt-get install $(1))," \
    "then run make again: this user is not root and has no sudo, or there is no apt-get." >&2; \
  exit 1; \
fi
endef

gtest:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { $(call apt_install,libgtest-dev,the native tests); }

native-test: native-archives
	cmake --build $(NATIVE)
	cd $(NATIVE) && ctest --output-on-failure --progress

native-archives: $(NATIVE)/libvorlenta_library.a

# The native tests built with Clang, every warning an error: the build is not tied to GCC.
native-test-clang: $(VENV)/.deps gtest fuzz-tools
	cmake -S . -B build/native-clang -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
	  -DVORLENTA_TESTS=ON -DCMAKE_COMPILE_WARNING_AS_ERROR=ON > /dev/null
	cmake --build build/native-clang
	cd build/native-clang && ctest --output-on-failure --progress

pytest: $(VENV)/.installed
	$(VPY) -m pytest

# The builds first, two at a time (each on both cores: two keep the cores busy where one waits on
# pip or on the linker); then the test runs that take a core each, side by side: the plain
# pytest run on one core, and on the other the fuzz run (one job), the sanitizer's run and the
# other CPythons'. Their output is printed once all have ended, the plain run's last, so that
# its summary closes the output.
test:
	@$(MAKE) --no-print-directory -j2 native-test fuzz-build sanitize-build other-pythons-build install
	@echo "Running the Python tests: the plain run, and beside it the fuzz run, the sanitizer's and the other CPythons'"
	@( $(MAKE) --no-print-directory fuzz-run FUZZ_JOBS=1 > $(FUZZ)/run.log 2>&1; echo $$? > $(FUZZ)/run.status; \
	   $(MAKE) --no-print-directory sanitize-tests > $(SAN)/run.log 2>&1; echo $$? > $(SAN)/run.status; \
	   $(MAKE) --no-print-directory other-pythons-tests > build/other-pythons.log 2>&1; \
	   echo $$? > build/other-pythons.status ) & \
	$(VPY) -m pytest > build/pytest.log 2>&1; echo $$? > build/pytest.status; wait; \
	echo "--- the fuzz run"; cat $(FUZZ)/run.log; \
	echo "--- the sanitizer build's run"; cat $(SAN)/run.log; \
	echo "--- the other CPythons"; cat build/other-pythons.log; \
	echo "--- the plain run"; cat build/pytest.log; \
	for f in $(FUZZ)/run.status $(SAN)/run.status build/other-pythons.status build/pytest.status; do \
	  [ "$$(cat $$f)" = 0 ] || exit 1; done

# The library's tests and the command's under each other CPython: vorlenta built for each one in a
# virtual environment of its own (build/pyX.Y/venv), with the native build's engine, both builds
# at once; then both test runs at once, less the few tests marked cxx (they compare with
# vorlentaCXX, which is for 3.13 alone), with fewer Hypothesis cases. A version that is not found
# is named as skipped. The detector's own tests (tests/test_detect.py) share the bench's corpus
# code, which needs vorlentaCXX; --encoding auto is tested here through the command and the library.
OTHER_PYTHONS := 3.11 3.12 3.14
LIBRARY_TESTS := tests/test_library.py tests/test_library_sources.py tests/test_many_texts.py \
	tests/test_split_hyphens.py tests/test_cli.py tests/test_cli_output.py tests/test_datasets.py \
	tests/test_encoding_auto.py tests/test_streams.py tests/test_transformed_inputs.py \
	tests/test_jobs.py tests/test_json_lines.py tests/test_arrow_columns.py
other-pythons: other-pythons-build
	@$(MAKE) --no-print-directory other-pythons-tests

other-pythons-build: native-archives
	@$(MAKE) --no-print-directory -j2 $(addprefix build/py,$(addsuffix /.installed,$(OTHER_PYTHONS)))

other-pythons-tests:
	@for v in $(OTHER_PYTHONS); do \
	  if [ -e build/py$$v/absent ]; then continue; fi; \
	  ( HYPOTHESIS_PROFILE=other-pythons build/py$$v/venv/bin/python -m pytest -p no:cacheprovider \
	      -m "not cxx" $(LIBRARY_TESTS) > build/py$$v/pytest.log 2>&1; echo $$? > build/py$$v/pytest.status ) & \
	done; wait
	@status=0; for v in $(OTHER_PYTHONS); do \
	  if [ -e build/py$$v/absent ]; then echo "CPython $$v: skipped, not found (python$$v on PATH or among pyenv's versions)"; continue; fi; \
	  if [ "$$(cat build/py$$v/pytest.status)" = 0 ]; then echo "CPython $$v: $$(tail -n 1 build/py$$v/pytest.log)"; \
	  else cat build/py$$v/pytest.log; echo "CPython $$v: the tests failed (build/py$$v/pytest.log)" >&2; status=1; fi; \
	done; exit $$status

# One version's environment, with what building and testing vorlenta needs; a version not found
# leaves build/pyX.Y/absent.
build/py%/.env: pyproject.toml $(VENV)/.deps
	@mkdir -p build/py$* && rm -f build/py$*/absent
	@py="$$($(call find_python,$*))"; \
	if [ -z "$$py" ]; then touch build/py$*/absent; exit 0; fi; \
	echo "Preparing build/py$*/venv with $$py"; \
	{ [ -x build/py$*/venv/bin/python ] || "$$py" -m venv build/py$*/venv; } && \
	$(VPY) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb")); \
	  print("\n".join(p["build-system"]["requires"] + p["project"]["dependencies"] \
	  + p["dependency-groups"]["other-pythons"]))' > build/py$*/requirements.txt && \
	build/py$*/venv/bin/python -m pip install -q -r build/py$*/requirements.txt > build/py$*/env.log 2>&1 || \
	{ cat build/py$*/env.log; echo "make: preparing build/py$*/venv failed" >&2; exit 1; }
	@[ -e build/py$*/absent ] || touch $@

# One version's build, its log in build/pyX.Y/build.log, in a folder of its own: one that links
# the native tests' archives is never the one a plain pip install reuses. The two builds run side
# by side, one compiler each.
# The bindings built only to be tested (here, and the packaging test's wheels) at -O1: the code
# is the same, its build a third shorter. The archives they link stay at -O3.
TEST_BUILD_FLAGS := cmake.define.CMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG
export TEST_BUILD_FLAGS

build/py%/.installed: build/py%/.env $(SOURCES) $(NATIVE)/libvorlenta_library.a
	@[ -e build/py$*/absent ] || { echo "Building vorlenta for CPython $*"; \
	env -u MAKEFLAGS CMAKE_BUILD_PARALLEL_LEVEL=1 build/py$*/venv/bin/python -m pip install -v \
	  --no-build-isolation --no-deps -C build-dir=$(CURDIR)/build/py$*/build \
	  -C cmake.define.VORLENTA_ARCHIVES=$(CURDIR)/$(NATIVE) -C "$(TEST_BUILD_FLAGS)" . > build/py$*/build.log 2>&1 || \
	{ cat build/py$*/build.log; echo "make: building vorlenta for CPython $* failed" >&2; exit 1; }; \
	touch $@; }

test-long: $(VENV)/.installed
	HYPOTHESIS_PROFILE=long $(VPY) -m pytest tests/test_oracle.py --hypothesis-show-statistics
	$(MAKE) fuzz FUZZ_SECONDS=600

# The extension built with AddressSanitizer and UBSan, and the Python tests run against it. The
# interpreter is not instrumented, so the sanitizer runtime (with the C++ runtime, whose
# exceptions it intercepts) is preloaded; the interpreter's own allocations at exit are not ours
# to report. Tests that measure memory or limit the address space need the plain build.
# Reports go to build/sanitize/report.*, printed after the run without the warnings that every
# expected MemoryError leaves there.
SAN     := build/sanitize
# Every test file runs under the sanitizers except these, which test something other than the
# sanitized build loaded in this process:
# - the command's tests and the Dask tests start the installed command or worker processes,
#   which are not the sanitized build (tests elsewhere marked `installed` are deselected for it);
# - the packaging and stub tests check the installed distribution and its files;
# - the README test runs the commands of the README and of docs/, the command among them.
SAN_EXCLUDED := tests/test_cli.py tests/test_cli_output.py tests/test_datasets.py tests/test_dask.py \
	tests/test_encoding_auto.py tests/test_transformed_inputs.py tests/test_packaging.py \
	tests/test_stubs.py tests/test_readme.py
SAN_TESTS := $(filter-out $(SAN_EXCLUDED),$(wildcard tests/test_*.py))
SAN_CXX ?= g++
# Large shadow regions are cleared in place instead of handed back to the kernel: every tokenizer
# frees a 32 MiB buffer, and faulting its shadow back in made each one cost milliseconds.
ASAN_COMMON := clear_shadow_mmap_threshold=1073741824
SAN_ENV = PYTHONPATH=$(CURDIR)/$(SAN) PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=sanitize \
	LD_PRELOAD="$$($(SAN_CXX) -print-file-name=libasan.so) $$($(SAN_CXX) -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:$(ASAN_COMMON):log_path=$(CURDIR)/$(SAN)/report \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(SAN)/report

sanitize: sanitize-build
	@$(MAKE) --no-print-directory sanitize-tests

# At -O1, as sanitizers are usually built: instrumented pybind11 code takes minutes to optimise
# further, and the tests it runs gain little from it.
sanitize-build: $(VENV)/.deps
	cmake -S . -B $(SAN) -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG" \
	  -DCMAKE_CXX_COMPILER=$(SAN_CXX) \
	  -DVORLENTA_MODULE=ON -DVORLENTA_SANITIZE=ON -DPython_EXECUTABLE=$(CURDIR)/$(VPY) \
	  -Dpybind11_DIR="$$($(VPY) -m pybind11 --cmakedir)" > /dev/null
	cmake --build $(SAN)
	# The library's package, its Python files beside its sanitized native module.
	ln -sf $(CURDIR)/python/vorlenta/*.py $(CURDIR)/python/vorlenta/py.typed $(SAN)/vorlenta/
	$(SAN_ENV) $(VPY) -c 'import sys, vorlentaCXX as vx, vorlenta._native as vn; \
	  bad = [m.__file__ for m in (vx, vn) if "/$(SAN)/" not in m.__file__]; \
	  sys.exit("not the sanitizer build: " + ", ".join(bad) if bad else None)'

sanitize-tests:
	rm -f $(SAN)/report.*
	@$(SAN_ENV) $(VPY) -m pytest -p no:cacheprovider -m "not plain_build and not installed" -q $(SAN_TESTS); status=$$?; \
	cat $(SAN)/report.* 2>/dev/null | grep -v "WARNING: AddressSanitizer failed to allocate"; \
	exit $$status

# The libFuzzer target with AddressSanitizer and UBSan, from seeds the project writes itself.
# The corpus it grows stays in build/fuzz/corpus for the next run.
FUZZ         := build/fuzz
FUZZ_SECONDS ?= 30
FUZZ_JOBS    ?= 2
# After gtest: the builds of make test run two at a time, and two apt-gets at once would fight
# over dpkg's lock.
fuzz-tools: | gtest
	@dpkg -s clang libclang-rt-dev >/dev/null 2>&1 || { \
	  $(call apt_install,clang libclang-rt-dev,the fuzz run); }

fuzz: fuzz-build
	@$(MAKE) --no-print-directory fuzz-run

fuzz-build: $(VENV)/.deps fuzz-tools
	cmake -S . -B $(FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
	  -DVORLENTA_FUZZ=ON > /dev/null
	cmake --build $(FUZZ)
	rm -rf $(FUZZ)/seeds && $(VPY) tests/fuzz/make_seeds.py $(FUZZ)/seeds
	mkdir -p $(FUZZ)/corpus

fuzz-run:
	@cd $(FUZZ) && echo "Fuzzing for $(FUZZ_SECONDS) s with $(FUZZ_JOBS) jobs (log: $(FUZZ)/fuzz.log)" && \
	ASAN_OPTIONS=$(ASAN_COMMON) ./batch_fuzz -fork=$(FUZZ_JOBS) -max_total_time=$(FUZZ_SECONDS) -max_len=1024 \
	  -dict=$(CURDIR)/tests/fuzz/batch_fuzz.dict \
	  -artifact_prefix=$(CURDIR)/$(FUZZ)/ corpus seeds > fuzz.log 2>&1; \
	status=$$?; grep -E "^#[0-9]+" fuzz.log | tail -1; \
	if [ $$status -ne 0 ]; then tail -60 fuzz.log; echo "fuzzing failed ($$status)" >&2; fi; \
	exit $$status

# Into dist/: the two sdists, and wheels for this machine repaired by auditwheel into the
# manylinux tags their symbols allow, each checked with `auditwheel show`: vorlenta for every
# CPython from 3.11 found (3.13 is .venv's), vorlentaCXX for 3.13. Each wheel is built from the
# sources alone, in a folder of its own. Other platforms' wheels, and those for the oldest
# manylinux, are cibuildwheel's (pyproject.toml, .github/workflows/release.yml).
WHEELS := build/wheels
wheels: $(VENV)/.deps $(addprefix build/py,$(addsuffix /.env,$(OTHER_PYTHONS)))
	rm -rf dist $(WHEELS)/raw && mkdir -p dist $(WHEELS)/raw
	$(VPY) -m build --sdist --no-isolation --outdir dist . > /dev/null
	$(VPY) -m build --sdist --no-isolation --outdir dist cxx > /dev/null
	@set -e; for v in $(sort 3.13 $(OTHER_PYTHONS)); do \
	  py=build/py$$v/venv/bin/python; [ $$v = 3.13 ] && py=$(VPY); \
	  if [ $$v != 3.13 ] && [ -e build/py$$v/absent ]; then echo "CPython $$v: skipped, not found"; continue; fi; \
	  echo "Building the vorlenta wheel for CPython $$v"; \
	  $$py -m pip wheel -q --no-build-isolation --no-deps -C build-dir=$(CURDIR)/$(WHEELS)/vorlenta-{wheel_tag} \
	    --wheel-dir $(WHEELS)/raw . ; \
	done
	@echo "Building the vorlentaCXX wheel for CPython 3.13"
	@$(VPY) -m pip wheel -q --no-build-isolation --no-deps -C build-dir=$(CURDIR)/$(WHEELS)/vorlentaCXX-{wheel_tag} \
	  --wheel-dir $(WHEELS)/raw ./cxx
	@set -e; for w in $(WHEELS)/raw/*.whl; do auditwheel repair --wheel-dir dist "$$w"; done
	@set -e; for w in dist/*.whl; do auditwheel show "$$w" | tr '\n' ' ' | sed -E 's/ +/ /g' | \
	  grep -o '^.* platform tag: "[^"]*"'; done
	@ls -l dist | awk 'NR > 1 { printf "%9d  %s\n", $$5, $$9 }'

# The site reads the package's sources and stubs for its API reference, not the built module, so
# it needs no native build.
docs: $(VENV)/.deps
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict

run: $(VENV)/.installed
	$(VENV)/bin/vorlenta stats --top 10 examples/sample.txt
	@echo
	$(VENV)/bin/vorlenta tokenize examples/sample.txt | head -n 12

# Benchmarks, run by hand. `make bench` measures the module against the tokenizers a user
# would pick instead (installed into .venv here) and writes bench/results/; then it prints how
# often the encoding detector is right, beside the detectors from PyPI it was chosen over.
BENCH_PEERS := nltk razdel tokenizers spacy matplotlib charset-normalizer chardet
# The corpus folder: VORLENTA_CORPUS, else the shared corpora beside the project, else the sample.
CORPUS := $(or $(VORLENTA_CORPUS),$(if $(wildcard ../shared/corpus),../shared/corpus,examples/corpus))

native-bench-build: $(VENV)/.deps
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORLENTA_BENCH=ON > /dev/null
	cmake --build build/bench

bench: $(VENV)/.installed native-bench-build
	$(VPY) -m pip install -q $(BENCH_PEERS)
	$(VPY) bench/run_bench.py
	$(VPY) bench/encoding_accuracy.py

# Native throughput without Python: classification alone, the engine, the whole batch loop.
bench-native: native-bench-build
	build/bench/bench/native_bench $(CORPUS)/war_and_peace.ru.txt $(CORPUS)/pride_and_prejudice.en.txt

clean:
	rm -rf build $(VENV)

# Instructions per input byte of each native pass under callgrind: steadier than timings on a
# shared machine. Each corpus file once, and our own Russian text repeated to 3 MB; the batch
# loop on each path of sources/scan_paths.txt (a path this CPU does not run gives the first
# listed one it does, and the line names the path taken). A path that needs an instruction set
# valgrind hides would fall back the same way under callgrind and be counted under its own name,
# so it is named as not measured instead: the list's last column says which paths those are.
# Each run is pass:path:what callgrind cannot run of it ("-": nothing).
SCAN_PATH_RUNS := $(shell awk '$$1 !~ /^\#/ && NF { print "batches:" $$1 ":" $$3 }' sources/scan_paths.txt)
bench-callgrind: native-bench-build
	@$(VPY) -c 'import pathlib, sys; t = pathlib.Path("bench/own_russian.txt").read_bytes(); \
	  pathlib.Path("build/bench/own_russian.txt").write_bytes(t * (3_000_000 // len(t)))'
	@for f in $(CORPUS)/war_and_peace.ru.txt $(CORPUS)/pride_and_prejudice.en.txt build/bench/own_russian.txt; do \
	  for run in engine:scalar:- $(SCAN_PATH_RUNS); do \
	    pass=$${run%%:*}; rest=$${run#*:}; path=$${rest%%:*}; hidden=$${rest#*:}; \
	    if [ "$$hidden" != - ]; then \
	      printf "%-28s %-8s %-7s not measured: callgrind cannot run %s (see make bench)\n" \
	        "$$(basename $$f)" $$pass $$path "$$hidden"; \
	      continue; \
	    fi; \
	    VORLENTA_SCAN_PATH=$$path valgrind --tool=callgrind --callgrind-out-file=/dev/null \
	      --toggle-collect="*$${pass%es}*_pass*" \
	      build/bench/bench/native_bench --mb 0 --reps 1 --pass $$pass $$f 2>&1 | \
	    awk -v f="$$(basename $$f)" -v pass=$$pass -v size=$$(stat -c %s $$f) \
	      '/^scan path:/ { path = $$3 } \
	       /Collected/ { printf "%-28s %-8s %-7s %6.1f instructions per byte\n", f, pass, path, $$4 / size }'; \
	  done; \
	done

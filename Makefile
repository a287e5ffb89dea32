# Every target sets up what it needs on a fresh machine: a Python 3.13 virtual environment in
# .venv, the build tools, and the package itself built from this tree.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BIN := $(VENV)/bin
SOURCES := $(shell find src stubs -type f) CMakeLists.txt pyproject.toml
PIP := -m pip install -q --disable-pip-version-check

.PHONY: demo test lint format test-cpp test-py system-deps bench bench-callgrind check-asan check-valgrind fuzz dist-check clean

# The sanitizer build lives in its own venv and build directory.
ASAN_VENV := .venv-asan
ASAN_ENV := LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc
FUZZ_SECONDS ?= 60

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: system-deps lint test-cpp test-py

CPP_SOURCES := $(shell find src tests/cpp -name '*.cpp' -o -name '*.hpp')
# C++ formatted as .clang-format says (`make format` applies it); Python checked by ruff (rules in
# pyproject.toml; the layout of the tests' tables is hand-made, so ruff's formatter is not used).
lint: $(VENV)/.created
	$(BIN)/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(BIN)/ruff check tests examples fuzz benchmarks tools

format: $(VENV)/.created
	$(BIN)/clang-format -i $(CPP_SOURCES)

test-py: $(VENV)/.installed
	$(PY) -m pytest -q

# Also compiles the module itself, with every warning an error.
test-cpp: $(VENV)/.created
	$(BIN)/cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	  -DTAVREL_PYTHON_MODULE=ON -DPython_EXECUTABLE=$(abspath $(PY)) -DTAVREL_CPP_TESTS=ON -DTAVREL_WERROR=ON >/dev/null
	$(BIN)/cmake --build build/cpp-tests
	$(BIN)/ctest --test-dir build/cpp-tests --output-on-failure -j2

system-deps:
	tools/system-deps.sh

# The benchmark's peers (orjson, curlify, requests) go into .venv beside the package.
# BENCH_ARGS passes options on, e.g. BENCH_ARGS="--rounds 11" or "--no-check".
BENCH_ARGS ?=
FLOORS := build/floors/.built
bench: $(VENV)/.installed $(VENV)/.bench-peers $(FLOORS)
	$(PY) benchmarks/bench.py $(BENCH_ARGS)

bench-callgrind: $(VENV)/.installed $(FLOORS)
	tools/system-deps.sh valgrind
	$(PY) benchmarks/callgrind.py

# The floors (benchmarks/floors/floors.c): a small C extension built against the venv's Python,
# found by the benchmark scripts in build/floors.
$(FLOORS): benchmarks/floors/floors.c $(VENV)/.created
	mkdir -p build/floors
	cc -O3 -Wall -Wextra -Werror -shared -fPIC \
	  -I"$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
	  -o build/floors/_floors"$$($(PY) -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')" $<
	touch $@

$(VENV)/.bench-peers: $(VENV)/.created benchmarks/requirements.txt
	$(PY) -m pip install -q --disable-pip-version-check -r benchmarks/requirements.txt
	touch $@

check-asan: system-deps $(ASAN_VENV)/.installed
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -X dev -m pytest -q -p no:cacheprovider

check-valgrind: $(VENV)/.installed
	tools/system-deps.sh valgrind
	PYTHONMALLOC=malloc valgrind -q --error-exitcode=1 --suppressions=tools/valgrind-python.supp \
	  $(PY) -m pytest -q -p no:cacheprovider tests/test_request.py tests/test_collection.py \
	  tests/test_export.py tests/test_command.py tests/test_http_method.py tests/test_binding.py

# libasan has no-op coverage hooks of its own; preloaded first, they would be the ones atheris
# reaches and the fuzzer would run without coverage feedback. So libFuzzer (from the archive
# atheris ships) is made a shared library and preloaded ahead of libasan.
fuzz: $(ASAN_VENV)/.installed
	mkdir -p build/fuzz
	g++ -shared -o build/fuzz/libfuzzer.so -Wl,--whole-archive \
	  "$$($(ASAN_VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/libclang_rt.fuzzer_no_main.a" \
	  -Wl,--no-whole-archive -lpthread
	for target in fuzz/fuzz_*.py; do \
	  name=$$(basename $$target .py); mkdir -p build/fuzz-corpus/$$name; \
	  LD_PRELOAD=$$PWD/build/fuzz/libfuzzer.so:$$(g++ -print-file-name=libasan.so) \
	  ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONMALLOC=malloc $(ASAN_VENV)/bin/python $$target build/fuzz-corpus/$$name fuzz/corpus/$$name \
	    -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096 -print_final_stats=1 \
	    -artifact_prefix=build/fuzz/$$name- || exit 1; \
	done

# The build tools and the test dependencies come from their one list each in pyproject.toml.
# Builds the sdist and the wheel as a user's `python -m build` would (isolated, from PyPI), gives
# the wheel the manylinux tag it qualifies for (auditwheel repair), runs the whole pytest suite
# of the unpacked sdist against that wheel installed in a new venv, then installs the sdist
# alone into another venv and uses it.
DIST := build/dist
dist-check: system-deps $(VENV)/.created
	rm -rf $(DIST) && mkdir -p $(DIST)
	$(PY) $(PIP) -r <($(PY) tools/requirements.py dist)
	$(PY) -m build --outdir $(DIST) .
	$(BIN)/auditwheel show $(DIST)/tavrel-*.whl
	PATH=$(abspath $(BIN)):$$PATH $(BIN)/auditwheel repair -w $(DIST)/wheelhouse $(DIST)/tavrel-*.whl
	python=$$(tools/find-python.sh) && $$python -m venv $(DIST)/venv-wheel && $$python -m venv $(DIST)/venv-sdist
	whl=$$(ls $(DIST)/wheelhouse/tavrel-*manylinux*.whl) && $(DIST)/venv-wheel/bin/python $(PIP) "$$whl[test]"
	tar -xzf $(DIST)/tavrel-*.tar.gz -C $(DIST)
	cd $(DIST)/tavrel-*/ && ../venv-wheel/bin/python -c \
	  'import tavrel, sys; assert tavrel.__file__.startswith(sys.prefix), tavrel.__file__' && \
	  ../venv-wheel/bin/python -m pytest -q -p no:cacheprovider
	$(DIST)/venv-sdist/bin/python $(PIP) $(DIST)/tavrel-*.tar.gz
	cd $(DIST) && venv-sdist/bin/python -c 'import sys, tavrel; \
	  assert tavrel.__file__.startswith(sys.prefix); \
	  print(tavrel.Tavrel("https://h/x", [], tavrel.HTTPMETHOD.GET).get_request_command())'
	ls $(DIST)/venv-sdist/lib/python3.13/site-packages/tavrel-stubs

%/.created: pyproject.toml tools/requirements.py
	python=$$(tools/find-python.sh) && $$python -m venv $*
	$*/bin/python $(PIP) -r <($*/bin/python tools/requirements.py build) -r <($*/bin/python tools/requirements.py test) \
	  -r <($*/bin/python tools/requirements.py lint)
	touch $@

$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(PY) $(PIP) --no-build-isolation .
	touch $@

$(ASAN_VENV)/.installed: $(ASAN_VENV)/.created $(SOURCES)
	$(ASAN_VENV)/bin/python $(PIP) atheris
	$(ASAN_VENV)/bin/python $(PIP) --no-build-isolation \
	  -Ccmake.define.TAVREL_SANITIZE=ON -Cbuild-dir=build/asan -Ccmake.build-type=RelWithDebInfo .
	touch $@

clean:
	rm -rf build $(VENV) $(ASAN_VENV) .pytest_cache .hypothesis .mypy_cache

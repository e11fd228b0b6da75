# The two commands a fresh machine needs: `make demo` and `make test`.
SHELL := /bin/bash
PYTHON := $(shell tools/find-python)
VENV := .venv
JOBS ?= $(shell nproc)
BUILD := build

.PHONY: demo test test-python test-cpp tsan asan valgrind wheel-check bench bench-docs soak fuzz fuzz-smoke clean

demo:
	tools/setup-venv $(PYTHON) $(VENV) numpy
	$(VENV)/bin/python examples/demo.py

test: test-cpp test-python tsan

test-python:
	tools/run-python-tests

# The binding units' tests embed the interpreter found by tools/find-python.
test-cpp:
	tools/ensure-system-deps
	cmake -S . -B $(BUILD)/cpp -DVELK_BUILD_TESTS=ON -DVELK_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(PYTHON)
	cmake --build $(BUILD)/cpp -j $(JOBS)
	ctest --test-dir $(BUILD)/cpp --output-on-failure -j $(JOBS)

# The C++ tests (stress tests included) under ThreadSanitizer, the binding
# units' against the same interpreter as test-cpp.
tsan:
	tools/ensure-system-deps
	cmake -S . -B $(BUILD)/tsan -DVELK_BUILD_TESTS=ON -DVELK_BUILD_MODULE=OFF -DVELK_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(PYTHON)
	cmake --build $(BUILD)/tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --test-dir $(BUILD)/tsan --output-on-failure -j $(JOBS)

# The wheel of every CPython 3.12+ here: built, inspected, installed into a
# virtualenv where no compiler can be found, smoke-tested and type-checked
# with mypy there (tools/check-wheel). Kept out of `make test`: each wheel is
# a release build of its own. Each interpreter gets a virtualenv with the
# build backend and mypy, so the wheels build offline.
wheel-check:
	@set -e; for py in $$(tools/find-python --all); do \
	  ver=$$("$$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  venv=$(BUILD)/wheel-venv-$$ver; \
	  echo "== wheel for Python $$ver ($$py)"; \
	  [ -x "$$venv/bin/python" ] || "$$py" -m venv "$$venv"; \
	  "$$venv/bin/python" -m pip --disable-pip-version-check -q install scikit-build-core ninja mypy; \
	  tools/check-wheel "$$venv/bin/python"; \
	done

clean:
	rm -rf $(BUILD) .venv .venv-* bench/.venv

# Benchmarks against numpy, FAISS, USearch and hnswlib, in an environment of their own.
# A run writes bench/results only; bench-docs copies its tables into
# docs/benchmarks.md and the README, when a run is worth publishing.
bench:
	bench/run

bench-docs:
	$(PYTHON) bench/publish.py

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, the
# whole Python suite run against it.
asan:
	tools/run-asan

# A smoke script under valgrind's memcheck: no definite leaks from the module.
valgrind:
	tools/run-valgrind

# Coverage-guided fuzzing of every entry point under ASan and UBSan, from the
# corpus in tests/fuzz/corpus, which it extends. FUZZ_SECONDS=60 make fuzz
FUZZ_SECONDS ?= 600
fuzz:
	tools/run-fuzz --seconds $(FUZZ_SECONDS)

# The bounded run CI makes: FUZZ_RUNS executions, no crash.
FUZZ_RUNS ?= 100000
fuzz-smoke:
	tools/run-fuzz --runs $(FUZZ_RUNS)

# Long randomized and repeated runs, kept out of `make test`.
soak:
	tools/run-soak

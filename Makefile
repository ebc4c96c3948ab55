# The two commands a newcomer needs: `make demo` and `make test`.  Each sets up what it needs.
PYTHON := .venv/bin/python
CPP_TEST_DIR := build/cpp-tests-tsan

.PHONY: setup build test test-cpp test-python demo bench clean tsan asan soak

setup:
	@scripts/setup.sh

build: setup
	@$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps -e .

test: build test-cpp test-python

test-cpp: setup
	@cmake -S . -B $(CPP_TEST_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/.venv/bin/ninja \
		-DQUORLIN_BUILD_MODULE=OFF -DQUORLIN_BUILD_TESTS=ON -DQUORLIN_SANITIZE=thread \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(CPP_TEST_DIR)
	@cd $(CPP_TEST_DIR) && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure --timeout 300

test-python: build
	@$(PYTHON) -m pytest -q

demo: build
	@$(PYTHON) examples/demo.py

bench: build
	@$(PYTHON) -m pip install -q --disable-pip-version-check matplotlib uvloop trio 2>/dev/null || true
	@$(PYTHON) bench/run.py $(BENCH_ARGS)

clean:
	rm -rf build

# Sanitizer runs of the whole Python suite (each builds its own instrumented interpreter once).
tsan:
	@scripts/sanitize.sh thread

asan:
	@scripts/sanitize.sh address

# The mixed-workload soak of the native core and the package (tests/soak): 30 minutes unless
# QUORLIN_SOAK_SECONDS says otherwise.  Prints its figures.
soak: build
	@QUORLIN_SOAK_SECONDS=$${QUORLIN_SOAK_SECONDS:-1800} $(PYTHON) -m pytest -q -s tests/soak

# The two set-up commands are `make demo` and `make test`; both install what is
# missing first. Build trees live under build/.
PYTHON ?= python3
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifdef CI
CMAKE_FLAGS += -DZANDREL_WERROR=ON
endif

.PHONY: deps build install test test-cpp test-python sanitize tsan bench demo clean

deps:
	@./scripts/install-deps.sh

build: deps
	@cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build build/release -j $(JOBS)

# Builds and installs package zandrel with its extension into the current Python.
install: deps
	@$(PYTHON) -m pip install -q --no-build-isolation --disable-pip-version-check \
	  --root-user-action=ignore $(if $(CI),--config-settings=cmake.define.ZANDREL_WERROR=ON) .

test: build install test-cpp test-python

test-cpp:
	@ctest --test-dir build/release --output-on-failure -j $(JOBS)

# pytest exits 5 when it collects no test; that is not a failure.
test-python:
	@cd tests/python && $(PYTHON) -m pytest -q; rc=$$?; [ $$rc -eq 0 ] || [ $$rc -eq 5 ]

# The C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	@cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZANDREL_BUILD_BENCHMARKS=OFF \
	  -DZANDREL_SANITIZE=address,undefined $(CMAKE_FLAGS) >/dev/null
	@cmake --build build/asan -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS)

# The thread code under ThreadSanitizer.
TSAN_TESTS ?= Channel|WorkerPool|Concurrent|Thread
tsan: deps
	@cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZANDREL_BUILD_BENCHMARKS=OFF \
	  -DZANDREL_SANITIZE=thread $(CMAKE_FLAGS) >/dev/null
	@cmake --build build/tsan -j $(JOBS)
	@TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'

bench: build install
	@for b in build/release/*_bench; do [ -x "$$b" ] && "$$b"; done; true
	@for b in benchmarks/*_bench.py; do [ -f "$$b" ] && $(PYTHON) "$$b"; done; true

demo: build install
	@$(PYTHON) -m zandrel

clean:
	rm -rf build

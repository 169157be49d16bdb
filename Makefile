# Front door: `make` builds both programs, `make test` runs every test (native, then Windows under
# Wine), `make bench` runs the benchmarks (`make bench-docs` puts their figures into docs/), `make
# sanitize` and `make soak` (the device unplugged and replugged again and again) hunt
# for faults.
BUILD_DIR := build
WIN_BUILD_DIR := build-win
CMAKE_BUILD_TYPE ?= RelWithDebInfo
PREFIX ?= /usr/local
DESTDIR ?=

# Wine runs the Windows test programs in a prefix of its own inside the Windows build folder, quietly.
export WINEPREFIX := $(CURDIR)/$(WIN_BUILD_DIR)/wineprefix
export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=

.PHONY: demo all deps demo-deps program native windows test test-native test-windows wine-prefix soak bench bench-docs install package \
	format clean sanitize

all: deps native windows

deps:
	@scripts/install-deps all

demo-deps:
	@scripts/install-deps demo

# The project's own builds treat warnings as errors.
CMAKE_CONFIG := -G Ninja -DCMAKE_BUILD_TYPE=$(CMAKE_BUILD_TYPE) -DCOMTERM_WERROR=ON

# The program and its installed files alone, configured without the tests when nothing is yet.
program:
	@[ -f $(BUILD_DIR)/build.ninja ] || \
	    cmake -S . -B $(BUILD_DIR) $(CMAKE_CONFIG) -DBUILD_TESTING=OFF
	cmake --build $(BUILD_DIR) --target comterm docs

$(WIN_BUILD_DIR)/build.ninja:
	cmake -S . -B $(WIN_BUILD_DIR) $(CMAKE_CONFIG) \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake

# Everything, tests included: a build folder the demo configured without them is configured again.
native:
	@[ -f $(BUILD_DIR)/build.ninja ] && grep -qs '^BUILD_TESTING:BOOL=ON' $(BUILD_DIR)/CMakeCache.txt || \
	    cmake -S . -B $(BUILD_DIR) $(CMAKE_CONFIG) -DBUILD_TESTING=ON
	cmake --build $(BUILD_DIR)

windows: $(WIN_BUILD_DIR)/build.ninja
	cmake --build $(WIN_BUILD_DIR)

wine-prefix: windows
	@scripts/wine-prefix

test: deps
	$(MAKE) native windows wine-prefix
	$(MAKE) test-native test-windows

test-native:
	ctest --test-dir $(BUILD_DIR) --output-on-failure

test-windows:
	ctest --test-dir $(WIN_BUILD_DIR) --output-on-failure

# The reconnect soak: CYCLES unplugs and replugs of the virtual device under the native program,
# both directions and its resources checked; SEED=N repeats a run (the seed is printed).
CYCLES ?= 200
soak: deps native
	python3 tests/e2e/test_soak.py --build-dir $(BUILD_DIR) --cycles $(CYCLES) \
	    $(if $(SEED),--seed $(SEED))

# comterm in this terminal against the virtual device; the device's q key ends it.
demo: demo-deps program
	@BUILD_DIR=$(CURDIR)/$(BUILD_DIR) scripts/demo

# The conversion against iconv, then receiving against picocom and tio: every goal and figure is
# printed, kept in $(BUILD_DIR)/bench/bench.json and drawn in $(BUILD_DIR)/bench/performance.png.
# `make bench-docs` puts that run's figures into docs/PERFORMANCE.md and docs/performance.png.
BENCH_RESULTS := $(BUILD_DIR)/bench/bench.json
bench: deps native
	cmake --build $(BUILD_DIR) --target bench
	python3 bench/bench_receive.py $(BUILD_DIR)/src/console/comterm \
	    --conversion $(BUILD_DIR)/bench/bench_utf8_to_gbk \
	    --idle-floor $(BUILD_DIR)/bench/idle_floor --out $(BENCH_RESULTS)
	python3 bench/report.py $(BENCH_RESULTS) --plot $(BUILD_DIR)/bench/performance.png

bench-docs: bench
	python3 bench/report.py $(BENCH_RESULTS) --plot docs/performance.png --docs docs/PERFORMANCE.md

# The native tests under ASan+UBSan in build-asan/, then under TSan in build-tsan/.
sanitize: deps
	scripts/sanitize

# The program, its manual page and its bash completion under $(DESTDIR)$(PREFIX).
install: program
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# The Debian package into $(BUILD_DIR)/, the Windows zip into $(WIN_BUILD_DIR)/.
package: deps
	$(MAKE) native windows
	cpack --config $(BUILD_DIR)/CPackConfig.cmake -B $(CURDIR)/$(BUILD_DIR)
	cpack --config $(WIN_BUILD_DIR)/CPackConfig.cmake -B $(CURDIR)/$(WIN_BUILD_DIR)

format:
	@scripts/install-deps format
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR) $(WIN_BUILD_DIR) build-asan build-tsan

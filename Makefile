# Front door: `make` builds both programs, `make test` runs every test (native, then Windows under
# Wine), `make bench` runs the benchmarks, `make fuzz` and `make sanitize` hunt for faults.
BUILD_DIR := build
WIN_BUILD_DIR := build-win
CMAKE_BUILD_TYPE ?= RelWithDebInfo
PREFIX ?= /usr/local
DESTDIR ?=

# Wine runs the Windows test programs in a prefix of its own inside the Windows build folder, quietly.
export WINEPREFIX := $(CURDIR)/$(WIN_BUILD_DIR)/wineprefix
export WINEDEBUG := -all
export WINEDLLOVERRIDES := mscoree,mshtml=

.PHONY: demo all deps native windows test test-native test-windows wine-prefix bench install package \
	format clean fuzz sanitize

all: deps native windows

deps:
	@scripts/install-deps

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(CMAKE_BUILD_TYPE)

$(WIN_BUILD_DIR)/build.ninja:
	cmake -S . -B $(WIN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(CMAKE_BUILD_TYPE) \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	    -DCOMTERM_NATIVE_BUILD_DIR=$(CURDIR)/$(BUILD_DIR)

native: $(BUILD_DIR)/build.ninja
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

# comterm in this terminal against the virtual device; the device's q key ends it.
demo: deps native
	@BUILD_DIR=$(CURDIR)/$(BUILD_DIR) scripts/demo

bench: deps native
	cmake --build $(BUILD_DIR) --target bench
	$(BUILD_DIR)/bench/bench_utf8_to_gbk
	python3 bench/bench_receive.py $(BUILD_DIR)/src/console/comterm $(BUILD_DIR)/tools/vdev

# Each fuzz target for FUZZ_SECONDS (60 by default) in build-fuzz/; see docs/RELIABILITY.md.
FUZZ_SECONDS ?= 60
fuzz: deps
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

# The native tests under ASan+UBSan in build-asan/, then under TSan in build-tsan/.
sanitize: deps
	scripts/sanitize

# The program and its manual page under $(DESTDIR)$(PREFIX).
install: native
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# The Debian package into $(BUILD_DIR)/, the Windows zip into $(WIN_BUILD_DIR)/.
package: deps
	$(MAKE) native windows
	cpack --config $(BUILD_DIR)/CPackConfig.cmake -B $(CURDIR)/$(BUILD_DIR)
	cpack --config $(WIN_BUILD_DIR)/CPackConfig.cmake -B $(CURDIR)/$(WIN_BUILD_DIR)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR) $(WIN_BUILD_DIR) build-fuzz build-asan build-tsan

# Entry points for people and CI. Each target first installs the Debian packages it needs.

BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
BIN        := $(BUILD)/bin
SAMPLE_DIR := $(BUILD)/sample

PACKAGES := cmake ninja-build g++ make qt6-base-dev libgl-dev libgtest-dev libgmock-dev \
            libcli11-dev nlohmann-json3-dev libcairo2-dev libpng-dev libgcrypt20-dev pkg-config
# Needed by one target only; added to PACKAGES for that target (and so for its deps).
BENCH_PACKAGES := xdelta3 valgrind
# `make package`: dpkg-shlibdeps works out the package's dependencies, with `file`'s help.
PACKAGE_PACKAGES := dpkg-dev file
# `make test-package`: the validators a desktop and a software centre apply, and a man renderer.
TEST_PACKAGE_PACKAGES := desktop-file-utils appstream groff-base
# `make windows`: the cross compiler, libgcrypt built for Windows and the sources GoogleTest is
# built from; no Qt. The build tools it runs are built for this machine, with what they link.
WINDOWS_PACKAGES := cmake ninja-build g++ make libcli11-dev nlohmann-json3-dev googletest \
                    g++-mingw-w64-x86-64-posix libgcrypt-mingw-w64-dev libgcrypt20-dev \
                    libcairo2-dev pkg-config
# `make test-windows`: Wine runs the Windows programs, the window on a virtual display.
WINE_PACKAGES := wine64 xvfb xauth
WINDOWS_BUILD ?= build-windows
# `make fuzz`: clang with its libFuzzer and sanitizer runtimes.
FUZZ_PACKAGES := clang libclang-rt-dev

FUZZ_BUILD     ?= build-fuzz
FUZZ_SECONDS   ?= 60
SANITIZE_BUILD ?= build-sanitize

.PHONY: all deps configure build test run screenshot bench clean format package test-package \
        windows test-windows windows-package fuzz test-sanitize

all: build

# Installs what is missing, in one line of output (apt's own goes to $(BUILD)/apt.log); without
# root, prints the command to run as root and stops.
deps:
	@tools/install-packages $(BUILD)/apt.log $(PACKAGES)

# CMake's and ninja's output go to logs in $(BUILD); a failure shows the part that says why.
configure: deps
	@[ -f $(BUILD)/build.ninja ] || tools/quietly $(BUILD)/configure.log "Configuring $(BUILD)/" \
	  cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	@tools/quietly $(BUILD)/build.log "Building in $(BUILD)/" cmake --build $(BUILD)

# Prints the failures with their output, the skipped tests with their reasons and the summary;
# ctest's line for every test is in $(BUILD)/test.log.
test: build
	@tests/run.sh $(BUILD)

# Every fuzzer for FUZZ_SECONDS; fails on any finding, which is left in $(FUZZ_BUILD)/findings/.
fuzz: PACKAGES += $(FUZZ_PACKAGES)
fuzz: deps
	@[ -f $(FUZZ_BUILD)/build.ninja ] || cmake -S . -B $(FUZZ_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_CXX_COMPILER=clang++ -DTFLUX_KRN_FUZZ=ON -DTFLUX_KRN_GUI=OFF
	cmake --build $(FUZZ_BUILD) --target fuzzers
	tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer, reported as
# `make test` reports it (the logs are in $(SANITIZE_BUILD)).
test-sanitize: deps
	@[ -f $(SANITIZE_BUILD)/build.ninja ] || tools/quietly $(SANITIZE_BUILD)/configure.log \
	  "Configuring $(SANITIZE_BUILD)/ (sanitizers)" cmake -S . -B $(SANITIZE_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTFLUX_KRN_SANITIZE=ON
	@tools/quietly $(SANITIZE_BUILD)/build.log "Building in $(SANITIZE_BUILD)/" \
	  cmake --build $(SANITIZE_BUILD)
	@LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 tests/run.sh $(SANITIZE_BUILD)

# The Debian package: $(BUILD)/tflux-krn_<version>_<arch>.deb.
package: PACKAGES += $(PACKAGE_PACKAGES)
package: build
	cmake --build $(BUILD) --target package

# Unpacks the package into a scratch root and uses it there as a new user would.
test-package: PACKAGES += $(PACKAGE_PACKAGES) $(TEST_PACKAGE_PACKAGES)
test-package: package
	packaging/test-package.sh $(BUILD)

# tflux-krn-cli.exe and tflux-krn-checksum.exe in $(WINDOWS_BUILD)/bin, cross-compiled.
windows:
	@$(MAKE) --no-print-directory deps PACKAGES="$(WINDOWS_PACKAGES)"
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	  -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTFLUX_KRN_GUI=OFF
	cmake --build $(WINDOWS_BUILD) --target tflux-krn tflux-krn-cli tflux-krn-checksum

# The engine's and the form logic's tests, the programs end to end and the window driven as a
# user would, under Wine.
test-windows:
	@$(MAKE) --no-print-directory deps PACKAGES="$(WINDOWS_PACKAGES) $(WINE_PACKAGES)"
	@$(MAKE) --no-print-directory windows
	cmake --build $(WINDOWS_BUILD) --target engine_tests form_tests window_tests
	ctest --test-dir $(WINDOWS_BUILD) --output-on-failure -j2

# The three programs, the README and the licence texts as one zip for a bare Windows 10 or 11:
# $(WINDOWS_BUILD)/tflux-krn-VERSION-windows-x86_64.zip.
windows-package:
	@$(MAKE) --no-print-directory windows
	cmake --build $(WINDOWS_BUILD) --target package

# With a display, opens the window; without one, patches a generated image and says so.
run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  exec $(BIN)/tflux-krn; \
	else \
	  mkdir -p $(SAMPLE_DIR); \
	  echo "No display: patching a generated sample image with tflux-krn-cli instead."; \
	  $(BIN)/tflux-krn-sample $(SAMPLE_DIR)/sample.z64 E z64; \
	  echo "Input:  $(SAMPLE_DIR)/sample.z64 ($$($(BIN)/tflux-krn-cli identify $(SAMPLE_DIR)/sample.z64))"; \
	  $(BIN)/tflux-krn-cli patch $(SAMPLE_DIR)/sample.z64 $(SAMPLE_DIR)/sample_krn.z64; \
	  echo "Output: $(SAMPLE_DIR)/sample_krn.z64"; \
	  $(BIN)/tflux-krn-checksum -v $(SAMPLE_DIR)/sample_krn.z64; \
	  echo "First tracks of the pack:"; \
	  $(BIN)/tflux-krn-cli payload list | head -n 4; \
	fi

# The window as a user sees it, drawn offscreen: a generated sample image chosen, then a
# refused file, then the track view. The first and the last are the pictures the README and the
# metainfo show (resources/screenshots/).
screenshot: build
	QT_QPA_PLATFORM=offscreen $(BIN)/tflux-krn-screenshot $(BUILD)/screenshot.png $(BUILD)/screenshot-refused.png
	QT_QPA_PLATFORM=offscreen $(BIN)/tflux-krn-screenshot --tracks $(BUILD)/screenshot-tracks.png

# The patch against copying the image durably and against xdelta3, on a generated image, and
# the instructions a few commands cost under callgrind: prints the table and writes it to
# $(BUILD)/bench.json.
bench: PACKAGES += $(BENCH_PACKAGES)
bench: build
	$(BIN)/tflux-krn-bench --bin $(BIN) --work $(BUILD)/bench-work --json $(BUILD)/bench.json \
	  --pack resources/tracks

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(WINDOWS_BUILD)

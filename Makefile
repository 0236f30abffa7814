# Thin wrapper around CMake: `make` builds, `make run` transmits the bundled
# sample, `make test` builds and runs every test, `make check-sanitizers` runs
# the unit and end-to-end tests on a sanitizer build, `make check-arm64`
# cross-builds terramod for 64-bit ARM and compares what it writes under
# qemu-user with the native build's, byte for byte, `make fuzz` and
# `make fuzz-smoke` run the libFuzzer harnesses of fuzz/, `make install`
# installs under PREFIX (DESTDIR honoured), `make package` makes the Debian
# package in the build folder.
BUILD_DIR ?= build
OUT_DIR ?= out
SAMPLE ?= samples/testcard.ts
JOBS ?= $(shell nproc)
SANITIZE_BUILD_DIR ?= build-sanitize
FUZZ_BUILD_DIR ?= build-fuzz
ARM64_BUILD_DIR ?= build-arm64
FUZZ_CC ?= clang-14
FUZZ_CXX ?= clang++-14
FUZZ_HARNESSES = command_line ratestat_reader ts_input rate_adapter network_input \
	config_file control_command mip
FUZZ_RUNS ?= 1000000
FUZZ_SMOKE_SECONDS ?= 10
PREFIX ?= /usr/local

.PHONY: all build run test check-sanitizers check-arm64 fuzz-build fuzz fuzz-smoke bench install package clean

all: build

build:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# `make run` builds only the transmitter it runs.
run:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target terramod
	@mkdir -p $(OUT_DIR)
	$(BUILD_DIR)/terramod -i $(SAMPLE) -o $(OUT_DIR)/testcard -l $(OUT_DIR)/testcard.log -d t
	@echo
	@echo "Wrote:"
	@ls -l $(OUT_DIR)/testcard.bin $(OUT_DIR)/testcard.log

test:
	@sh tools/install_test_deps.sh
	@$(MAKE) --no-print-directory build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# AddressSanitizer and UndefinedBehaviorSanitizer over the unit and end-to-end
# tests (the interop tests decode with GNU Radio and add nothing here). A
# finding ends the program that makes it with status 86: a test program fails
# with it, and the tests that run terramod or ratestat report such a run with
# its standard error.
check-sanitizers:
	@cmake -S . -B $(SANITIZE_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTERRAMOD_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_BUILD_DIR) -j $(JOBS)
	cd $(SANITIZE_BUILD_DIR) && \
	ASAN_OPTIONS=exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1 \
	UBSAN_OPTIONS=exitcode=86:print_stacktrace=1:halt_on_error=1 \
		ctest -LE interop --output-on-failure -j $(JOBS)

# The same bytes on 64-bit ARM: terramod alone cross-built for aarch64 by
# Debian's g++-aarch64-linux-gnu (no tests, the portable vector kernels: the
# target has no Highway), run under qemu-aarch64 (qemu-user) over the settings
# of tools/check_arm64.sh with every stage dumped, every file compared with
# what the native build writes. tools/install_test_deps.sh installs both.
check-arm64:
	@command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 && command -v qemu-aarch64 >/dev/null 2>&1 || { \
		echo "check-arm64 needs aarch64-linux-gnu-g++ and qemu-aarch64" \
		     "(Debian: apt-get install g++-aarch64-linux-gnu qemu-user, or sh tools/install_test_deps.sh)"; \
		exit 1; }
	@cmake -S . -B $(ARM64_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release \
		-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake -DTERRAMOD_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(ARM64_BUILD_DIR) -j $(JOBS) --target terramod
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target terramod
	tools/check_arm64.sh $(BUILD_DIR)/terramod $(ARM64_BUILD_DIR)/terramod

# The libFuzzer harnesses, built by clang in a folder of their own.
fuzz-build:
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || { \
		echo "$(FUZZ_CXX) not found: fuzzing needs clang and libFuzzer" \
		     "(Debian: apt-get install clang-14 libclang-rt-14-dev, or sh tools/install_test_deps.sh)"; \
		exit 1; }
	@CC=$(FUZZ_CC) CXX=$(FUZZ_CXX) cmake -S . -B $(FUZZ_BUILD_DIR) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DTERRAMOD_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target fuzz_harnesses

# Each harness for FUZZ_RUNS executions, starting from the committed seeds;
# inputs that reach new code collect in $(FUZZ_BUILD_DIR)/corpus/, a crash
# stops with its input in $(FUZZ_BUILD_DIR)/artifacts/.
fuzz: fuzz-build
	@for harness in $(FUZZ_HARNESSES); do \
		mkdir -p $(FUZZ_BUILD_DIR)/corpus/$$harness $(FUZZ_BUILD_DIR)/artifacts && \
		echo "== fuzz_$$harness: $(FUZZ_RUNS) runs" && \
		$(FUZZ_BUILD_DIR)/fuzz/fuzz_$$harness -runs=$(FUZZ_RUNS) -print_final_stats=1 \
			-artifact_prefix=$(FUZZ_BUILD_DIR)/artifacts/$$harness- \
			$(FUZZ_BUILD_DIR)/corpus/$$harness fuzz/corpus/$$harness || exit 1; \
	done

# Each harness for a few seconds from the committed seeds (CI).
fuzz-smoke: fuzz-build
	@for harness in $(FUZZ_HARNESSES); do \
		rm -rf $(FUZZ_BUILD_DIR)/smoke/$$harness && \
		mkdir -p $(FUZZ_BUILD_DIR)/smoke/$$harness $(FUZZ_BUILD_DIR)/artifacts && \
		echo "== fuzz_$$harness: $(FUZZ_SMOKE_SECONDS) s" && \
		$(FUZZ_BUILD_DIR)/fuzz/fuzz_$$harness -max_total_time=$(FUZZ_SMOKE_SECONDS) \
			-print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD_DIR)/artifacts/$$harness- \
			$(FUZZ_BUILD_DIR)/smoke/$$harness fuzz/corpus/$$harness || exit 1; \
	done

# Builds only the installed programs (no tests), then installs them with the
# man pages, the Python tools, the systemd unit and the documentation:
#   make install                                  # under /usr/local
#   make install PREFIX=/usr DESTDIR=/tmp/stage   # staged, as a packager does
install:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target programs
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# The Debian package (prefix /usr), in the build folder.
package:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target programs
	@cd $(BUILD_DIR) && cpack -G DEB >cpack.out 2>&1 || { cat cpack.out; exit 1; }
	@sed -n 's/^CPack: - package: \(.*\) generated\.$$/Debian package: \1/p' $(BUILD_DIR)/cpack.out

bench: build
	$(BUILD_DIR)/bench/terramod_bench
	bench/compare_gnuradio.sh $(BUILD_DIR)/terramod

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR) $(FUZZ_BUILD_DIR) $(ARM64_BUILD_DIR) $(OUT_DIR)

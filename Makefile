# Thin wrapper around CMake: `make` builds, `make run` transmits the bundled
# sample, `make test` builds and runs every test, `make check-sanitizers` runs
# the unit and end-to-end tests on a sanitizer build.
BUILD_DIR ?= build
OUT_DIR ?= out
SAMPLE ?= samples/testcard.ts
JOBS ?= $(shell nproc)
SANITIZE_BUILD_DIR ?= build-sanitize

.PHONY: all build run test check-sanitizers bench clean

all: build

build:
	@cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
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

bench: build
	$(BUILD_DIR)/bench/terramod_bench

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_BUILD_DIR) $(OUT_DIR)

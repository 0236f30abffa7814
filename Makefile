# Thin wrapper around CMake: `make` builds, `make run` transmits the bundled
# sample, `make test` builds and runs every test.
BUILD_DIR ?= build
OUT_DIR ?= out
SAMPLE ?= samples/testcard.ts
JOBS ?= $(shell nproc)

.PHONY: all build run test bench clean

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

bench: build
	$(BUILD_DIR)/bench/terramod_bench

clean:
	rm -rf $(BUILD_DIR) $(OUT_DIR)

# feedbox: build, run and test the simulated printer and its filament-box modules.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build run test bench bench-smoke asan-test fuzz fuzz-smoke format tidy \
	check-layers clean klipper-cosim klipper-cosim-boxes klipper-cosim-scenarios

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# The embedded default printer runs its demo print, once the start-up self-inspection of
# its eight loaded slots (about 10 s each) has ended.
# Builds only the simulator (make test builds the tests).
run: configure
	@echo "Building the simulator feedbox (only what the demo needs)..."
	@cmake --build $(BUILD) -j$(JOBS) --target feedbox
	@echo "Running the demo print on two boxes (status lines on stdout, report on stderr)..."
	$(BUILD)/apps/feedbox/feedbox run --boxes 2 --settle 100 config/demo_setup.gcode --print config/demo.gcode

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench: deps
	@cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-release -j$(JOBS)
	@for b in build-release/bench/bench_*; do echo "== $$b"; $$b; done

# Every benchmark once, briefly, from the ordinary build: CI checks that each still runs
# to its end (make bench measures). A benchmark that skips with an error fails it too.
bench-smoke: build
	@for b in $(BUILD)/bench/bench_*; do \
	  echo "== $$b"; \
	  $$b --benchmark_min_time=0.01 >$(BUILD)/bench-smoke.out 2>&1; status=$$?; \
	  cat $(BUILD)/bench-smoke.out; \
	  if [ $$status -ne 0 ] || grep -q "ERROR OCCURRED" $(BUILD)/bench-smoke.out; then \
	    echo "$$b did not run to its end"; exit 1; fi; \
	done

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DFEEDBOX_SANITIZE=ON -DFEEDBOX_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# Every parser fuzz target under libFuzzer (clang), FUZZ_SECONDS each, starting from the
# seed corpus in fuzz/corpus; new inputs and any crash go to $(FUZZ_BUILD)/. fuzz-smoke is
# the short run CI makes, so that the targets keep building with clang and keep running.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 10
FUZZ_TARGETS = $(patsubst fuzz/fuzz_%.cpp,%,$(wildcard fuzz/fuzz_*.cpp))
fuzz-smoke:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(FUZZ_SMOKE_SECONDS)

fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFEEDBOX_FUZZ=ON \
	  -DFEEDBOX_TESTS=OFF -DFEEDBOX_BENCH=OFF -DFEEDBOX_BRIDGE=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	  echo "== fuzz_$$t ($(FUZZ_SECONDS) s)"; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/findings/$$t; \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/findings/$$t/ \
	    $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

# clang-tidy (bugprone, performance) over the product's modules; the layering check.
tidy: configure
	@scripts/tidy $(BUILD)

check-layers:
	@scripts/check-layers

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-release $(FUZZ_BUILD)

# Installs the box on a printer host, or updates it (scripts/install --help): builds only
# the modules and the bridge for the Python that runs Klipper, links them into the Klipper
# checkout and seeds the printer's base folder (default $HOME; give the same folder as
# [feedhub] base_folder). INSTALL_FLAGS passes more options (--no-restart, --dry-run, ...).
#   make install [KLIPPER=~/klipper] [BASE_FOLDER=/home/pi] [PYTHON=~/klippy-env/bin/python]
#   make uninstall
INSTALL_ARGS = $(if $(KLIPPER),--klipper "$(KLIPPER)") $(if $(BASE_FOLDER),--base-folder "$(BASE_FOLDER)") \
	$(if $(PYTHON),--python "$(PYTHON)") $(INSTALL_FLAGS)
.PHONY: install uninstall install-test klipper-test klipper-cost
install:
	@scripts/install $(INSTALL_ARGS)

uninstall:
	@scripts/install --uninstall $(INSTALL_ARGS)

# The install, update and uninstall on a copy of each Klipper checkout named, with a
# virtualenv and a base folder as on a printer (builds into build-printer; a few minutes):
#   make install-test KLIPPER="~/klipper [other checkouts]"
PRINTER_BUILD ?= build-printer
install-test:
	@test -n "$(KLIPPER)" || { echo "Name the Klipper checkouts: make install-test KLIPPER=/path/to/klipper"; exit 2; }
	/usr/bin/python3 tests/install/test_install.py $(foreach k,$(KLIPPER),--klipper "$(k)") --build "$(PRINTER_BUILD)"

# The real-host suite against a Klipper checkout (copied to $(BUILD)/klipper-test/ first):
#   make klipper-test KLIPPER=~/klipper [KLIPPER_TESTS=pattern]
klipper-test: build
	@test -n "$(KLIPPER)" || { echo "Name the Klipper checkout: make klipper-test KLIPPER=/path/to/klipper"; exit 2; }
	/usr/bin/python3 tests/klipper/run_suite.py --klipper "$(KLIPPER)" --build "$(BUILD)" $(if $(KLIPPER_TESTS),-k $(KLIPPER_TESTS))

# The real Klipper host against emulated micro-controllers (feedbox-mcu): the host
# identifies, configures and reaches Ready, shuts down and restarts (copied to
# $(BUILD)/cosim/ first):
#   make klipper-cosim KLIPPER="~/klipper [other checkouts]"
klipper-cosim: configure
	@test -n "$(KLIPPER)" || { echo "Name the Klipper checkout: make klipper-cosim KLIPPER=/path/to/klipper"; exit 2; }
	@cmake --build $(BUILD) -j$(JOBS) --target feedbox-mcu
	/usr/bin/python3 tests/cosim/cosim_ready.py --emulator $(BUILD)/apps/feedbox_mcu/feedbox-mcu \
	  --scratch $(BUILD)/cosim $(foreach k,$(KLIPPER),--klipper "$(k)")

# The printer with 1 and 4 boxes, the modules installed and every board emulated: Ready,
# a heat-up to 220 C and a box drying (about a minute; copied to $(BUILD)/cosim-boxes/):
#   make klipper-cosim-boxes KLIPPER="~/klipper [other checkouts]"
klipper-cosim-boxes: configure
	@test -n "$(KLIPPER)" || { echo "Name the Klipper checkout: make klipper-cosim-boxes KLIPPER=/path/to/klipper"; exit 2; }
	@cmake --build $(BUILD) -j$(JOBS) --target feedbox-mcu feedbox feedbox_klipper_modules
	/usr/bin/python3 tests/cosim/cosim_boxes.py --emulator $(BUILD)/apps/feedbox_mcu/feedbox-mcu \
	  --feedbox $(BUILD)/apps/feedbox/feedbox --extras $(BUILD)/bridge/extras \
	  --scratch $(BUILD)/cosim-boxes $(foreach k,$(KLIPPER),--klipper "$(k)")

# User scenarios in the real host against the emulated boards, each compared with the same
# scenario in feedbox; the long set with the tool changes and the print (about half an hour
# a checkout; copied to $(BUILD)/cosim-scenarios/):
#   make klipper-cosim-scenarios KLIPPER="~/klipper [other checkouts]"
klipper-cosim-scenarios: configure
	@test -n "$(KLIPPER)" || { echo "Name the Klipper checkout: make klipper-cosim-scenarios KLIPPER=/path/to/klipper"; exit 2; }
	@cmake --build $(BUILD) -j$(JOBS) --target feedbox-mcu feedbox feedbox_klipper_modules
	/usr/bin/python3 tests/cosim/cosim_scenarios.py --emulator $(BUILD)/apps/feedbox_mcu/feedbox-mcu \
	  --feedbox $(BUILD)/apps/feedbox/feedbox --extras $(BUILD)/bridge/extras --long -v \
	  --scratch $(BUILD)/cosim-scenarios $(foreach k,$(KLIPPER),--klipper "$(k)")

# The host's CPU time with and without the box, idle and printing (about four minutes):
#   make klipper-cost KLIPPER=~/klipper
klipper-cost: build
	@test -n "$(KLIPPER)" || { echo "Name the Klipper checkout: make klipper-cost KLIPPER=/path/to/klipper"; exit 2; }
	/usr/bin/python3 tests/klipper/run_suite.py --klipper "$(KLIPPER)" --build "$(BUILD)" --cost -v

# feedbox: build, run and test the simulated printer and its filament-box modules.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build run test bench asan-test install format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# The embedded default printer runs its demo print, once the start-up self-inspection of
# its eight loaded slots (about 10 s each) has ended.
run: build
	$(BUILD)/apps/feedbox/feedbox run --boxes 2 --settle 100 --print config/demo.gcode

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench: deps
	@cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-release -j$(JOBS)
	@for b in build-release/bench/bench_*; do echo "== $$b"; $$b; done

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DFEEDBOX_SANITIZE=ON -DFEEDBOX_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-release

# Copies the modules for the real Klipper host into a Klipper checkout's klippy/extras/:
#   make install KLIPPER=~/klipper
.PHONY: install
install: build
	@test -n "$(KLIPPER)" || { echo "Name the Klipper checkout: make install KLIPPER=/path/to/klipper"; exit 2; }
	@test -d "$(KLIPPER)/klippy/extras" || { echo "$(KLIPPER)/klippy/extras not found: KLIPPER must be the folder of a Klipper checkout"; exit 2; }
	@test -f $(BUILD)/bridge/extras/libfeedbox_bridge.so || { echo "The bridge was not built: configure without -DFEEDBOX_BRIDGE=OFF"; exit 2; }
	cp -r $(BUILD)/bridge/extras/. "$(KLIPPER)/klippy/extras/"
	@echo "Installed feedhub, feedlane, feedtag and feedscan into $(KLIPPER)/klippy/extras; restart Klipper."

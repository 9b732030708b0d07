# make run   - install what is missing, build, start the agent in the foreground
# make test  - install what is missing, build, run every test through ctest
PRESET ?= $(if $(CI),ci,release)
JOBS ?= $(shell nproc)
BUILD_DIR = build/$(PRESET)

.PHONY: all deps configure build run test clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

run: configure
	@cmake --build --preset $(PRESET) -j $(JOBS) --target corvane-agent
	@exec $(BUILD_DIR)/src/app/corvane-agent

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

clean:
	rm -rf build

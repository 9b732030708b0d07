# make run   - install what is missing, build, start the agent in the foreground
# make test  - install what is missing, build, run every test through ctest
# make install [PREFIX=/usr/local] [DESTDIR=...], make package (the agent's .deb and python3-corvane-verify's, in build/package)
# make test-sanitize  - unit and integration tests under AddressSanitizer and UBSan
# make fuzz [FUZZ_SECONDS=60]  - the libFuzzer targets, each for a bounded time
# make bench - release build, then the agent side by side with nginx; prints one table
# make portal [PORTAL_ARGS="--port 8080"] - the reference portal in the foreground on http://127.0.0.1:8080
PRESET ?= $(if $(CI),ci,release)
JOBS ?= $(shell nproc)
BUILD_DIR = build/$(PRESET)
SANITIZE_PRESET ?= $(if $(CI),ci-sanitize,debug)

PREFIX ?= /usr/local
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build run test test-sanitize install package fuzz bench portal clean

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

test-sanitize: deps
	@cmake --preset $(SANITIZE_PRESET) >/dev/null
	@cmake --build --preset $(SANITIZE_PRESET) -j $(JOBS)
	@ctest --preset $(SANITIZE_PRESET) -j $(JOBS) -L 'unit|integration'

install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

package: build
	@cd $(BUILD_DIR) && cpack -G DEB -B "$(CURDIR)/build/package"
	@scripts/build-python-deb build/package >/dev/null
	@ls build/package/*.deb

fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzzers

# Always the release preset: figures from a sanitizer build would mean nothing.
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS) --target corvane-agent corvane-signer corvane-core-benchmarks corvane-ceiling-server
	@bench/run-bench build/release

# Needs no build: Debian's Python 3 and python3-cryptography, and corvane_verify from python/.
# The agent runs apart (make run).
portal: deps
	@exec /usr/bin/python3 examples/portal/portal.py $(PORTAL_ARGS)

clean:
	rm -rf build

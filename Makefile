# Orvane: build, run and test.
#   make run    install what the programs need, build only the programs (build-run/), and run
#               orvaned on ./var/orvane (ports 8080/8082/8443)
#   make test   install what is missing, build, and run every test through CTest
#   make test SANITIZE=address,undefined   the same under sanitizers, in build-<sanitizers>/
#   make test-tsan   build under ThreadSanitizer in build-tsan/ and run the tests labelled
#                    "concurrency" (many clients at once, the threaded library families)
#   make fuzz   build the libFuzzer targets with clang in build-fuzz/
#   make bench  build optimised and run the benchmarks
#   make install [PREFIX=/usr/local] [DESTDIR=...]   programs, libkt, web packages, units, man
#               pages and completion, through CMake's install rules
#   make deb    a Debian package of the same in build-deb/packages/

# The nested builds' "Entering directory" lines would bury what make run prints.
MAKEFLAGS += --no-print-directory

SANITIZE ?=
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),)
BUILD ?= build
else
BUILD ?= build-$(subst $(comma),-,$(SANITIZE))
endif
comma := ,

RUN_ROOT ?= $(CURDIR)/var/orvane
RUN_BUILD ?= build-run
# Key type of the development certificates make run generates: ecdsa (P-256) or rsa (2048 bits).
DEV_CERT_KEY ?= ecdsa
PREFIX ?= /usr/local
DEB_BUILD ?= build-deb
PROGRAMS := orvaned orvane-dbupdate orvanectl

TSAN_BUILD ?= build-tsan
TSAN_OPTIONS ?= second_deadlock_stack=1
# ThreadSanitizer refuses the memory layout of some kernels' randomised mappings: run without.
NORANDOM := $(shell setarch $$(uname -m) -R true >/dev/null 2>&1 && echo setarch $$(uname -m) -R)

.PHONY: all deps build test test-tsan programs run install deb fuzz bench format clean

all: build

deps:
	@bash scripts/install-deps.sh

# Under sanitizers: no benchmarks, and the checks of the sources alone (label "static") are left
# to the plain build.
ifneq ($(SANITIZE),)
SANITIZED_CMAKE := -DORVANE_BENCH=OFF
SANITIZED_CTEST := -LE static
endif

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSANITIZE=$(SANITIZE) \
	  $(SANITIZED_CMAKE) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 900 $(SANITIZED_CTEST)

# The test programs run at build time to list their tests, so the build runs under NORANDOM too.
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DSANITIZE=thread \
	  -DORVANE_BENCH=OFF >/dev/null
	@$(NORANDOM) cmake --build $(TSAN_BUILD) -j$(JOBS) --target orvaned kt_tests integration_racing_tests
	@cd $(TSAN_BUILD) && TSAN_OPTIONS="$(TSAN_OPTIONS)" $(NORANDOM) \
	  ctest --output-on-failure -L concurrency -j$(JOBS) --timeout 900

# The programs alone (no tests, benchmarks or fuzz drivers), with only the packages they need.
# This orvanectl talks to make run's server and trusts its development CA unless told otherwise.
programs:
	@bash scripts/install-deps.sh --run
	@cmake -S . -B $(RUN_BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DORVANE_TESTS=OFF \
	  -DORVANE_BENCH=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	  -DORVANECTL_DEFAULT_SERVER=https://localhost:8443 \
	  -DORVANECTL_DEFAULT_CA=$(RUN_ROOT)/certs/orvane-ca.pem >/dev/null
	@cmake --build $(RUN_BUILD) -j$(JOBS) --target $(PROGRAMS)

run: programs
	@DEV_CERT_KEY=$(DEV_CERT_KEY) bash scripts/dev-certs.sh $(RUN_ROOT)/certs
	@bash scripts/install-web.sh $(RUN_ROOT)
	@mkdir -p $(RUN_ROOT)/current
	@bash scripts/run-banner.sh $(RUN_ROOT) $(RUN_BUILD) 8443
	@ORVANE_ROOT=$(RUN_ROOT) ORVANE_MACHINE_ID_FILE=$(RUN_ROOT)/this \
	ORVANE_HTTP_PORT=8080 ORVANE_MONITOR_PORT=8082 ORVANE_HTTPS_PORT=8443 \
	$(RUN_BUILD)/orvaned

# Installed, orvanectl has the ordinary defaults (https://localhost/, the system's CAs).
install: programs
	@cmake -S . -B $(RUN_BUILD) -DORVANECTL_DEFAULT_SERVER=https://localhost/ \
	  -DORVANECTL_DEFAULT_CA= >/dev/null
	@cmake --build $(RUN_BUILD) -j$(JOBS)
	@cmake --install $(RUN_BUILD)

deb:
	@bash scripts/install-deps.sh --run
	@cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=Release -DORVANE_TESTS=OFF -DORVANE_BENCH=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	@cmake --build $(DEB_BUILD) -j$(JOBS)
	@cd $(DEB_BUILD) && cpack -G DEB -B packages

fuzz:
	@bash scripts/install-deps.sh clang libclang-rt-dev
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVANE_FUZZ=ON -DORVANE_TESTS=OFF -DORVANE_BENCH=OFF \
	  -DSANITIZE=address,undefined,fuzzer-no-link >/dev/null
	@cmake --build build-fuzz -j$(JOBS)

bench:
	@bash scripts/install-deps.sh jq nginx
	@cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DORVANE_TESTS=OFF >/dev/null
	@cmake --build build-bench -j$(JOBS)
	@bash scripts/bench.sh build-bench

format:
	@git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-* var

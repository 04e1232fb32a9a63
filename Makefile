# The README's commands. Each installs the Debian packages it needs when one is missing.
BUILD ?= build
JOBS ?= $(shell nproc)
# Tests mostly wait (for the sandbox, for their timeouts), so twice as many run as there are cores.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
PACKAGES := build-essential cmake ninja-build pkg-config openssl libssl-dev libcurl4-openssl-dev \
  nlohmann-json3-dev libsimdjson-dev libsqlite3-dev libcli11-dev libcpp-httplib-dev libgtest-dev libgmock-dev \
  libbenchmark-dev python3 python3-pytest libsecret-1-dev gnome-keyring dbus \
  libtss2-dev swtpm swtpm-tools libtss2-tcti-swtpm0

# The project's own builds: Release (as packagers and most users build it) with debug symbols
# (split off into -dbgsym packages), warnings as errors.
# Every build's tests share one file of RSA keys for their sandbox servers (made by the first
# test run that needs it).
TEST_KEY_FILE := $(CURDIR)/$(BUILD)/sandbox-keys.pem
TEST_KEYS := -DTAVI_TEST_KEY_FILE=$(TEST_KEY_FILE)
# DEBUG_INFO= leaves the debug information out (a build only to test, such as CI's arm64 one).
DEBUG_INFO ?= -g
CONFIGURE = -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=$(DEBUG_INFO) -DTAVI_WERROR=ON $(TEST_KEYS)
# What `make package` needs beyond PACKAGES: dpkg-shlibdeps and file(1) for CPack's DEB generator;
# for package-check's Python part, a wheel built and pip-installed offline with Debian's tools.
PACKAGE_PACKAGES := dpkg-dev file python3-build python3-setuptools python3-wheel python3-pip python3-venv

.PHONY: all deps configure build demo test test-quick test-asan check-sanitizers fuzz fuzz-smoke bench clean format docs \
  package package-check cross cross-deps

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" -ne 0 ]; then \
	    echo "Missing Debian packages:$$missing"; echo "Install them with: sudo apt-get install -y$$missing"; exit 1; \
	  fi; \
	  echo "Installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) $(CONFIGURE)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only what the demo runs: the command-line tool (the library and the sandbox inside it).
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target tavi_cli
	./$(BUILD)/tavi demo

# The whole suite, then again under ASan+UBSan, the concurrency tests under TSan, and each fuzz
# target for a few seconds.
test: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)
	@$(MAKE) --no-print-directory check-sanitizers
	@$(MAKE) --no-print-directory fuzz-smoke

# Only the suite in the ordinary build.
test-quick: build
	cd $(BUILD) && ctest --output-on-failure -j $(TEST_JOBS)

# Benchmarks against a loopback sandbox; results in $(BUILD)/bench-results.json.
# Builds only what the benchmark runs; the instruction counts need valgrind (installed when
# missing), the delay line root (it is skipped otherwise).
bench: configure
	@dpkg-query -W -f='$${Status}' valgrind 2>/dev/null | grep -q "ok installed" || { \
	  if [ "$$(id -u)" -ne 0 ]; then echo "Install valgrind for the instruction counts: sudo apt-get install -y valgrind"; \
	  else apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null; fi; }
	cmake --build $(BUILD) -j $(JOBS) --target tavi_bench
	./$(BUILD)/tavi_bench --out $(BUILD)/bench-results.json

test-asan: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=ON -DTAVI_WERROR=ON $(TEST_KEYS)
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(TEST_JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, then the tests that run
# operations from many threads (and the pipeline's own) under ThreadSanitizer.
TSAN_TESTS := flow_concurrency_test flow_connection_reuse_test net_pipeline_test flow_calls_test
# (The examples test builds an uninstrumented program against the installed library: a packaging
# check, not run here.)
check-sanitizers: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=ON -DTAVI_WERROR=ON $(TEST_KEYS)
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(TEST_JOBS) -E '^examples$$'
	cmake -S . -B $(BUILD)-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVI_TSAN=ON -DTAVI_WERROR=ON $(TEST_KEYS)
	cmake --build $(BUILD)-tsan -j $(JOBS) --target $(TSAN_TESTS)
	tests/sandbox_keys.sh $(TEST_KEY_FILE)
	for t in $(TSAN_TESTS); do \
	  TAVI_SANDBOX_KEY_FILE=$(TEST_KEY_FILE) \
	  TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	    ./$(BUILD)-tsan/tests/$$t || exit 1; \
	done

# libFuzzer targets (clang, ASan+UBSan) on the seed corpus in fuzz/corpus (regenerate it with
# fuzz/make_corpus.py $(BUILD)/tavi). `make fuzz` runs each for FUZZ_SECONDS; `make fuzz-smoke`
# for a few seconds, to catch a regression. New inputs collect in $(BUILD)-fuzz/corpus.
FUZZ_PACKAGES := clang libclang-rt-14-dev
FUZZ_TARGETS := decoders base64 key_parsers
FUZZ_SECONDS ?= 120
fuzz:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(FUZZ_PACKAGES)"
	cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DTAVI_FUZZ=ON -DTAVI_TESTS=OFF
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD)-fuzz/corpus/$$t; \
	  ./$(BUILD)-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $(BUILD)-fuzz/corpus/$$t fuzz/corpus/$$t > $(BUILD)-fuzz/$$t.log 2>&1 \
	    || { tail -60 $(BUILD)-fuzz/$$t.log; exit 1; }; \
	  echo "fuzz_$$t: $$(grep -E 'cov:' $(BUILD)-fuzz/$$t.log | tail -1)"; \
	done

fuzz-smoke:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=5

# The API reference (HTML) in $(BUILD)/docs/html; installs doxygen when it is missing.
docs:
	@command -v doxygen > /dev/null || { \
	  if [ "$$(id -u)" -ne 0 ]; then echo "Install doxygen with: sudo apt-get install -y doxygen"; exit 1; fi; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doxygen >/dev/null; }
	mkdir -p $(BUILD)/docs
	( cat Doxyfile; echo "OUTPUT_DIRECTORY = $(BUILD)/docs" ) | doxygen -
	@echo "API reference: $(BUILD)/docs/html/index.html"

# ---- Cross builds: `make cross ARCH=arm64` (or armhf) --------------------------------------------
# Builds the library, the tool and the tests with Debian's cross compiler in $(BUILD)-$(ARCH),
# then runs the suite under qemu-user. CROSS_TARGETS builds only those targets (default: all);
# CTEST_ARGS narrows the run, e.g. CTEST_ARGS='-L "^core_"' (each test carries its program's name
# as a label).
# Installs what it needs: the architecture in dpkg, the cross compiler, qemu-user-static and the
# target's -dev libraries (the header-only ones are architecture-independent and come from deps;
# simdjson's runtime only: see cmake/cross/simdjson-config.cmake).
# CROSS_JOBS: the cross compiler shares no cache entries with the machine's own builds.
CROSS_TRIPLE_arm64 := aarch64-linux-gnu
CROSS_TRIPLE_armhf := arm-linux-gnueabihf
CROSS_TRIPLE = $(CROSS_TRIPLE_$(ARCH))
CROSS_LIBS := libssl-dev libcurl4-openssl-dev libsqlite3-dev libsimdjson14 libgtest-dev libgmock-dev \
  libcpp-httplib-dev
CROSS_JOBS ?= 2
CTEST_ARGS ?=
CROSS_CONFIGURE = $(CONFIGURE) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(CROSS_TRIPLE).cmake

cross-deps:
	@[ -n "$(CROSS_TRIPLE)" ] || { echo "ARCH must be arm64 or armhf (make cross ARCH=arm64)"; exit 1; }
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(PACKAGE_PACKAGES)"
	@missing=""; for p in crossbuild-essential-$(ARCH) qemu-user-static $(addsuffix :$(ARCH),$(CROSS_LIBS)); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" -ne 0 ]; then \
	    echo "Missing Debian packages:$$missing"; \
	    echo "Install them with: sudo dpkg --add-architecture $(ARCH) && sudo apt-get update && sudo apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	  echo "Installing:$$missing"; \
	  dpkg --print-foreign-architectures | grep -qx $(ARCH) || dpkg --add-architecture $(ARCH); \
	  apt-get -o DPkg::Lock::Timeout=600 update -qq && DEBIAN_FRONTEND=noninteractive \
	    apt-get -o DPkg::Lock::Timeout=600 install -y -qq $$missing >/dev/null; \
	fi

cross: cross-deps
	cmake -S . -B $(BUILD)-$(ARCH) $(CROSS_CONFIGURE)
	cmake --build $(BUILD)-$(ARCH) -j $(CROSS_JOBS) $(if $(CROSS_TARGETS),--target $(CROSS_TARGETS))
	cd $(BUILD)-$(ARCH) && ctest --output-on-failure -j $(CROSS_JOBS) $(CTEST_ARGS)
# ---- end of cross builds ------------------------------------------------------------------------

# Debian packages in $(BUILD)-pkg/packages: libtavi1, libtavi-dev, tavi-tools, python3-tavi (and -dbgsym
# packages with their debug symbols), from a Release build installed under /usr.
# With ARCH=arm64 (or armhf): the target architecture's packages, cross-built in
# $(BUILD)-pkg-$(ARCH) (DEB_HOST_ARCH tells dpkg-shlibdeps whose libraries to look for).
PKG_BUILD = $(BUILD)-pkg$(if $(ARCH),-$(ARCH))
package:
ifeq ($(ARCH),)
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(PACKAGE_PACKAGES)"
	cmake -S . -B $(PKG_BUILD) $(CONFIGURE) -DTAVI_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
else
	@$(MAKE) --no-print-directory cross-deps
	cmake -S . -B $(PKG_BUILD) $(CROSS_CONFIGURE) -DTAVI_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
endif
	cmake --build $(PKG_BUILD) -j $(if $(ARCH),$(CROSS_JOBS),$(JOBS)) --target tavi_shared tavi_static tavi_cli
	rm -rf $(PKG_BUILD)/packages
	cd $(PKG_BUILD) && $(if $(ARCH),DEB_HOST_ARCH=$(ARCH)) cpack -G DEB
	@ls -l $(PKG_BUILD)/packages/*.deb

# The packages' contents, lintian (no errors), and the examples built against the -dev
# package's files unpacked into a scratch directory and run against a sandbox. Installs nothing
# into the machine.
package-check: package
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(PACKAGE_PACKAGES) lintian"
	packaging/check.sh $(PKG_BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz $(BUILD)-pkg $(BUILD)-arm64 $(BUILD)-armhf \
	  $(BUILD)-pkg-arm64 $(BUILD)-pkg-armhf

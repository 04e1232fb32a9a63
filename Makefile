# The README's commands. Each installs the Debian packages it needs when one is missing.
BUILD ?= build
JOBS ?= $(shell nproc)
PACKAGES := build-essential cmake ninja-build pkg-config openssl libssl-dev libcurl4-openssl-dev \
  nlohmann-json3-dev libsimdjson-dev libsqlite3-dev libcli11-dev libcpp-httplib-dev libgtest-dev libgmock-dev \
  libbenchmark-dev python3 libsecret-1-dev gnome-keyring dbus \
  libtss2-dev swtpm swtpm-tools libtss2-tcti-swtpm0

# The project's own builds: Release (as packagers and most users build it) with debug symbols
# (split off into -dbgsym packages), warnings as errors.
CONFIGURE := -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DTAVI_WERROR=ON
# What `make package` needs beyond PACKAGES: dpkg-shlibdeps and file(1) for CPack's DEB generator.
PACKAGE_PACKAGES := dpkg-dev file

.PHONY: all deps configure build demo test test-quick test-asan check-sanitizers fuzz fuzz-smoke bench clean format docs \
  package package-check

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
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory check-sanitizers
	@$(MAKE) --no-print-directory fuzz-smoke

# Only the suite in the ordinary build.
test-quick: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

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
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=ON -DTAVI_WERROR=ON
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, then the tests that run
# operations from many threads (and the pipeline's own) under ThreadSanitizer.
TSAN_TESTS := flow_concurrency_test flow_connection_reuse_test net_pipeline_test flow_calls_test
# (The examples test builds an uninstrumented program against the installed library: a packaging
# check, not run here.)
check-sanitizers: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=ON -DTAVI_WERROR=ON
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(JOBS) -E '^examples$$'
	cmake -S . -B $(BUILD)-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVI_TSAN=ON -DTAVI_WERROR=ON
	cmake --build $(BUILD)-tsan -j $(JOBS) --target $(TSAN_TESTS)
	for t in $(TSAN_TESTS); do \
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

# Debian packages in $(BUILD)-pkg/packages: libtavi1, libtavi-dev, tavi-tools (and -dbgsym
# packages with their debug symbols), from a Release build installed under /usr.
package:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(PACKAGE_PACKAGES)"
	cmake -S . -B $(BUILD)-pkg $(CONFIGURE) -DTAVI_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD)-pkg -j $(JOBS) --target tavi_shared tavi_static tavi_cli
	rm -rf $(BUILD)-pkg/packages
	cd $(BUILD)-pkg && cpack -G DEB
	@ls -l $(BUILD)-pkg/packages/*.deb

# The packages' contents, lintian (no errors), and the examples built against the -dev
# package's files unpacked into a scratch directory and run against a sandbox. Installs nothing
# into the machine.
package-check: package
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(PACKAGE_PACKAGES) lintian"
	packaging/check.sh $(BUILD)-pkg

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz $(BUILD)-pkg

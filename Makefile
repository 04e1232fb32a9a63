# The README's commands. Each installs the Debian packages it needs when one is missing.
BUILD ?= build
JOBS ?= $(shell nproc)
PACKAGES := build-essential cmake ninja-build pkg-config openssl libssl-dev libcurl4-openssl-dev \
  nlohmann-json3-dev libsqlite3-dev libcli11-dev libcpp-httplib-dev libgtest-dev libgmock-dev \
  libbenchmark-dev

.PHONY: all deps configure build demo test test-asan clean format

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
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./$(BUILD)/tavi demo

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVI_SANITIZE=ON
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(JOBS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(BUILD)-asan

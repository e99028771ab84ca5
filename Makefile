# Front door: `make` builds, `make check` tests, `make demo` renders this
# repository. Each first makes sure the machine has what it needs.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build check demo clean

all: build

deps:
	@./tools/setup-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@./tools/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) demo

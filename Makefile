# Front door: `make` builds, `make check` tests, `make demo` renders this
# repository. Each first makes sure the machine has what it needs.
BUILD ?= build
JOBS ?= $(shell nproc)
# The builds cmake's makefiles run inside ours say nothing of the
# directories they enter: one line per step is all a person reads.
MAKEFLAGS += --no-print-directory

.PHONY: all deps build check demo clean fuzz sanitize

all: build

# What deps installs depends on the target asked for (setup-deps.sh says
# which packages each needs): a first `make demo` waits for no test tools.
NEEDS = build
deps:
	@./tools/setup-deps.sh $(NEEDS)

# cmake's report (what it looked for and found) stays in
# $(BUILD)/configure.log, and is shown when the configuration fails: it
# names the package that is missing. Errors and warnings are always shown.
build: deps
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >$(BUILD)/configure.log 2>$(BUILD)/configure.err; \
		status=$$?; [ $$status -eq 0 ] || cat $(BUILD)/configure.log >&2; \
		cat $(BUILD)/configure.err >&2; exit $$status
	@cmake --build $(BUILD) -j $(JOBS)

check: NEEDS = check
check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@./tools/demo.sh $(BUILD)

# The whole suite against binaries built with ASan and UBSan (build-asan/),
# then the families that walk histories under ThreadSanitizer (build-tsan/).
sanitize: NEEDS = check
sanitize: deps
	@./tools/sanitize.sh
	@./tools/sanitize.sh thread

# Each libFuzzer target for FUZZ_SECONDS (build-fuzz/, clang).
FUZZ_SECONDS ?= 20
fuzz: NEEDS = check
fuzz: deps
	@./tools/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) demo

# Installation: programs, manual pages, and the default look, the hooks and
# the server samples under $(PREFIX)/share/repopage, as CMakeLists.txt lists
# them. uninstall removes what the last install from $(BUILD) wrote (give
# it the same DESTDIR).
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: install uninstall bench deb

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

uninstall:
	@[ -f $(BUILD)/install_manifest.txt ] || { echo "nothing installed from $(BUILD)"; exit 1; }
	awk -v d="$(DESTDIR)" '{ printf "%s%s%c", d, $$0, 0 }' $(BUILD)/install_manifest.txt | xargs -0 rm -f
	-rmdir $(DESTDIR)$(PREFIX)/share/repopage

# The Debian package repopage_<version>_<arch>.deb, built here with
# dpkg-buildpackage from this tree and checked by lintian (build-deb/).
deb: NEEDS = deb
deb: deps
	@./tools/make-deb.sh

# Speed and memory of a first render and of incremental runs; not a test.
bench: build
	@./bench/run.sh $(BUILD)

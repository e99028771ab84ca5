# Front door: `make` builds, `make check` tests, `make demo` renders this
# repository. Each first makes sure the machine has what it needs.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build check demo clean fuzz sanitize

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

# The whole suite against binaries built with ASan and UBSan (build-asan/),
# then the families that walk histories under ThreadSanitizer (build-tsan/).
sanitize: deps
	@./tools/sanitize.sh
	@./tools/sanitize.sh thread

# Each libFuzzer target for FUZZ_SECONDS (build-fuzz/, clang).
FUZZ_SECONDS ?= 20
fuzz: deps
	@./tools/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) demo

# Installation: programs, manual pages, and the default look and hooks as
# samples under $(PREFIX)/share/repopage.
PREFIX ?= /usr/local
DESTDIR ?=
BINDIR = $(DESTDIR)$(PREFIX)/bin
MANDIR = $(DESTDIR)$(PREFIX)/share/man/man1
SHAREDIR = $(DESTDIR)$(PREFIX)/share/repopage
PROGRAMS = repopage repopage-index
SAMPLES = assets/style.css assets/logo.png assets/favicon.png
SCRIPTS = contrib/post-receive contrib/render-all

.PHONY: install uninstall bench

install: build
	install -d $(BINDIR) $(MANDIR) $(SHAREDIR)
	install -m 755 $(addprefix $(BUILD)/,$(PROGRAMS)) $(BINDIR)
	install -m 644 $(addprefix man/,$(addsuffix .1,$(PROGRAMS))) $(MANDIR)
	install -m 644 $(SAMPLES) $(SHAREDIR)
	install -m 755 $(SCRIPTS) $(SHAREDIR)

uninstall:
	rm -f $(addprefix $(BINDIR)/,$(PROGRAMS))
	rm -f $(addprefix $(MANDIR)/,$(addsuffix .1,$(PROGRAMS)))
	rm -f $(addprefix $(SHAREDIR)/,$(notdir $(SAMPLES) $(SCRIPTS)))
	-rmdir $(SHAREDIR)

# Speed and memory of a first render and of incremental runs; not a test.
bench: build
	@./bench/run.sh $(BUILD)

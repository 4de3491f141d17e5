# Set-up, build, tests and the demo, on Debian with /usr/bin/python3.
PYTHON := /usr/bin/python3
BUILD ?= build
PYTEST_ARGS ?= -q
TESTS ?= tests

# Everything the build and the tests need, from Debian's archive.
APT_PACKAGES := g++ make meson ninja-build pkg-config python3-dev python3-venv python3-numpy \
                python3-pyparsing python3-pytest python3-mesonpy locales python3-yaml libyaml-cpp-dev \
                zlib1g-dev libeigen3-dev libboost-dev

RUN_ENV = PYTHONPATH=$(abspath $(BUILD))/python EQX_BUILD=$(abspath $(BUILD)) \
          PATH=$(abspath $(BUILD))/standin:$$PATH

.PHONY: all deps build test demo bench sanitize format clean FORCE

all: build

# Installs those of the packages $(1) that are missing, with apt-get (through sudo unless root).
define install_missing
	@missing=$$(for p in $(1); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(APT_PACKAGES))

# $(BUILD)/meson-args holds the MESON_ARGS the folder was set up with. Other arguments set it up
# afresh: meson's --reconfigure and --wipe would keep options given before and not given now. A
# folder set up before the file existed is taken as set up with no arguments.
$(BUILD)/meson-args: FORCE
	@if [ -d $(BUILD)/meson-private ] && [ "$$(cat $@ 2>/dev/null)" != '$(MESON_ARGS)' ] && \
	    { [ -f $@ ] || [ -n '$(MESON_ARGS)' ]; }; then \
	  echo "MESON_ARGS changed: $(BUILD) is set up afresh"; rm -rf $(BUILD); \
	fi
	@mkdir -p $(BUILD)
	@[ -f $@ ] && [ "$$(cat $@)" = '$(MESON_ARGS)' ] || printf '%s\n' '$(MESON_ARGS)' > $@

$(BUILD)/build.ninja: $(BUILD)/meson-args
	@if [ -d $(BUILD)/meson-private ]; then meson setup --reconfigure $(BUILD) $(MESON_ARGS); \
	else meson setup $(BUILD) $(MESON_ARGS); fi

# Leaves build/python/equilexproxy importable (PYTHONPATH=build/python) and the
# stand-in library at build/standin/libequilex.so.
build: deps $(BUILD)/build.ninja
	meson compile -C $(BUILD)
	@mkdir -p $(BUILD)/python/equilexproxy
	@cp -f src/equilexproxy/__init__.py $(BUILD)/python/equilexproxy/
	@cp -f $(BUILD)/src/equilexproxy/*/*.so $(BUILD)/python/equilexproxy/

test: build
	$(RUN_ENV) $(PYTHON) -m pytest $(PYTEST_ARGS) $(TESTS)

demo: build
	$(RUN_ENV) $(PYTHON) examples/demo.py

bench: build
	$(RUN_ENV) $(PYTHON) bench/call_overhead.py
	$(RUN_ENV) $(PYTHON) bench/entities.py
	$(RUN_ENV) $(PYTHON) bench/equilibrium.py
	$(RUN_ENV) $(PYTHON) bench/convenience.py

# The extension modules and the stand-in built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the interpreter is not instrumented, so the runtimes
# are preloaded. Any report ends the run with a failure.
SANITIZE_BUILD := build-sanitize
SANITIZE_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
               ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
               UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 EQX_SANITIZED=1

sanitize: deps
	$(MAKE) --no-print-directory build BUILD=$(SANITIZE_BUILD) \
	  MESON_ARGS="-Dbuildtype=debugoptimized -Db_sanitize=address,undefined -Db_lundef=false -Dcpp_args=-fno-sanitize-recover=all"
	$(SANITIZE_ENV) $(MAKE) --no-print-directory test-only BUILD=$(SANITIZE_BUILD)

test-only:
	$(RUN_ENV) $(PYTHON) -m pytest $(PYTEST_ARGS) $(TESTS)

format:
	$(call install_missing,clang-format)
	clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h')

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)

# The README's commands. `make test` works on a fresh machine: it installs the
# Debian packages the build needs, creates .venv, builds and installs varkit
# into it and runs the test suite.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
# A real rpm database and AArch64 / 32-bit ARM objects in the tests. Foreign
# objects are built with clang and Debian's cross libc and binutils: the gcc
# cross compilers conflict with gcc-multilib.
# AArch64 reports are written from abi-dumper's dumps of the objects themselves.
# lld links the big-endian and MIPS objects the ELF reader is tried on.
TARGET_PLATFORM_PACKAGES := rpm clang lld qemu-user abi-dumper \
  binutils-aarch64-linux-gnu libc6-dev-arm64-cross libgcc-12-dev-arm64-cross libstdc++-12-dev-arm64-cross \
  binutils-arm-linux-gnueabihf libc6-dev-armhf-cross libgcc-12-dev-armhf-cross
# The manual pages and the shell completion are tried in real man, bash and zsh under tmux.
DOCS_TEST_PACKAGES := man-db tmux zsh
APT_PACKAGES := build-essential pkg-config libxml2-dev libsimdjson-dev gcc-multilib abi-compliance-checker \
  $(TARGET_PLATFORM_PACKAGES) $(DOCS_TEST_PACKAGES)
# Everything a build without isolation needs, named: the wheel of varkit itself and
# of any dependency that comes only as a source distribution.
BUILD_REQUIREMENTS := "scikit-build-core>=0.10" "pybind11>=3.0.1" cmake ninja "setuptools>=70.1" wheel
INPLACE_BUILD := build/inplace
# WERROR=ON (CI) makes compiler warnings errors.
WERROR ?= OFF
# What `make lint` checks: the Python sources and the C++ under src/.
PY_SOURCES := python tests bench examples
CXX_SOURCES = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'src/*.h')

PREFIX ?= /usr/local

.PHONY: all deps venv install install-docs rpm test sanitize-test fuzz demo inplace test-inplace lint lint-deps bench clean

all: install

# Idempotent: apt-get runs only when a package is missing, and waits for another
# apt-get or dpkg holding the lock rather than failing at once.
APT_WAIT := -o DPkg::Lock::Timeout=900
deps:
	@missing=""; \
	for package in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$package 2>/dev/null | grep -q "ok installed" || missing="$$missing $$package"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get $(APT_WAIT) update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get $(APT_WAIT) install -y -qq --no-install-recommends $$missing; \
	fi

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: $(PY)
	$(PY) -m pip install -q $(BUILD_REQUIREMENTS)

# The build directory is kept (build/<wheel tag>), so a reinstall recompiles only what changed.
install: deps venv
	@echo "building varkit: seven C++ extension modules (about 4 minutes on 2 cores the first time, then only what changed)"
	$(PY) -m pip install -q --no-build-isolation -C cmake.define.VARKIT_WERROR=$(WERROR) ".[test]"

test: install
	$(PY) -m pytest -q

# The whole suite against modules built with AddressSanitizer and UBSan (GCC's
# runtimes), in a venv and build directory of their own. Every Python process of
# the run loads the runtimes first (tests/sanitize/sitecustomize.py); the
# programs the tests start (rpm, dpkg, compilers, shells) run without them.
SANITIZE_VENV ?= .venv-sanitize
SANITIZE_PY := $(SANITIZE_VENV)/bin/python
SANITIZER_RUNTIMES = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
sanitize-test: deps
	test -x $(SANITIZE_PY) || $(PYTHON) -m venv $(SANITIZE_VENV)
	$(SANITIZE_PY) -m pip install -q --upgrade pip $(BUILD_REQUIREMENTS)
	@echo "building varkit under ASan and UBSan with debug information (about 20 minutes on 2 cores the first time, then only what changed)"
	$(SANITIZE_PY) -m pip install -q --no-build-isolation -C build-dir=build/sanitize/{wheel_tag} \
	  -C cmake.build-type=RelWithDebInfo -C cmake.define.VARKIT_SANITIZE=ON \
	  -C cmake.define.VARKIT_WERROR=$(WERROR) ".[test]"
	VARKIT_SANITIZER_PRELOAD="$(SANITIZER_RUNTIMES)" PYTHONPATH=$(CURDIR)/tests/sanitize \
	  ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=32 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(SANITIZE_PY) -m pytest -q -p no:cacheprovider --deselect tests/test_stubs.py

# The libFuzzer targets (README, Fuzzing) in build/fuzz; clang's sanitizer
# runtimes come with libclang-rt-dev.
fuzz: venv
	$(MAKE) deps APT_PACKAGES=libclang-rt-dev
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --preset fuzz
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build --preset fuzz

# Manual pages and bash/zsh completion, made from the commands' parsers.
install-docs: install
	$(PY) -m varkit.docs $(DESTDIR)$(PREFIX)/share
	@echo "bash loads the completion through Debian's bash-completion package; without it," \
	  "add 'source $(PREFIX)/share/bash-completion/completions/varkit' to ~/.bashrc"

# varkit's own RPM (packaging/varkit.spec), built from this tree (the build directory is shared with install):
# $(RPM_TOPDIR)/RPMS/<arch>/varkit-<version>-1.<arch>.rpm.
RPM_TOPDIR ?= build/rpm
VERSION = $(shell sed -n 's/^__version__ = "\(.*\)"/\1/p' python/varkit/__init__.py)
rpm: deps venv
	rpmbuild -bb --build-in-place --quiet packaging/varkit.spec \
	  --define "_topdir $(abspath $(RPM_TOPDIR))" \
	  --define "varkit_version $(VERSION)" \
	  --define "varkit_python $(abspath $(PY))" \
	  --define "python3_version $$($(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
	@ls $(abspath $(RPM_TOPDIR))/RPMS/*/varkit-$(VERSION)-*.rpm

# The impact check on the bundled example (root: it uses a private mount namespace).
demo: install
	examples/run_demo.sh

# Extension modules written into python/varkit, for `PYTHONPATH=python` during development.
inplace: deps venv
	$(VENV)/bin/cmake -S . -B $(INPLACE_BUILD) -G Ninja -DVARKIT_INPLACE=ON -DVARKIT_WERROR=$(WERROR) \
	  -DPython_EXECUTABLE=$(abspath $(PY)) \
	  -Dpybind11_DIR=$$($(PY) -c "import pybind11; print(pybind11.get_cmake_dir())")
	$(VENV)/bin/cmake --build $(INPLACE_BUILD)

test-inplace: inplace
	PYTHONPATH=python $(PY) -m pytest -q

# The linters (pinned in the "lint" extra) into the venv.
lint-deps: venv
	$(PY) -m pip install -q ruff==0.17.6 clang-format==23.1.5 clang-tidy==23.1.4 mypy==2.4.1 \
	  pre-commit==4.7.0 pre-commit-hooks==6.0.0

# Hygiene of every tracked file, style and types, the stub check (against whichever
# varkit the venv imports: installed by `make install`, or the in-place build with
# PYTHONPATH=python), and clang-tidy over every translation unit (the tidy preset,
# build/tidy: a finding fails the build; later runs check only what changed).
HYGIENE_HOOKS := check-added-large-files check-merge-conflict end-of-file-fixer
lint: install lint-deps
	for hook in $(HYGIENE_HOOKS); do $(VENV)/bin/pre-commit run --all-files $$hook || exit 1; done
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)
	$(PY) -m mypy
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_SOURCES)
	$(PY) -m pytest -q -p no:cacheprovider tests/test_stubs.py
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --preset tidy
	PATH=$(abspath $(VENV))/bin:$$PATH cmake --build --preset tidy

clean:
	rm -rf build python/varkit/*.so python/varkit/*/*.so python/varkit/*/*/*.so

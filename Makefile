# Front door: `make run` and `make test` work from a fresh Debian 12 machine.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# Every preset that `make test` builds.
PRESETS := host host-asan win32 win64

PACKAGES := cmake make g++ libgtest-dev nlohmann-json3-dev \
            g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
            binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
            clang libclang-rt-14-dev lld llvm valgrind wine64 zip unzip

# The fuzzer builds with clang in a project of its own (fuzz/CMakeLists.txt).
FUZZ_SECONDS ?= 60
FUZZ_TEST_SECONDS := 20
FUZZER := build/fuzz/vxd_mount_fuzzer

.PHONY: deps deps-wine32 build run test dist fuzz build-fuzz bench $(addprefix build-,$(PRESETS))

# Installs only what is missing, without questions.
deps:
	@missing=""; \
	for package in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$package 2>/dev/null | grep -q "install ok installed" \
	    || missing="$$missing $$package"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
	@$(MAKE) --no-print-directory deps-wine32

# Wine's 32-bit loader runs the product itself, where the kernel runs 32-bit code at all.
deps-wine32:
	@bash tests/wine/runs_32bit_code.sh; runs=$$?; \
	if [ $$runs -eq 1 ]; then \
	  echo "this machine does not run 32-bit x86 code: the win32 preset's Wine cases will be skipped"; \
	elif [ $$runs -ne 0 ]; then \
	  exit 1; \
	elif ! dpkg-query -W -f='$${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then \
	  echo "installing: wine32:i386"; \
	  dpkg --print-foreign-architectures | grep -qx i386 || $(SUDO) dpkg --add-architecture i386; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine32:i386; \
	fi

# A static pattern rule: make skips implicit rules for phony targets.
$(addprefix build-,$(PRESETS)): build-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

build: $(addprefix build-,$(PRESETS))

# The mount's trace is what `make run` shows: the build speaks only when it fails.
run: deps
	@log=build/run-build.log; mkdir -p build; \
	if ! { cmake --preset host && cmake --build --preset host -j $(JOBS); } >$$log 2>&1; then \
	  cat $$log; echo "make run: the build failed (log: $$log)"; exit 1; \
	fi
	@./build/host/tools/vxdmount/vxdmount

# The release for Windows users: dist/vxdmount-VERSION-win32.zip, byte for byte the same from
# the same commit.
dist: build-win32
	@version=$$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/win32/CMakeCache.txt); \
	mkdir -p dist && cp build/win32/dist/vxdmount-$$version-win32.zip dist/ && \
	ls -l dist/vxdmount-$$version-win32.zip

test: build build-fuzz
	ctest --preset host --no-tests=error
	ctest --preset host-asan --no-tests=error
	ctest --preset win32 --no-tests=error
	ctest --preset win64 --no-tests=error
	bash fuzz/run_fuzzer.sh $(FUZZER) $(FUZZ_TEST_SECONDS)

build-fuzz: deps
	cmake -S fuzz -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/fuzz -j $(JOBS)

# `make fuzz FUZZ_SECONDS=600` for a longer run.
fuzz: build-fuzz
	bash fuzz/run_fuzzer.sh $(FUZZER) $(FUZZ_SECONDS)

# Instructions and allocations under valgrind, and the DLL's stripped size.
bench: build-host build-win32
	./build/host/bench/vxd_bench --dll build/win32/vxdmount.dll --json build/host/bench/bench.json

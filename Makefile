# Front door: `make run` and `make test` work from a fresh Debian 12 machine.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# Every preset that `make test` builds.
PRESETS := host win32

PACKAGES := cmake make g++ libgtest-dev nlohmann-json3-dev \
            g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
            binutils-mingw-w64-i686 binutils-mingw-w64-x86-64

.PHONY: deps build run test $(addprefix build-,$(PRESETS))

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

build-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

build: $(addprefix build-,$(PRESETS))

run: build-host
	./build/host/tools/vxdmount/vxdmount

test: build
	ctest --preset host

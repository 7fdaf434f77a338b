# The front door. Each target installs what is missing, then hands over to CMake.
#   make run    build flagpost.exe, run it under Wine and show the marker it set
#   make test   build everything and run the test suite
#   make build  build build/flagpost.exe only

MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build run test clean

all: build

deps:
	@sh cmake/install-deps.sh

configure: deps
	@cmake --preset mingw >/dev/null

build: configure
	@cmake --build --preset mingw --target flagpost

run: configure
	@cmake --build --preset mingw --target flagpost regprobe
	@sh cmake/run-marker.sh build

test: configure
	@cmake --build --preset mingw
	@ctest --preset mingw

clean:
	@[ ! -d build/wineprefix ] || WINEPREFIX=$(CURDIR)/build/wineprefix wineserver -k 2>/dev/null || true
	rm -rf build

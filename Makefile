# The front door. Each target installs what is missing, then hands over to CMake.
#   make run    build flagpost.exe, run it under Wine and show the marker it set
#   make test   build everything and run the test suite
#   make build  build build/flagpost.exe only
#   make bench  time and size flagpost.exe against a minimal exe and reg.exe (not a test)
#   make screenshot  render docs/about.png and docs/icon.png

MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build run test bench screenshot clean

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

bench: configure
	@cmake --build --preset mingw --target flagpost minimal
	@/usr/bin/python3 tools/bench.py $(CURDIR)/cmake/wine.sh $(CURDIR)/build/wineprefix \
		$(CURDIR)/build/flagpost.exe $(CURDIR)/build/minimal.exe

screenshot: configure
	@cmake --build --preset mingw --target flagpost about_shot
	@xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 tools/screenshot.py $(CURDIR)/cmake/wine.sh \
		$(CURDIR)/build/wineprefix-x11 $(CURDIR)/build/about_shot.exe $(CURDIR)/build/flagpost.exe $(CURDIR)/docs

clean:
	@[ ! -d build/wineprefix ] || WINEPREFIX=$(CURDIR)/build/wineprefix wineserver -k 2>/dev/null || true
	rm -rf build

# The front door. Each target installs what is missing, then hands over to CMake.
#   make run    build flagpost.exe, run it under Wine and show the marker it set, as flagpost-status.exe too
#   make test   build everything and run the test suite
#   make build  build build/flagpost.exe only
#   make bench  time and size flagpost.exe against a minimal exe and reg.exe (not a test);
#               make bench PAIRS=2 times 2 rounds instead of 30, for a quick look
#   make screenshot  render docs/about.png and docs/icon.png (SHOTS=FOLDER: into FOLDER instead)
#   make example-installer  build/example/flagpost-example-setup.exe, the NSIS example
#   make example-msi        build/example/flagpost-example.msi, the WiX example
#   make example-inno       build/example/flagpost-example-inno-setup.exe, the Inno Setup example
#   make dist   write build/dist/flagpost-VERSION-win32.zip from the commit checked out; signed with
#               make dist SIGN_PFX=cert.pfx SIGN_PASSWORD_FILE=pass.txt [SIGN_TIMESTAMP_URL=...]
#   make verify-release ZIP=flagpost-VERSION-win32.zip
#               is every byte of that zip what its tagged commit makes? Rebuilds it in a temporary folder.

MAKEFLAGS += --no-print-directory
# The release script reads these from its environment; the password itself stays in its file.
export SIGN_PFX SIGN_PASSWORD_FILE SIGN_TIMESTAMP_URL
# A zip's name reaches the recipe through the environment alone, unexpanded by make and by the
# shell: backticks, $ and quotes in it stay part of the name.
override ZIP := $(value ZIP)
export ZIP
# Passed the same way, for the same reason.
PAIRS = 30
SHOTS = docs
override PAIRS := $(value PAIRS)
override SHOTS := $(value SHOTS)
export PAIRS SHOTS

.PHONY: all configure build run test bench screenshot dist verify-release example-installer example-msi example-inno clean

all: build

# Each target first installs what it needs and this machine lacks, saying so before it changes
# anything (setup/install-deps.sh); then configures, which needs the build toolchain alone.
SETUP = sh setup/install-deps.sh
CONFIGURE = cmake --preset mingw >/dev/null

build:
	@$(SETUP) build
	@$(CONFIGURE)
	@cmake --build --preset mingw --target flagpost

run:
	@$(SETUP) run
	@$(CONFIGURE)
	@cmake --build --preset mingw --target flagpost flagpost-status marker_reader
	@sh tools/run-marker.sh build/paths.txt

test:
	@$(SETUP) test
	@$(CONFIGURE)
	@cmake --build --preset mingw
	@ctest --preset mingw

# The tools, and the examples, use what the tests use.
configure:
	@$(SETUP) test
	@$(CONFIGURE)

# The tools import what they share with the tests from common/.
bench screenshot: export PYTHONPATH := $(CURDIR)/common

bench: configure
	@cmake --build --preset mingw --target flagpost minimal marker_reader
	@/usr/bin/python3 tools/bench.py build/paths.txt "$$PAIRS"

screenshot: configure
	@cmake --build --preset mingw --target flagpost about_shot
	@xvfb-run -a -s "-screen 0 1024x768x24" /usr/bin/python3 tools/screenshot.py build/paths.txt "$$SHOTS"

# Both build the commit in a temporary folder of their own, never in build/; they need the build
# toolchain, git, Python and osslsigncode, and nothing of Wine.
dist:
	@$(SETUP) release
	@/usr/bin/python3 release/dist.py . build/dist

verify-release:
	@$(SETUP) release
	@/usr/bin/python3 release/verify_release.py "$$ZIP" .

example-installer: configure
	@cmake --build --preset mingw --target example_installer

example-msi: configure
	@cmake --build --preset mingw --target example_msi

example-inno: configure
	@cmake --build --preset mingw --target example_inno

# The Wine boots that make run and the tests leave up end first; build/ holds every prefix, the
# Wine tree and npm's packages.
clean:
	@for prefix in build/wineprefix*/; do \
		[ ! -d "$$prefix" ] || sh wine/wine.sh "$$prefix" --shutdown; \
	done
	rm -rf build

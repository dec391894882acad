# Entry points for a new user on Debian 12: `make run` and `make test` install
# what is missing, build, then start the program or run every test.

BUILD_DIR ?= build
JOBS ?= $(shell nproc)

# Debian packages: to build, to run, and to test. qt6-base-dev brings the
# OpenGL and Vulkan headers that Qt's CMake files look for.
BUILD_PACKAGES = cmake g++ make pkg-config qt6-base-dev qt6-webengine-dev \
                 libgmime-3.0-dev libreofficekit-dev libpoppler-cpp-dev libtiff-dev \
                 libcsv-dev libtesseract-dev libuchardet-dev libpff-dev libytnef0-dev \
                 libolecf-dev
# The page engine lays out mail; LibreOffice only office documents, and the
# tests of those need it. Tesseract's English data reads pictures for a
# production's text (--ocr).
RUN_PACKAGES   = libqt6webenginecore6-bin libreoffice-writer-nogui fonts-dejavu-core \
                 fonts-liberation2 fonts-noto-core fonts-noto-cjk libqt6widgets6 libqt6network6 \
                 tesseract-ocr-eng
TEST_PACKAGES  = poppler-utils libtiff-tools dpkg-dev file
# The Debian package reads its library dependencies with dpkg-shlibdeps.
PACKAGE_PACKAGES = dpkg-dev file

FORMAT_PACKAGES = clang-format

.PHONY: all deps test-deps build run test test-sanitizers package format format-check clean

all: build

deps:
	@PKGS="$(BUILD_PACKAGES) $(RUN_PACKAGES)" sh .ci/install-packages

test-deps:
	@PKGS="$(BUILD_PACKAGES) $(RUN_PACKAGES) $(TEST_PACKAGES)" sh .ci/install-packages

# A compiler cache, when the machine has one, makes rebuilds of other
# checkouts cheap; without it nothing changes.
LAUNCHER = $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER)

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: deps
	$(MAKE) build
	$(BUILD_DIR)/program/quillmark

test: test-deps
	$(MAKE) build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Every test but the packaging ones (which test the package, not the code),
# the page-engine tests and the corpus run included, in a second tree built
# with the address and undefined behaviour sanitizers; a report fails the
# test that caused it. Under the sanitizers they take about six minutes on
# two cores, the corpus run five of them.
SANITIZER_BUILD_DIR ?= build-sanitizers
SANITIZER_ENV = UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
                LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp

$(SANITIZER_BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(SANITIZER_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWITH_SANITIZERS=ON $(LAUNCHER)

test-sanitizers: test-deps $(SANITIZER_BUILD_DIR)/CMakeCache.txt
	cmake --build $(SANITIZER_BUILD_DIR) -j $(JOBS)
	cd $(SANITIZER_BUILD_DIR) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS) -LE packaging

# The Debian package, $(BUILD_DIR)/quillmark_<version>_<arch>.deb; a user
# installs it with `sudo apt install ./$(BUILD_DIR)/quillmark_*.deb`.
package:
	@PKGS="$(BUILD_PACKAGES) $(PACKAGE_PACKAGES)" sh .ci/install-packages
	$(MAKE) build
	cd $(BUILD_DIR) && cpack
	@ls -1 $(BUILD_DIR)/quillmark_*.deb

format: $(BUILD_DIR)/CMakeCache.txt
	@PKGS="$(FORMAT_PACKAGES)" sh .ci/install-packages
	cmake --build $(BUILD_DIR) --target format

# Fails, naming the files, when a source differs from .clang-format; CI runs it.
format-check:
	@PKGS="$(FORMAT_PACKAGES)" sh .ci/install-packages
	@find src tests bench -name '*.cpp' -o -name '*.h' | sort | \
		xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD_DIR)

# The README's two commands, and the checks beyond them. CMake presets do the
# real work; builds use every core.
.PHONY: all demo day test sanitize debian-flags fuzz bench lint package windows cross shared-ledgers clean

NPROC := $(shell nproc 2>/dev/null || sysctl -n hw.ncpu 2>/dev/null || echo 2)
BUILD = cmake --build --parallel $(NPROC) --preset

all: test

demo:
	cmake --preset release >/dev/null
	$(BUILD) release
	rm -rf build/demo && mkdir -p build/demo
	cp examples/metro.txt examples/bus.txt build/demo/
	cd build/demo && ../release/fare-settle | iconv -f CP949 -t UTF-8
	@for f in busCompany.txt metroCompany.txt; do \
	  echo "== $$f"; cat build/demo/$$f 2>/dev/null || echo "(none)"; done

test:
	cmake --preset debug >/dev/null
	$(BUILD) debug
	ctest --preset debug

# The whole suite under AddressSanitizer and UBSan, stopping at the first
# report; then the day's tests, whose command runs threads, under ThreadSanitizer
# (but the stop from outside: its signals wait under it for the lock wait to end).
sanitize:
	cmake --preset sanitize >/dev/null
	$(BUILD) sanitize
	ctest --preset sanitize
	cmake --preset tsan >/dev/null
	$(BUILD) tsan
	ctest --preset tsan

# The suite built as a Debian packager builds it: dpkg-buildflags with every
# hardening option, _FORTIFY_SOURCE=3, build type None, warnings as errors.
debian-flags:
	eval "$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)" && \
	cmake -S . -B build/debian-flags -DCMAKE_BUILD_TYPE=None -DFARE_SETTLE_WERROR=ON \
	  -DCMAKE_CXX_FLAGS="$$CXXFLAGS $$CPPFLAGS -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$LDFLAGS" >/dev/null
	cmake --build build/debian-flags --parallel $(NPROC)
	ctest --test-dir build/debian-flags --output-on-failure

# fare-settle.exe cross-built with mingw-w64, and the suite run under Wine.
# Wine's server is kept up between the test processes (each would otherwise
# start its own, seconds apiece), and the prefix is made before the first.
windows:
	cmake --preset windows >/dev/null
	$(BUILD) windows
	WINEDEBUG=-all wineserver -p10 </dev/null >/dev/null 2>&1 || true  # one may be up already
	WINEDEBUG=-all wineboot --init </dev/null >/dev/null 2>&1
	ctest --preset windows -j $(NPROC)

# The suite cross-built for a Debian architecture and run under qemu-user:
# make cross ARCH=arm64 (armhf i386 ppc64el s390x riscv64). Optimised, as a
# package is built, since that is where excess precision would show.
cross:
	@test -n "$(ARCH)" || { echo "make cross: ARCH=arm64|armhf|i386|ppc64el|s390x|riscv64" >&2; exit 2; }
	cmake -S . -B build/cross-$(ARCH) --toolchain cmake/cross.cmake -DFARE_SETTLE_ARCH=$(ARCH) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFARE_SETTLE_WERROR=ON -DFARE_SETTLE_GTEST_SOURCE=/usr/src/googletest >/dev/null
	cmake --build build/cross-$(ARCH) --parallel $(NPROC)
	ctest --test-dir build/cross-$(ARCH) --output-on-failure -j $(NPROC)

# The storage check on two clients of one shared directory, on each storage
# set up here: make shared-ledgers STORAGE="glusterfs cephfs nfs" (default:
# every one whose packages are present). Needs root. TIMING=build/bench/bench
# (after make bench) also times runs on each storage against the floor.
STORAGE ?=
shared-ledgers:
	cmake --preset release >/dev/null
	$(BUILD) release
	sh tests/shared_ledgers.sh build/release $(STORAGE)

# A bounded libFuzzer run of a whole batch; new inputs go to build/fuzz/corpus.
FUZZ_SECONDS ?= 60
fuzz:
	cmake --preset fuzz >/dev/null
	$(BUILD) fuzz --target fare_settle_fuzz
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz/fare_settle_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -close_fd_mask=2 \
	  -artifact_prefix=$(CURDIR)/build/fuzz/ $(CURDIR)/build/fuzz/corpus $(CURDIR)/fuzz/seeds

# A synthetic day split and settled, its money checked two ways, the
# settle timed against the floor: make day DAY_TAPS=20000 (default 1,000,000).
DAY_TAPS ?= 1000000
day:
	cmake --preset bench >/dev/null
	$(BUILD) bench --target fare-settle fare-settle-split fare-settle-batches fare-settle-day floor day_floor
	sh bench/day.sh build/bench $(DAY_TAPS) build/day

# Micro-benchmarks of the stages, then whole runs timed against the floor.
PAIRS ?= 500
bench:
	cmake --preset bench >/dev/null
	$(BUILD) bench
	build/bench/bench/stages_bench
	build/bench/bench/whole_run build/bench/fare-settle build/bench/bench/floor $(PAIRS)
	@if command -v valgrind >/dev/null; then \
	  rm -rf build/bench/one && build/bench/bench/whole_run --batch 1 build/bench/one && \
	  cd build/bench/one && valgrind --tool=callgrind --callgrind-out-file=/dev/null \
	    ../fare-settle 2>&1 >/dev/null | sed -n 's/.*Collected : /one journey  instructions: /p'; \
	fi

# clang-tidy and cppcheck on every C++ file, clang-format on the tree. The
# tests and tools may ignore a cleanup's result, read numbers with atoi,
# grow vectors as they go and join strings with +. clang-tidy needs a file's headers, so it leaves
# the Windows files to cppcheck and to `make windows`, which builds them
# with every warning an error.
posix = $(filter-out %_win32.cpp,$(wildcard $(1)))
TOOL_CHECKS = --checks=-cert-err33-c,-performance-inefficient-string-concatenation,-cert-err34-c,-performance-inefficient-vector-operation,-performance-no-int-to-ptr,-readability-redundant-declaration
SOURCES = src/*.cpp src/*.h tests/*.cpp tests/*.h bench/*.cpp bench/*.h fuzz/*.cpp tools/*.cpp tools/*.h \
  tools/day/*.cpp tools/day/*.h
lint:
	cmake --preset debug >/dev/null
	clang-tidy -p build/debug --quiet $(call posix,src/*.cpp)
	clang-tidy -p build/debug --quiet $(TOOL_CHECKS) $(call posix,tests/*.cpp)
	clang-tidy --quiet $(TOOL_CHECKS) bench/*.cpp fuzz/*.cpp tools/*.cpp tools/day/*.cpp -- -std=c++20 -Isrc -Itools \
	  -DFARE_SETTLE_VERSION='"lint"' 
	cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
	  --suppress=normalCheckLevelMaxBranches \
	  --library=googletest --std=c++20 -q -I src src tests bench fuzz tools
	clang-format --dry-run --Werror $(SOURCES)

# A Debian package and a .tar.gz of the Release build, in build/package, and
# a .zip of fare-settle.exe where the cross compiler is at hand.
# CPack finds the .deb's dependencies with `file` and dpkg-shlibdeps; without
# them it would write a package that depends on nothing, so stop instead.
package:
	@for tool in file dpkg-shlibdeps; do command -v $$tool >/dev/null || { \
	  echo "make package: $$tool not found; install Debian's file and dpkg-dev" >&2; exit 1; }; done
	cmake --preset release >/dev/null
	$(BUILD) release
	rm -rf build/package
	cpack --config build/release/CPackConfig.cmake -B build/package
	@if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then \
	  cmake --preset windows-release >/dev/null && $(BUILD) windows-release && \
	  cpack --config build/windows-release/CPackConfig.cmake -B build/package; \
	else echo "make package: no mingw-w64 cross compiler, so no Windows .zip"; fi

clean:
	rm -rf build

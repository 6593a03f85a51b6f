# The README's two commands. CMake presets do the real work.
.PHONY: all demo test sanitize fuzz bench lint clean

all: test

demo:
	cmake --preset release >/dev/null
	cmake --build --preset release
	rm -rf build/demo && mkdir -p build/demo
	cp examples/metro.txt examples/bus.txt build/demo/
	cd build/demo && ../release/fare-settle | iconv -f CP949 -t UTF-8
	@for f in busCompany.txt metroCompany.txt; do \
	  echo "== $$f"; cat build/demo/$$f 2>/dev/null || echo "(none)"; done

test:
	cmake --preset debug >/dev/null
	cmake --build --preset debug
	ctest --preset debug

# The whole suite under AddressSanitizer and UBSan, stopping at the first report.
sanitize:
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize
	ctest --preset sanitize

# A bounded libFuzzer run of a whole batch; new inputs go to build/fuzz/corpus.
FUZZ_SECONDS ?= 60
fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --target fare_settle_fuzz
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz/fare_settle_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  -artifact_prefix=$(CURDIR)/build/fuzz/ $(CURDIR)/build/fuzz/corpus $(CURDIR)/fuzz/seeds

# Micro-benchmarks of the stages, then whole runs timed against the floor.
PAIRS ?= 500
bench:
	cmake --preset bench >/dev/null
	cmake --build --preset bench
	build/bench/bench/stages_bench
	build/bench/bench/whole_run build/bench/fare-settle build/bench/bench/floor $(PAIRS)
	@if command -v valgrind >/dev/null; then \
	  rm -rf build/bench/one && build/bench/bench/whole_run --batch 1 build/bench/one && \
	  cd build/bench/one && valgrind --tool=callgrind --callgrind-out-file=/dev/null \
	    ../fare-settle 2>&1 >/dev/null | sed -n 's/.*Collected : /one journey  instructions: /p'; \
	fi

# clang-tidy and cppcheck on the program's code, clang-format on the tree.
SOURCES = src/*.cpp src/*.h tests/*.cpp tests/*.h bench/*.cpp bench/*.h fuzz/*.cpp
lint:
	cmake --preset debug >/dev/null
	clang-tidy -p build/debug --quiet src/*.cpp
	cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
	  --std=c++20 -q -I src src
	clang-format --dry-run --Werror $(SOURCES)

clean:
	rm -rf build

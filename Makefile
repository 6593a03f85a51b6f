# The README's two commands. CMake presets do the real work.
.PHONY: all demo test clean

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

clean:
	rm -rf build

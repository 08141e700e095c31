# The two entry points: `make demo` runs the main job on the embedded default
# headset; `make test` installs what a fresh machine lacks, builds the
# sanitizer build and runs every test.
JOBS ?= $(shell nproc)

.PHONY: demo test deps bench-deps release debug bench fuzz soak clean

demo: deps release
	./build/release/tools/headset-host demo

test: deps debug
	ctest --preset debug -j $(JOBS)
	@$(MAKE) --no-print-directory fuzz-smoke

deps:
	@bash .ci/deps.sh

bench-deps:
	@bash .ci/deps.sh bench

release:
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

debug:
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS)

bench: bench-deps release
	@for b in build/release/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true

# A short run of every fuzz target when clang is present; skipped otherwise.
.PHONY: fuzz-smoke
fuzz-smoke:
	@if command -v clang++ >/dev/null 2>&1 && [ -f fuzz/CMakeLists.txt ]; then \
	  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j $(JOBS) --target fuzz_targets && \
	  for f in build/fuzz/fuzz/fuzz_*; do [ -x "$$f" ] || continue; \
	    echo "fuzzing $$f"; "$$f" -max_total_time=20 -rss_limit_mb=2048 >/dev/null 2>&1 || { echo "$$f failed"; exit 1; }; done; \
	else echo "fuzz targets skipped (no clang or no targets)"; fi

# The surprise-removal stress test at length (SOAK_ROUNDS, 1000 by default):
# the device pulled mid-stream, the pool and threads checked after every
# round, every re-plug made to stream, all under the sanitizers. A round that
# hangs stops the run at the time limit.
SOAK_ROUNDS ?= 1000
soak: deps debug
	@mkdir -p build; rc=0; \
	HSD_SOAK_ITERATIONS=$(SOAK_ROUNDS) timeout 3600 ./build/debug/tests/test_sim \
	  --gtest_filter='SurpriseRemovalTest.*' > build/soak.log 2>&1 || rc=$$?; \
	grep -E '^surprise removals' build/soak.log; \
	reports=$$(grep -cE 'ERROR: (Address|Leak)Sanitizer|runtime error:' build/soak.log); \
	echo "hangs: $$([ $$rc -eq 124 ] && echo 1 || echo 0), sanitizer reports: $$reports, exit status $$rc (log: build/soak.log)"; \
	[ $$rc -eq 0 ] && [ $$reports -eq 0 ] || { tail -40 build/soak.log; exit 1; }

clean:
	rm -rf build out

# The two entry points: `make demo` runs the main job on the embedded default
# headset; `make test` installs what a fresh machine lacks, builds the
# sanitizer build and runs every test.
JOBS ?= $(shell nproc)

.PHONY: demo test deps bench-deps release debug bench fuzz clean

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

# Every benchmark binary in turn, each case repeated in random order (the
# machine may be shared: a peer and ours see the same load), then one summary
# of all of them: out/bench.md and the chart out/bench.svg.
BENCH_FLAGS ?= --benchmark_repetitions=3 --benchmark_enable_random_interleaving=true \
	--benchmark_display_aggregates_only=true --benchmark_min_time=0.1
bench: bench-deps release
	@rm -rf out/bench && mkdir -p out/bench
	@for b in build/release/bench/bench_*; do \
	  [ -x "$$b" ] || continue; \
	  "$$b" $(BENCH_FLAGS) --benchmark_out=out/bench/$$(basename $$b).json --benchmark_out_format=json || exit 1; \
	done
	@python3 bench/summarize.py --md out/bench.md --svg out/bench.svg out/bench/*.json

# A short run of every fuzz target when clang is present; skipped otherwise.
.PHONY: fuzz-smoke
fuzz-smoke:
	@if command -v clang++ >/dev/null 2>&1 && [ -f fuzz/CMakeLists.txt ]; then \
	  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j $(JOBS) --target fuzz_targets && \
	  for f in build/fuzz/fuzz/fuzz_*; do [ -x "$$f" ] || continue; \
	    echo "fuzzing $$f"; "$$f" -max_total_time=20 -rss_limit_mb=2048 >/dev/null 2>&1 || { echo "$$f failed"; exit 1; }; done; \
	else echo "fuzz targets skipped (no clang or no targets)"; fi

clean:
	rm -rf build out

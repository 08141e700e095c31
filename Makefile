# The two entry points: `make demo` builds the main job alone (release,
# build/release/tools/headset-host) and runs its demo on the embedded default
# headset; `make test` installs what a fresh machine lacks, builds the
# sanitizer build, runs every test and checks that no circle runs among the
# product's modules. JOBS=N: the build's parallel jobs
# (default: every core).
JOBS ?= $(shell nproc)

.PHONY: demo test deps bench-deps release debug bench fuzz soak tsan clean

# Only the main job: the benchmarks are `make bench`'s.
demo: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target headset-host
	./build/release/tools/headset-host demo

test: deps debug
	ctest --preset debug -j $(JOBS)
	@$(MAKE) --no-print-directory fuzz-smoke
	@$(MAKE) --no-print-directory include-graph

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

# Every fuzz target from its seed corpus (fuzz/corpus/<target>); each
# checks that its seeds reach what it names, then prints its executions and
# coverage. `make fuzz` runs each for FUZZ_SECONDS (30: about ten minutes
# for all); the test command's short pass, when clang is present, from the
# seeds alone for FUZZ_SMOKE_SECONDS each, two at a time.
FUZZ_SECONDS ?= 30
FUZZ_SMOKE_SECONDS ?= 10
.PHONY: fuzz-build fuzz-smoke
fuzz-build:
	@cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j $(JOBS) --target fuzz_targets

fuzz: deps
	@command -v clang++ >/dev/null 2>&1 || { echo "make fuzz needs clang++"; exit 1; }
	@$(MAKE) --no-print-directory fuzz-build
	@bash .ci/fuzz.sh $(FUZZ_SECONDS) 1

fuzz-smoke:
	@if command -v clang++ >/dev/null 2>&1 && [ -f fuzz/CMakeLists.txt ]; then \
	  $(MAKE) --no-print-directory fuzz-build && FUZZ_SEEDS_ONLY=1 bash .ci/fuzz.sh $(FUZZ_SMOKE_SECONDS) 2; \
	else echo "fuzz targets skipped (no clang or no targets)"; fi

# The streaming, driver (ASIO among them), host and headset-host test areas
# under ThreadSanitizer (build/tsan; the tsan test preset names the same
# areas). Not part of `make test`: the sanitizer suite already takes most of
# CI's time.
TSAN_AREAS ?= test_streaming test_driver test_sim test_tools
tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS) --target $(TSAN_AREAS)
	ctest --preset tsan -j $(JOBS)

# The surprise-removal stress tests at length (SOAK_ROUNDS, 1000 by default,
# of wave streams; ASIO_SOAK_ROUNDS, 200, of ASIO streams): the device
# pulled mid-stream, the pool and threads checked after every round, every
# re-plug made to stream, all under the sanitizers. A round that hangs stops
# the run at the time limit.
SOAK_ROUNDS ?= 1000
ASIO_SOAK_ROUNDS ?= 200
soak: deps debug
	@mkdir -p build; rc=0; \
	HSD_SOAK_ITERATIONS=$(SOAK_ROUNDS) HSD_SOAK_ASIO_ITERATIONS=$(ASIO_SOAK_ROUNDS) timeout 3600 ./build/debug/tests/test_sim \
	  --gtest_filter='SurpriseRemovalTest.*' > build/soak.log 2>&1 || rc=$$?; \
	grep -E '^surprise removals' build/soak.log; \
	reports=$$(grep -cE 'ERROR: (Address|Leak)Sanitizer|runtime error:' build/soak.log); \
	echo "hangs: $$([ $$rc -eq 124 ] && echo 1 || echo 0), sanitizer reports: $$reports, exit status $$rc (log: build/soak.log)"; \
	[ $$rc -eq 0 ] && [ $$reports -eq 0 ] || { tail -40 build/soak.log; exit 1; }

# Every circle among the product's modules (a header with the sources that
# implement it), by what they include and, from the sanitizer build's
# objects, what they call; then the folders in layers, each standing only on
# lower ones.
.PHONY: include-graph
include-graph: debug
	@python3 .ci/test_include_graph.py -q
	python3 .ci/include-graph.py --objects build/debug --layers

clean:
	rm -rf build out

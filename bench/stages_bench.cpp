// Micro-benchmarks of the building stage and the apportionment on full
// tables: 100 taps in one journey, and 100 taps over 37 journeys.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "batches.h"
#include "intake.h"
#include "journey.h"
#include "settlement.h"

namespace {

// How far a benchmark's table is brought before it is measured.
enum Stage : unsigned char { READ, SORTED, ORDERED };

// The first 100 taps of a batch; load() also sets tapCount.
struct Tables {
  TermInfo taps[TAP_CAPACITY];
};

Tables load(int journeys, Stage stage) {
  Tables tables = {};
  TapFiles files = makeBatch(journeys);
  std::string all = files.metro + files.bus;
  size_t end = 0;  // the 100 taps; the lines after them would be reported as not read
  for (int i = 0; i < TAP_CAPACITY; i++) end = all.find('\n', end) + 1;
  all.resize(end);
  FILE* in = fmemopen(all.data(), all.size(), "r");
  tapCount = 0;
  readTaps(in, tables.taps, "bench", "missing\n", "FULL\n");
  std::fclose(in);
  if (stage >= SORTED) sortByKey(tables.taps);
  if (stage >= ORDERED) orderByTime(tables.taps);
  return tables;
}

// Times a stage that reorders the tap table, on a fresh copy each time.
void timeTableStage(benchmark::State& state, Stage before, void (*stage)(TermInfo*)) {
  Tables tables = load(static_cast<int>(state.range(0)), before);
  for (auto _ : state) {
    Tables work = tables;
    stage(work.taps);
    benchmark::DoNotOptimize(work);
  }
}

void BM_SortByKey(benchmark::State& state) {
  timeTableStage(state, READ, sortByKey);
}

void BM_OrderByTime(benchmark::State& state) {
  timeTableStage(state, SORTED, orderByTime);
}

void BM_PairRides(benchmark::State& state) {
  Tables tables = load(static_cast<int>(state.range(0)), ORDERED);
  RideInfo t[RIDE_CAPACITY];
  for (auto _ : state) {
    pairRides(tables.taps, t);
    benchmark::DoNotOptimize(t);
  }
}

void BM_ApportionFees(benchmark::State& state) {
  Tables tables = load(static_cast<int>(state.range(0)), ORDERED);
  RideInfo paired[RIDE_CAPACITY], t[RIDE_CAPACITY];
  pairRides(tables.taps, paired);
  for (auto _ : state) {
    std::memcpy(t, paired, sizeof t);
    apportionFees(t);
    benchmark::DoNotOptimize(t);
  }
}

BENCHMARK(BM_SortByKey)->Arg(1)->Arg(37);
BENCHMARK(BM_OrderByTime)->Arg(1)->Arg(37);
BENCHMARK(BM_PairRides)->Arg(1)->Arg(37);
BENCHMARK(BM_ApportionFees)->Arg(1)->Arg(37);

}  // namespace

// The stages print their trace on stdout, so the report goes to stderr.
int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_None);
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

#include "BenchInput.h"
#include <benchmark/benchmark.h>
BENCHMARK_MAIN();

// Heap-allocation counters of the benchmark binary (bench_alloc.cpp): every
// global operator new, and every malloc-family call (OpenCV's matrices take
// their memory from posix_memalign/malloc, not from operator new).
#pragma once

#include <cstdint>

#include <benchmark/benchmark.h>

namespace zb {

struct AllocCounts {
    uint64_t cppNew = 0;  // global operator new / new[]
    uint64_t heap = 0;    // malloc, calloc, realloc, posix_memalign, memalign, aligned_alloc
};

AllocCounts allocCounts();

// Reports the allocations made between construction and report() as
// per-iteration counters "new/iter" and "heap/iter".
class AllocProbe {
public:
    AllocProbe() : start_(allocCounts()) {}
    void report(benchmark::State& state) const {
        const AllocCounts now = allocCounts();
        const double n = state.iterations() > 0 ? double(state.iterations()) : 1.0;
        state.counters["new/iter"] = double(now.cppNew - start_.cppNew) / n;
        state.counters["heap/iter"] = double(now.heap - start_.heap) / n;
    }

private:
    AllocCounts start_;
};

}  // namespace zb

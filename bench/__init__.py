"""The benchmarks (python -m bench.bench, python -m bench.bench_dispatch, python -m
bench.bench_scale)."""

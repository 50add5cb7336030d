"""Plain-Python renderings of the native modules' behaviour: the oracles the differential
tests compare the modules with, and the baselines the benchmarks in bench/ time them against."""

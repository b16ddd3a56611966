"""Helpers shared by the tests and the benchmarks: writers, decoders, oracles, documents, paths."""

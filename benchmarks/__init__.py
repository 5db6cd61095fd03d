"""Benchmarks of kova's heavy operations against plain pandas baselines: `python -m benchmarks`."""

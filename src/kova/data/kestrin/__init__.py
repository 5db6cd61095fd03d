"""Data-integrity checks: the native ``kestrin`` module and the helpers it imports."""

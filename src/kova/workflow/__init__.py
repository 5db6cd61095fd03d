"""Workflow entry points: exploratory analysis (``olvary``) and segmented diagnostics."""

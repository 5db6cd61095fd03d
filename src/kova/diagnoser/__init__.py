"""Diagnosers of a fitted model: accuracy and weak spots."""

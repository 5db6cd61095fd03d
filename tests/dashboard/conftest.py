"""Shared set-up of the dashboard tests: what the service's views display, and trained methods."""

import pytest

from kova.dashboard import views


@pytest.fixture
def shown(monkeypatch):
    """Everything the results display, in order."""
    items = []
    monkeypatch.setattr(views, "display", items.append)
    return items


def _train(api, keys=None, part="all"):
    api.model_list = list(api.model_list) if keys is None else keys
    for key, prepared in api.model_prepare().items():
        api.fit_get_method(method=prepared["estimator"], model_name=key, dataset=part)
    return api


@pytest.fixture
def train():
    """`train(api, keys=None, part="all")`: select the methods `keys` (every method when None),
    train each on the data part, register it under its key and return the service."""
    return _train

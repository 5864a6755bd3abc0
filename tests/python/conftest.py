"""Shared fixtures: a fresh key file and gate database per test."""
import json
import os
import sys

import pytest

import _orvane_ddb


@pytest.fixture
def keyfile(tmp_path):
    path = str(tmp_path / "gate_key.json")
    _orvane_ddb.gen_keys(path)
    return path


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "gate.db")


@pytest.fixture
def gate(db_path, keyfile):
    return _orvane_ddb.OrvaneDDB(db_path, keyfile)


@pytest.fixture
def gate_public_key(keyfile):
    with open(keyfile) as f:
        return json.load(f)["public_key"]

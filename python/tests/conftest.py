"""Shared fixtures: the package must import (a missing build fails every test loudly, it is
never skipped), and exprun is found beside the build the package came from."""
import os
from pathlib import Path

import pytest

import pyexpression  # noqa: F401  (an import error here fails the run)

REPO = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def exprun():
    path = Path(os.environ.get("EXPRUN", REPO / "build" / "release" / "tools" / "exprun" / "exprun"))
    if not path.is_file():
        pytest.fail(f"exprun not found at {path} (set EXPRUN)")
    return path


@pytest.fixture(scope="session")
def order_rules():
    return (REPO / "examples" / "rules" / "order_totals.expr").read_text()

import os
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def data_dir() -> pathlib.Path:
    env = os.environ.get("WIRELET_DATA_DIR")
    if env:
        return pathlib.Path(env)
    return ROOT / "tests" / "data"


@pytest.fixture(scope="session")
def shared_data() -> pathlib.Path:
    d = data_dir()
    assert d.is_dir(), f"test data not found at {d}"
    return d


# Under AddressSanitizer freed memory sits in quarantine, so resident-size
# checks say nothing there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
skip_if_sanitized = pytest.mark.skipif(SANITIZED, reason="memory growth is meaningless under ASan")

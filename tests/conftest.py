from __future__ import annotations

import atexit
import os
import pathlib
import shutil
import tempfile

import pytest
from hypothesis import settings

import _quillon

# The record of verified index files (quillon.integrity) and anything else
# cached goes to a folder of the run's own, not the user's cache.
os.environ["XDG_CACHE_HOME"] = tempfile.mkdtemp(prefix="quillon-tests-cache-")
atexit.register(shutil.rmtree, os.environ["XDG_CACHE_HOME"], ignore_errors=True)

# Under the sanitizers every call is several times slower: no deadlines.
settings.register_profile("sanitize", deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# CI points this at the sanitizer build: make sure that build is what runs.
_expected_dir = os.environ.get("QUILLON_EXPECT_MODULE_DIR")
if _expected_dir and pathlib.Path(_quillon.__file__).resolve().parent != pathlib.Path(_expected_dir).resolve():
    raise pytest.UsageError(f"_quillon imported from {_quillon.__file__}, expected {_expected_dir}")
from trie_builders import WORKED_EXAMPLE_TERMS, terms_arrays

# Arrays whose node 0 claims three edges of a two-edge list: the constructor
# accepts their shape, and propagation then walks past the end.
OVERRUNNING_ARRAYS = {
    "node_shifts": [0, 3, 3],
    "child_labels": ["", "a", "b"],
    "payloads": [None, None, None],
    "child_transitions": [1, 2],
    "video_index": [],
    "video_top_n": 1,
}
OVERRUN_MESSAGE = "index out of bounds: the len is 2 but the index is 2"


@pytest.fixture(scope="session")
def PrefixSearch():
    return _quillon.PrefixSearch


@pytest.fixture(scope="session")
def build(PrefixSearch):
    """Builds a PrefixSearch from the keyword arguments of from_internal_data_v2."""

    def build(arrays):
        return PrefixSearch.from_internal_data_v2(**arrays)

    return build


@pytest.fixture(scope="session")
def worked_example(build):
    return build(terms_arrays(WORKED_EXAMPLE_TERMS))


@pytest.fixture(scope="session")
def PanicException(PrefixSearch):
    """The module's internal-error class, as a caller meets it."""
    try:
        PrefixSearch.from_internal_data_v2(**OVERRUNNING_ARRAYS)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    pytest.fail("overrunning arrays were accepted")


# Heavy tests (a million calls, ten million nodes, a million videos) run in a
# child process and take tens of seconds and gigabytes each;
# QUILLON_SKIP_HEAVY=1 leaves them out, for runs where every call is many
# times slower (the sanitizer run of CI).
def pytest_configure(config):
    config.addinivalue_line("markers", "heavy: a large run in a child process; QUILLON_SKIP_HEAVY=1 skips it")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("QUILLON_SKIP_HEAVY") != "1":
        return
    skip = pytest.mark.skip(reason="QUILLON_SKIP_HEAVY=1")
    for item in items:
        if "heavy" in item.keywords:
            item.add_marker(skip)


@pytest.fixture(scope="session")
def example_index(tmp_path_factory):
    """The index of the example search log, as ``quillon demo`` builds it."""
    from quillon.example.demo import demo_index

    return demo_index(tmp_path_factory.mktemp("example"), announce=lambda _line: None)

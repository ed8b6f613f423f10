"""quillon.integrity: digests of a file and its sections in one pass, and a
file verified once per identity, whoever opens it next."""

from __future__ import annotations

import hashlib
import os

import quillon.index
from quillon import Index
from quillon.integrity import CHUNK, digests, verified_once
from serving import build_small_index


def test_digests_of_the_whole_and_of_sections_across_chunks():
    data = bytes(range(256)) * (CHUNK // 128 + 3)
    sections = [("head", 0, 10), ("across", CHUNK - 5, 20), ("tail", len(data) - 7, 7), ("empty", 3, 0)]
    whole, parts = digests(data, sections)
    assert whole == hashlib.sha256(data).hexdigest()
    assert parts == {name: hashlib.sha256(data[o : o + n]).hexdigest() for name, o, n in sections}


def test_a_file_is_verified_once_per_identity(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    build_small_index(tmp_path, "i.idx", [("cat", 1), ("cart", 2)])
    hashed = []
    real = quillon.index.digests

    def counting(data, sections=()):
        hashed.append(1)
        return real(data, sections)

    monkeypatch.setattr(quillon.index, "digests", counting)
    for _ in range(3):  # as three workers would, one after the other
        Index.open(tmp_path / "i.idx")
    assert len(hashed) == 1
    # A new file under the same name is another identity: verified again.
    build_small_index(tmp_path, "i.idx", [("dog", 1)])
    Index.open(tmp_path / "i.idx")
    assert len(hashed) == 2


def test_a_failed_check_is_not_recorded_and_an_unwritable_cache_verifies_every_time(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    identity = (1, 2, 3, 4, 5)
    assert verified_once(identity, "ab", lambda: False) is False
    assert verified_once(identity, "ab", lambda: True) is True
    assert verified_once(identity, "ab", lambda: False) is True  # recorded
    (tmp_path / "plain").write_text("")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "plain"))  # a file: no cache folder can be made
    calls = []
    for _ in range(2):
        verified_once(identity, "cd", lambda: calls.append(1) is None)
    assert len(calls) == 2
    assert os.listdir(tmp_path / "cache" / "quillon" / "verified")

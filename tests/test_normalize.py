"""quillon.normalize: the shared definition of query and term normalisation."""

from __future__ import annotations

import pytest
from hypothesis import given
from hypothesis import strategies as st

from quillon import normalize
from quillon.normalize import MODES


@pytest.mark.parametrize(
    ("text", "mode", "expected"),
    [
        ("Café  Noir", "none", "Café  Noir"),
        ("Café  Noir", "lower", "café  noir"),
        ("Café  Noir", "fold", "cafe noir"),
        (" cafe\u0301\tnoir\n", "fold", "cafe noir"),  # decomposed accent, tabs, newline
        ("CAFE NOIR", "fold", "cafe noir"),
        ("Straße", "fold", "strasse"),  # case folding, not lower-casing
        ("Straße", "lower", "straße"),
        ("\u3392", "fold", "mhz"),  # a compatibility form hiding capitals
        ("\uff26\uff55\uff4c\uff4c", "fold", "full"),  # full-width letters
        ("ﬁle", "fold", "file"),  # ligature
        ("Ελληνικά", "fold", "ελληνικα"),
        ("\u00a0 \u2003", "fold", ""),  # only whitespace
        ("", "fold", ""),
    ],
)
def test_modes(text, mode, expected):
    assert normalize(text, mode) == expected


def test_case_and_accent_variants_meet_under_fold():
    variants = ["résumé", "Résumé", "RESUME", "re\u0301sume\u0301", " resume "]
    assert {normalize(v, "fold") for v in variants} == {"resume"}


@given(st.text(), st.sampled_from(MODES))
def test_idempotent(text, mode):
    once = normalize(text, mode)
    assert normalize(once, mode) == once


def test_refusals():
    with pytest.raises(ValueError, match=r"^unknown normalisation 'upper': use one of none, lower, fold$"):
        normalize("a", "upper")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match=r"^normalize\(\) needs a str, not bytes$"):
        normalize(b"a", "fold")  # type: ignore[arg-type]

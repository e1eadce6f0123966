"""A bounded share of the random-edit differential (tools/edit_differential.py
runs the whole of it): seeded random edits of standard-library modules,
half-typed lines included, through the source buffer, each followed by every
query of the edited module and of a fresh analysis of the same text."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import edit_differential  # noqa: E402

EDITS = 3000 if os.environ.get("PYSOURCE_SLOW") else 300


@pytest.mark.parametrize("seed, by_range", [(0, False), (1000, False), (2000, True)])
def test_edited_modules_answer_as_fresh_analyses(seed, by_range):
    counts = edit_differential.run(EDITS // 2, seed=seed, per_session=50, by_range=by_range)
    assert counts.edits == EDITS // 2 and counts.queries > counts.edits * 50
    assert not counts.differences, counts.report() + "\n" + "\n".join(counts.examples)


"""--decode on a small fixed-seed version of the decoder bench's corpus
(bench/decoder_accuracy.py): every condition (exact, jitter, a heavy fist,
weights, Farnsworth, slow and fast speeds, speed steps) at about 50
characters, each transmission a run of `keyline-bench --key-script FILE
--decode`, the hold logic included, all conditions side by side. Each
condition reads 98 % or better, judged on the transmissions the program saw
as keyed (its --record): a tick a busy machine delays is no fault of the
decoder's. Most must be judged."""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))

import decoder_accuracy as bench  # noqa: E402

MIN_PERCENT = 98.0


@pytest.fixture(scope="module")
def table(keyline_bin):
    table, _ = bench.measure(keyline_bin, characters=50, per_transmission=25, jobs=16, peer=False)
    return table


@pytest.mark.parametrize("name", [name for name, _ in bench.CONDITIONS])
def test_condition_reads_at_98_percent(table, name):
    r = table[name]
    assert r["failed"] == 0, r
    assert r["chars"] >= 50, r
    assert r.get("judged", 0) >= r["chars"] // 2, ("too few transmissions keyed as scripted to judge", r)
    percent = 100.0 * r["judged_right"] / r["judged"]
    assert percent >= MIN_PERCENT, (percent, r)

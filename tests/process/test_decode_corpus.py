"""--decode on a small fixed-seed version of the decoder bench's corpus
(bench/decoder_accuracy.py): every condition (exact, jitter, a heavy fist,
weights, Farnsworth, slow and fast speeds, speed steps) at about 50
characters, each transmission a run of `keyline-bench --key-script FILE
--decode`, the hold logic included. Each condition reads 98 % or better."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench"))

import decoder_accuracy as bench  # noqa: E402

MIN_PERCENT = 98.0


def test_every_condition_reads_at_98_percent(keyline_bin):
    table, _ = bench.measure(keyline_bin, characters=50, per_transmission=25, jobs=16, peer=False)
    assert set(table) == {name for name, _ in bench.CONDITIONS}
    failed = {name: r["failed"] for name, r in table.items() if r["failed"]}
    assert not failed, failed
    read = {name: 100.0 * r["right"] / r["chars"] for name, r in table.items()}
    assert all(r["chars"] >= 50 for r in table.values()), table
    low = {name: percent for name, percent in read.items() if percent < MIN_PERCENT}
    assert not low, (low, read)

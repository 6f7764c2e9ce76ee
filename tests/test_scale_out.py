"""The Dask way of examples/scale_out.py on a real LocalCluster of two worker
processes: records (dicts) and whole Node trees come back from the workers and
add up to the single-process result."""

import sys
from pathlib import Path

import pytest

distributed = pytest.importorskip("distributed")
pytest.importorskip("dask.bag")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
import cloudpickle  # noqa: E402  (a dependency of distributed)
import scale_out  # noqa: E402

from brindxml import Node  # noqa: E402


def test_dask_cluster_returns_records_and_trees(tmp_path):
    paths = scale_out.write_feeds(tmp_path, 24)
    expected_trees = scale_out.run_single(scale_out.read_tree, paths)
    expected = scale_out.add_up(scale_out.records_of(tree) for tree in expected_trees)
    # The workers need not find the example on their path: its functions travel by value.
    cloudpickle.register_pickle_by_value(scale_out)
    client = scale_out.start_dask(2)
    try:
        assert len(client.scheduler_info()["workers"]) == 2
        records = scale_out.run_dask(client, scale_out.read_records, paths, 2)
        trees = scale_out.run_dask(client, scale_out.read_tree, paths, 2)
    finally:
        cluster = client.cluster
        scale_out.stop_dask(client)
        cloudpickle.unregister_pickle_by_value(scale_out)
    assert cluster.status.name == "closed"
    assert scale_out.add_up(records) == expected
    assert all(type(tree) is Node for tree in trees)
    assert scale_out.add_up(scale_out.records_of(tree) for tree in trees) == expected
    assert [tree.to_dict() for tree in trees] == [tree.to_dict() for tree in expected_trees]

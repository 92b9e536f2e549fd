"""A local Ray started by ``quorlix serve --ray`` reports no usage to Ray's makers unless the
user asked for it; Ray's own reading of its settings is the judge."""

from __future__ import annotations

import json

import pytest
from quorlix import cli
from quorlix.service import ray_serve

usage_lib = pytest.importorskip("ray._common.usage.usage_lib")

VARIABLE = "RAY_USAGE_STATS_ENABLED"


@pytest.fixture
def ray_settings(monkeypatch, tmp_path):
    """No choice made: the variable unset and Ray's config file (to be written) in tmp_path."""
    monkeypatch.delenv(VARIABLE, raising=False)
    config = tmp_path / "ray-config.json"
    monkeypatch.setenv("RAY_USAGE_STATS_CONFIG_PATH", str(config))
    return config


@pytest.mark.parametrize(
    ("variable", "config", "reported"),
    [
        (None, None, False),
        ("1", None, True),
        ("0", None, False),
        (None, {"usage_stats": True}, True),  # `ray enable-usage-stats`
        (None, {"usage_stats": False}, False),
        (None, "not json", False),
    ],
)
def test_usage_is_reported_only_when_the_user_chose_it(
    ray_settings, monkeypatch, variable, config, reported
):
    if variable is not None:
        monkeypatch.setenv(VARIABLE, variable)
    if config is not None:
        ray_settings.write_text(config if isinstance(config, str) else json.dumps(config))
    ray_serve.keep_local_usage_private()
    assert usage_lib.usage_stats_enabled() is reported


def test_serve_starts_its_local_ray_with_usage_reporting_off(
    ray_settings, stub_azure_env, monkeypatch, tmp_path, capsys
):
    import ray

    seen = []

    def init(**kwargs):
        seen.append((kwargs.get("address"), usage_lib.usage_stats_enabled()))
        raise RuntimeError("stopped before Ray starts")

    monkeypatch.delenv("RAY_ADDRESS", raising=False)
    monkeypatch.setattr(ray, "init", init)
    (tmp_path / "shop.db").touch()
    code = cli.main(["serve", "--ray", "--db", f"sqlite:///{tmp_path / 'shop.db'}"])
    assert (code, seen) == (1, [(None, False)])
    assert "usage reporting off" in capsys.readouterr().err

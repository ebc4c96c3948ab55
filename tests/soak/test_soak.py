"""Soak: the native core, then the package, each under a mixed workload for half of
QUORLIN_SOAK_SECONDS (default 60; `make soak` runs 30 minutes), each in a fresh interpreter.

Every task and every byte is accounted for exactly, and the resident set stays flat after warm-up.
The figures are printed (pytest -s shows them) and written to the test's report sections.
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest

SECONDS = float(os.environ.get("QUORLIN_SOAK_SECONDS", "60"))
HERE = pathlib.Path(__file__).parent
# Growth allowed after warm-up: the allocator's pools and the interpreter's caches settle slowly;
# a leak of one small object per task (millions of them) would pass it many times over.
RSS_SLACK_MIB = 24


def soak(script, request):
    env = dict(os.environ, QUORLIN_SOAK_SECONDS=str(SECONDS / 2))
    completed = subprocess.run([sys.executable, str(HERE / script)], capture_output=True, text=True,
                               timeout=SECONDS * 2 + 300, env=env)
    assert completed.returncode == 0, completed.stdout[-3000:] + completed.stderr[-5000:]
    assert completed.stderr == "", completed.stderr[-5000:]
    figures = json.loads(completed.stdout.strip().splitlines()[-1])
    request.node.add_report_section("call", "figures", json.dumps(figures, indent=1))
    print(script, json.dumps(figures))
    return figures


def assert_flat(figures):
    growth = figures["rss_at_end_mib"] - figures["rss_after_warm_up_mib"]
    assert growth <= RSS_SLACK_MIB, figures["rss_trace_mib"]


@pytest.mark.timeout(SECONDS * 2 + 600)
def test_native_core_soak(request):
    figures = soak("soak_native.py", request)
    assert figures["wrong"] == []
    assert figures["spawned"] == figures["finished"] > 0
    assert all(spawned == finished > 0 for spawned, finished in figures["by_kind"].values()), figures["by_kind"]
    assert figures["bytes_written"] == figures["bytes_read"] > 0
    assert figures["signals"] > 0
    assert_flat(figures)


@pytest.mark.timeout(SECONDS * 2 + 600)
def test_package_soak(request):
    figures = soak("soak_package.py", request)
    assert figures["wrong"] == []
    assert figures["started"] == figures["finished"] > 0
    assert all(started == finished > 0 for started, finished in figures["by_kind"].values()), figures["by_kind"]
    assert figures["lock_exact"]
    sent, received = figures["channel_items"]
    assert sent == received > 0
    sent, echoed, received = figures["tcp_bytes"]
    assert sent == echoed == received > 0
    assert figures["signals"] > 0
    assert_flat(figures)

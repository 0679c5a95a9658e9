"""The benchmark runs end to end at tiny sizes, checks every output and reports every dataset."""
import importlib.util
import json
import pathlib
import subprocess
import sys

RUN = pathlib.Path(__file__).resolve().parent.parent / "bench" / "run.py"


def dataset_names():
    spec = importlib.util.spec_from_file_location("vorl_bench_run", RUN)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return [d[0] for d in mod.DATASETS]


def test_quick_run_reports_every_dataset(tmp_path):
    out_json = tmp_path / "bench.json"
    proc = subprocess.run([sys.executable, str(RUN), "--quick", "--json", str(out_json)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    names = dataset_names()
    assert len(names) == 7
    for name in names:
        assert f"== {name}:" in proc.stdout
    assert "WRONG" not in proc.stdout
    assert "== scaling" in proc.stdout
    report = json.loads(out_json.read_text())
    assert sorted(report["datasets"]) == sorted(names)
    for stats in report["datasets"].values():
        for op in ("stringify", "parse"):
            assert stats["ops"][op]["vorl"]["ok"] is True

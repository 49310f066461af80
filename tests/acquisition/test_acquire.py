"""mzML files of runs, from the Python module and the zyl tool, checked by check_mzml."""
import json
import os
import pathlib
import signal
import subprocess
import time

import numpy as np
import pytest
import zyl

from check_mzml import check

TOOL = os.environ.get("ZYL_TOOL", "zyl")
V3, OLDER = "VERSION130904A-V3", "VERSION110812"


def tool(*args, state="none", timeout=120):
    r = subprocess.run([TOOL, "--json", f"--sim-state={state}", *args], capture_output=True,
                       text=True, timeout=timeout)
    return r.returncode, json.loads(r.stdout or "{}")


@pytest.mark.parametrize("firmware", [V3, OLDER])
def test_file_holds_exactly_what_the_run_delivered(tmp_path, firmware):
    inst = zyl.Instrument(sim=True, firmware=firmware, time_scale=50)
    delivered, path = [], str(tmp_path / "run.mzML")
    with zyl.MzmlWriter(path, model="zentra Vexa", serial_number="SIM0001") as w:
        for s in inst.acquire(1000, 60000, 500, scans=4):
            w.write(s)
            delivered.append(s)
    assert not os.path.exists(path + ".partial")
    got = check(path)
    assert [g["id"] for g in got] == [s.index + 1 for s in delivered]
    for g, s in zip(got, delivered):
        np.testing.assert_array_equal(g["mz"], s.mz)
        np.testing.assert_array_equal(g["i"], s.intensity)
        assert g["time_s"] == pytest.approx(s.start_time, abs=1e-9)
        assert g["tic"] == pytest.approx(s.tic) == pytest.approx(float(np.sum(s.intensity, dtype=float)))


def test_ctrl_c_leaves_a_valid_file_of_every_spectrum(tmp_path):
    out = tmp_path / "cut.mzML"
    p = subprocess.Popen([TOOL, "--json", "--sim", "--sim-state=none", "--sim-time-scale", "10",
                          "acquire", "--from", "1000", "--to", "60000", "--time", "500",
                          "--scans", "100000", "--centroid", "--out", str(out)],
                         stdout=subprocess.PIPE, text=True)
    partial = pathlib.Path(str(out) + ".partial")
    deadline = time.time() + 30
    while time.time() < deadline and (not partial.exists() or partial.stat().st_size < 200000):
        time.sleep(0.05)
    p.send_signal(signal.SIGINT)
    summary = json.loads(p.communicate(timeout=60)[0])
    assert p.returncode == 130 and summary["ending"] == "stopped"
    got = check(str(out))
    assert len(got) == summary["spectra"] >= 2 and not partial.exists()
    assert all(len(g["mz"]) < 3601 for g in got)  # centroided


def test_full_disk_ends_the_file_after_its_last_whole_spectrum(tmp_path):
    script = (f"mount -t tmpfs -o size=512k tmpfs {tmp_path}/d && {TOOL} --json --sim "
              f"--sim-state=none --sim-time-scale 50 acquire --from 1000 --to 60000 --time 500 "
              f"--scans 1000 --out {tmp_path}/d/run.mzML; echo $?; cp {tmp_path}/d/run.mzML {tmp_path}")
    (tmp_path / "d").mkdir()
    r = subprocess.run(["unshare", "-rm", "sh", "-c", script], capture_output=True, text=True)
    if "mount" in r.stderr and "run.mzML" not in r.stdout:
        pytest.skip("no tmpfs for this user: " + r.stderr)
    summary = json.loads(r.stdout[: r.stdout.rindex("}") + 1])
    assert r.stdout.strip().endswith("1") and "space" in summary["write_error"]
    got = check(str(tmp_path / "run.mzML"))
    assert 1 <= len(got) == summary["spectra"] < 1000


@pytest.mark.parametrize("firmware", [V3, OLDER])
def test_calibration_brings_every_calibrant_peak_within_a_tenth(tmp_path, firmware):
    state = str(tmp_path / "sim.state")
    code, fit = tool(f"--sim={firmware}", "--sim-time-scale", "20", "calibrate", "--save", state=state)
    assert code == 0 and fit["calibrant_peaks_missing_in_new_scan"] == 0, fit
    assert fit["worst_error_mz"] < 0.1
    code, run = tool(f"--sim={firmware}", "--sim-time-scale", "20", "acquire", "--from", "1000",
                     "--to", "60000", "--time", "500", "--scans", "2", "--out",
                     str(tmp_path / "cal.mzML"), state=state)
    assert code == 0 and "default tune" in run["m/z axis"]
    got = check(str(tmp_path / "cal.mzML"))
    assert 30 < got[0]["mz"][0] < got[0]["mz"][-1] < 2000  # m/z, not positions 1000-60000


def write(tmp_path, name, text):
    (tmp_path / name).write_text(text)
    return str(tmp_path / name)


@pytest.mark.parametrize("args, code, says", [
    (["acquire", "--from", "5000", "--to", "1000", "--time", "500", "--scans", "1"], 1, "not above"),
    (["acquire", "--from", "0", "--to", "65535", "--time", "300000", "--scans", "1"], 1, "more than one scan reply"),
    (["acquire", "--from", "0", "--to", "1000", "--time", "10", "--duration", "0"], 1, "not a duration above 0"),
    (["acquire", "--from", "0", "--to", "1000", "--time", "10", "--scans", "1", "--trigger-input", "16"], 1, "0-15"),
    (["acquire", "--from", "0", "--to", "1000", "--time", "10", "--scans", "1", "--calibration", "@junk"], 1, "calibration"),
    (["acquire", "--from", "0", "--to", "1000", "--time", "10", "--scans", "1", "--out", "/nonexistent/r.mzML"], 1, "cannot create"),
    (["calibrate", "--reference", "@two"], 1, "too few"),
    (["calibrate", "--from", "20000", "--to", "21000"], 3, "calibrant peaks"),
])
def test_bad_input_is_refused_with_a_clear_message(tmp_path, args, code, says):
    files = {"@junk": write(tmp_path, "junk.xml", "<massCalibration><calibration/>"),
             "@two": write(tmp_path, "two.txt", "118.0863\n322.0481\n")}
    args = [files.get(a, a) for a in args]
    if args[0] == "acquire" and "--out" not in args:
        args += ["--out", str(tmp_path / "x.mzML")]
    got, doc = tool("--sim", *args)
    assert got == code and says in doc["error"], doc
    assert not (tmp_path / "x.mzML").exists()

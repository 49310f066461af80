import ast
import math
import os
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import zyl


def wait_for(predicate, seconds=10.0):
    end = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


def test_session_on_the_simulator():
    with zyl.Instrument(sim=True, time_scale=200) as inst:
        assert inst.communication_state == zyl.CommunicationState.INITIALIZED
        assert inst.v3 and inst.firmware_version == "VERSION130904A-V3"
        frames = []
        inst.watch_status(frames.append)
        inst.pirani_setup()
        inst.pump_on()
        inst.set_capillary_heater_temp(150)
        inst.set_capillary_heater_on(True)
        assert wait_for(lambda: frames and frames[-1]["pressure_mbar"] < 0.01 and frames[-1]["pump_running"])
        assert wait_for(lambda: frames[-1]["capillary_c"] > 140)
        assert inst.capillary_heater_temp() > 140
        assert len(frames[-1]["adc"]) == 32
        inst.watch_status(None)
        stopped = len(frames)
        time.sleep(0.3)
        assert len(frames) == stopped

        counts = inst.scan(1000, 60000, 500)
        assert counts.dtype == np.uint32 and counts.shape == (3601,)
        assert counts.max() > 3 * np.median(counts)  # peaks over the baseline

        inst.serial_number = "SN-42"
        inst.pirani_type = zyl.PiraniType.External
        inst.qc_text = "R&D <ok>"  # plain text, stored escaped
        assert inst.qc_data == "R&amp;D &lt;ok&gt;" and inst.qc_text == "R&D <ok>"
        inst.save_config()
        inst.serial_number, inst.qc_data = "unsaved", ""
        inst.load_config()
        assert (inst.serial_number, inst.pirani_type, inst.qc_text) == ("SN-42", zyl.PiraniType.External, "R&D <ok>")
        assert "SN-42" in inst.config_xml() and inst.read_flash(0).startswith(b"<flashMemory")
        # A tune slot survives the trip through flash (any read of region 1 replaces the image;
        # load_default_tune_ion_settings does nothing once connected); its neighbour stays empty.
        inst.set_default_ion_source_optimization("<ionSourceOptimization><spray>4.5</spray></ionSourceOptimization>", False, True)
        inst.save_default_tune_ion_settings()
        inst.set_default_ion_source_optimization("<ionSourceOptimization/>", False, True)
        inst.load_default_tune_ion_settings()
        assert "<spray>" not in inst.default_ion_source_optimization(False, True)
        inst.load_volatile()
        assert "<spray>4.5</spray>" in inst.default_ion_source_optimization(False, True)
        assert inst.default_ion_source_optimization(True, True) == ""

        progress = []
        image = b"header VERSION140101A-V3\0" + bytes(30000)
        inst.update_firmware(image, progress.append)
        assert progress == sorted(progress) and progress[-1] == len(image) + 1000
        assert inst.firmware_version == "VERSION140101A-V3"
        with pytest.raises(ZeroDivisionError):
            inst.update_firmware(image, lambda n: 1 / 0)
    with pytest.raises(zyl.NoInstrumentError):
        inst.status()


def test_both_generations_deliver_the_same_spectrum():
    v3 = zyl.Instrument(sim=True, time_scale=100)
    older = zyl.Instrument(sim=True, firmware="VERSION110812")
    assert not older.v3
    assert np.array_equal(v3.scan(0, 65535, 2501), older.scan(0, 65535, 2501))
    older.set_dac_param(0, 8192)  # detector gain doubles the peaks
    assert older.scan(0, 65535, 2501).max() > 1.5 * v3.scan(0, 65535, 2501).max()
    assert older.status()["pressure_mbar"] > 1  # polled from the instrument
    assert v3.status()["pressure_mbar"] == 1000.0  # a frame of the stream, not the placeholder


def test_calls_release_the_gil():
    inst = zyl.Instrument(sim=True)
    count, running = [0], [True]

    def spin():
        while running[0]:
            count[0] += 1

    spinner = threading.Thread(target=spin)
    spinner.start()
    counted = []
    for wait in (lambda: time.sleep(0.3), lambda: inst.scan(0, 65535, 300)):  # both 300 ms
        before = count[0]
        wait()
        counted.append(count[0] - before)
    running[0] = False
    spinner.join()
    assert counted[1] > 0.3 * counted[0]  # holding the GIL, the spinner would count ~nothing


@pytest.mark.parametrize(
    "call, cls, code",
    [
        (lambda i: zyl.Instrument().pump_on(), zyl.NoInstrumentError, 2),
        (lambda i: i.configure_analog_input(12, 0), zyl.NotAcknowledgedError, 3),
        (lambda i: i.set_dac_param(16, 0), zyl.InvalidArgumentError, 4),
        (lambda i: i.set_scan_params(0, 40000, 0), zyl.InvalidArgumentError, 4),
        (lambda i: i.write_flash(b"short", 0), zyl.InvalidArgumentError, 4),
        (
            lambda i: (i.set_capillary_heater_temp(150), i.set_capillary_heater_on(True), i.set_apci_heater_on(True)),
            zyl.InterlockError,
            33,
        ),
    ],
)
def test_status_codes_raise_their_class(call, cls, code):
    inst = zyl.Instrument(sim=True)
    with pytest.raises(cls, match=f"status {code}") as raised:
        call(inst)
    assert raised.value.code == code and isinstance(raised.value, zyl.Error)


# Input the tool and the module share one check for: both refuse it, in the same words (the
# tool's line carries the module's message), and the module raises InvalidArgumentError.
@pytest.mark.parametrize(
    "args, call",
    [
        (["dio", "adc", "32"], lambda i: i.read_adc(32)),
        (["dio", "set", "64", "on"], lambda i: i.set_dig_out(64, True)),
        (["dio", "in", "16"], lambda i: i.dig_in(16)),
        (["dio", "analog", "9", "0"], lambda i: i.set_analog_output(9, 0, 0)),
        (["dio", "i2c", "1", "2", "256"], lambda i: i.set_i2c(1, 2, 256)),
        (["heater", "capillary", "temp", "5000"], lambda i: i.set_capillary_heater_temp(5000)),
        (["heater", "apci", "temp", "-300"], lambda i: i.set_apci_heater_temp(-300)),
        (["heater", "capillary", "on", "--temp", "nan"], lambda i: i.set_capillary_heater_temp(math.nan)),
        (["config", "set", "last-pump-down", "2147483648"], lambda i: setattr(i, "last_pump_down_time", 2**31)),
        (["config", "set", "qc-data", "R&D ok"], lambda i: setattr(i, "qc_data", "R&D ok")),
        (["config", "set", "qc-data", "<a>"], lambda i: setattr(i, "qc_data", "<a>")),
        (["scan", "--from", "0", "--to", "65535", "--time", "1000000"], lambda i: i.scan(0, 65535, 1000000)),
        (["scan", "--from", "5000", "--to", "1000", "--time", "5"], lambda i: i.scan(5000, 1000, 5)),
        (["scan", "--from", "0", "--to", "1000", "--time", "0"], lambda i: i.scan(0, 1000, 0)),
        (["--sim=VERSION1", "info"], lambda i: zyl.Instrument(sim=True, firmware="VERSION1")),
    ],
)
def test_tool_and_module_refuse_alike(args, call, tmp_path):
    inst = zyl.Instrument(sim=True)
    with pytest.raises(zyl.InvalidArgumentError) as raised:
        call(inst)
    assert raised.value.code == 4
    message = str(raised.value)
    assert inst.qc_data == "" and inst.last_pump_down_time == 0  # nothing was set
    tool = os.environ.get("ZYL_TOOL")
    if not tool:
        pytest.skip("the zyl tool was not built")
    line = args if args[0].startswith("--sim") else ["--sim-state", str(tmp_path / "state"), *args]
    done = subprocess.run([tool, *line], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and message in done.stderr, done.stderr
    assert not (tmp_path / "state").exists() or b"R&D" not in (tmp_path / "state").read_bytes()


@pytest.mark.parametrize("keep", ["close", "global"])
def test_exit_while_streaming(keep):
    script = (
        "import time, zyl\n"
        "inst = zyl.Instrument(sim=True)\n"
        "inst.watch_status(lambda s: print(s['pressure_mbar'], flush=True))\n"
        "time.sleep(0.5)\n" + ("inst.close()\n" if keep == "close" else "")
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("\n") >= 2  # frames arrived


def test_stubs_name_every_member():
    stub = ast.parse((pathlib.Path(zyl.__file__).parent / "zyl.pyi").read_text())
    cls = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "Instrument")
    stubbed = {n.name for n in cls.body if isinstance(n, ast.FunctionDef)}
    assert stubbed == {n for n in dir(zyl.Instrument) if not n.startswith("_")} | {"__init__", "__enter__", "__exit__"}

"""The quantum-volume generator module taskelon."""
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import circuit_records as cr
import taskelon

MODULE_DIR = str(pathlib.Path(taskelon.__file__).resolve().parent)


def matrices(ops):
    """(len(ops), 4, 4) complex array from the column-major entries."""
    return np.array([op.matrix for op in ops], dtype=complex).reshape(len(ops), 4, 4).transpose(0, 2, 1)


# Run in fresh interpreters: the result type is unregistered until circuit_records
# is imported, after which the matrices must not depend on the thread count.
FRESH = (f"import json, sys\nsys.path.insert(0, {MODULE_DIR!r})\nimport taskelon\n"
         "assert taskelon.build_qv_op_list(1, 0, 7) == []\ntry:\n    taskelon.build_qv_op_list(4, 0, 7)\n"
         "except TypeError as e:\n    print(str(e).splitlines()[0], '|', e.__cause__)\nimport circuit_records\n"
         "print(json.dumps([[[z.real, z.imag] for z in op.matrix] for op in taskelon.build_qv_op_list(40, 0, 123)]))")


@pytest.mark.parametrize("func,text", [
    (taskelon.build_qv_op_list, "Ultra-fast QV operation list generator."),
    (taskelon.build_qv_op_list_ultra, "Ultra QV operation list generator with thread-local RNG.")])
def test_surface_results_and_argument_checks(func, text):
    assert sorted(k for k in vars(taskelon) if not k.startswith("__")) == ["build_qv_op_list", "build_qv_op_list_ultra"]
    signature, _, doc = func.__doc__.partition("\n")
    assert doc.strip("\n") == text and signature.endswith("-> list[circuit_records.CircuitInstruction]")
    assert [len(func(n, 0, 7)) for n in range(7)] == [n * (n // 2) for n in range(7)]
    assert all(type(op) is cr.CircuitInstruction and op.name == "su4" for op in func(np.int64(4), np.int32(0), 7))
    for args in [(4.0, 0, 7), (4, 0, 2**31), (4, 0), ("4", 0, 7)]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            func(*args)
    for n in (-1, 65536):
        with pytest.raises(ValueError, match="0..65535"):
            func(n, 0, 1)


def test_matrices_depend_on_seed_and_index_only():
    a = matrices(taskelon.build_qv_op_list(12, 0, 5))
    assert np.array_equal(a, matrices(taskelon.build_qv_op_list_ultra(12, -77, 5)))
    assert np.array_equal(a, matrices(taskelon.build_qv_op_list(13, 0, 5))[: len(a)])
    assert not np.isclose(a, matrices(taskelon.build_qv_op_list(12, 0, 6))).any()


def test_fresh_interpreters_unregistered_type_and_thread_count():
    outputs = []
    for threads in (1, 8):
        out = subprocess.run([sys.executable, "-c", FRESH], capture_output=True, text=True, timeout=120,
                             env=dict(os.environ, OMP_NUM_THREADS=str(threads)))
        assert out.returncode == 0, out.stderr
        error, entries = out.stdout.splitlines()
        assert error == ("Unable to convert function return value to a Python type! The signature was"
                         " | Unregistered type : CircuitInstruction")
        outputs.append(json.loads(entries))
    assert len(outputs[0]) == 800 and outputs[0] == outputs[1]
    assert outputs[0] == [[[z.real, z.imag] for z in op.matrix] for op in taskelon.build_qv_op_list(40, 0, 123)]


def test_entries_follow_the_haar_law():
    # Haar 4x4: |U_ij|^2 ~ Beta(1, 3) (variance 3/80) and every entry has mean 0; a real, uniform,
    # badly formed or phase-uncorrected Gaussian fill breaks one of these by many standard errors.
    u = matrices(taskelon.build_qv_op_list(200, 0, 2024))
    n, p = len(u), np.abs(u) ** 2
    assert abs(p.var() - 3 / 80) < 0.003
    assert np.abs(u.real.mean(axis=0)).max() < 0.02 and np.abs(u.imag.mean(axis=0)).max() < 0.02
    # Kolmogorov-Smirnov distance of each position against F(x) = 1 - (1-x)^3;
    # 0.025 is about 6.5 standard deviations for 19900 matrices.
    grid = np.arange(1, n + 1) / n
    cdf = 1 - (1 - np.sort(p.reshape(n, 16), axis=0)) ** 3
    d = np.maximum((grid[:, None] - cdf).max(axis=0), (cdf - (grid[:, None] - 1 / n)).max(axis=0))
    assert d.max() < 0.025, d

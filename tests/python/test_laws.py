"""The user's own laws in the native loop (Expression, NativeEffect) against a Corvane stand-in
in another process: the force on the wire is the law at the previous reply, state carries from
cycle to cycle, live parameters arrive whole, and every bad law or function is refused before
the loop could run it."""

import ctypes
import gc
import math
import shutil
import subprocess
import time
from pathlib import Path

import pytest

from test_servo_loop import double, f32, make_loop, wire  # noqa: F401 (fixtures)

ROOT = Path(__file__).resolve().parents[2]
SNAP_C = ROOT / "examples" / "snap_point.c"

# A magnetic snap point at P with stiffness K and radius R, and a viscous box: as the example
# writes them.
P, K, R = (0.01, 0.0, 0.02), 300.0, 0.01
SNAP = dict(
    fx="d = sqrt((x-px)^2 + (y-py)^2 + (z-pz)^2), d < r ? -k*(x-px)*(1 - d/r) : 0",
    fy="d < r ? -k*(y-py)*(1 - d/r) : 0",
    fz="d < r ? -k*(z-pz)*(1 - d/r) : 0",
    params={"px": P[0], "py": P[1], "pz": P[2], "k": K, "r": R}, state={"d": 0.0})
CENTRE, HALF, B = (0.0, 0.0, 0.0), (0.02, 0.02, 0.01), 4.0
INSIDE_BOX = "abs(x-cx) < hx && abs(y-cy) < hy && abs(z-cz) < hz"
BOX = dict(fx=f"{INSIDE_BOX} ? -b*vx : 0", fy=f"{INSIDE_BOX} ? -b*vy : 0",
           fz=f"{INSIDE_BOX} ? -b*vz : 0",
           params={"cx": 0.0, "cy": 0.0, "cz": 0.0, "hx": HALF[0], "hy": HALF[1], "hz": HALF[2],
                   "b": B})

# Laws the tests need beyond the example's: a cycle counter that also shows t and dt, the
# parameters as the force, and a force that is not a number.
TEST_LAWS_C = r"""
#include <math.h>
#include "orvex_effect.h"
void count(const orvex_effect_input* in, const double* p, double* state, double* force) {
  (void)p;
  state[0] += 1;
  force[0] = in->time;
  force[1] = 1000 * in->dt;
  force[2] = 1e-3 * state[0];
}
void parameters_as_force(const orvex_effect_input* in, const double* p, double* s, double* f) {
  (void)in; (void)s;
  for (int i = 0; i < 3; ++i) f[i] = p[i];
}
void not_a_number(const orvex_effect_input* in, const double* p, double* s, double* f) {
  (void)in; (void)p; (void)s;
  f[0] = NAN;
}
volatile int hang_now = 0, let_go = 0, stuck = 0;
void hangs_when_told(const orvex_effect_input* in, const double* p, double* s, double* f) {
  (void)in; (void)p; (void)s;
  if (hang_now) {
    stuck = 1;
    while (!let_go) {}
  }
  f[0] = 8;
}
"""


def snap_law(x):
    offset = [f32(a) - p for a, p in zip(x, P)]
    d = math.sqrt(sum(o * o for o in offset))
    return tuple(-K * o * (1 - d / R) for o in offset) if d < R else (0.0, 0.0, 0.0)


def box_law(x, v):
    inside = all(abs(f32(a) - c) < h for a, c, h in zip(x, CENTRE, HALF))
    return tuple(-B * f32(e) for e in v) if inside else (0.0, 0.0, 0.0)


@pytest.fixture(scope="module")
def native_laws(tmp_path_factory):
    """The example's snap point and the tests' laws, compiled with the system's C compiler."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if not compiler:
        pytest.skip("no C compiler")
    work = tmp_path_factory.mktemp("laws")
    (work / "test_laws.c").write_text(TEST_LAWS_C)
    library = work / "laws.so"
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-I", str(ROOT / "Library/include/Haptics"),
                    "-o", str(library), str(SNAP_C), str(work / "test_laws.c"), "-lm"], check=True)
    return ctypes.CDLL(str(library))


def snap_native(haptics, laws):
    return haptics.NativeEffect(laws.snap_point, [*P, K, R])


V = (0.1, -0.2, 0.05)
NEAR, FAR = (0.014, 0.003, 0.017), (0.03, 0.0, 0.02)
IN_BOX, OUT_OF_BOX = (0.01, -0.015, 0.005), (0.01, -0.015, 0.012)
CASES = {
    "snap expression near": ("snap", NEAR, snap_law(NEAR)),
    "snap expression far": ("snap", FAR, (0.0, 0.0, 0.0)),
    "box expression inside": ("box", IN_BOX, box_law(IN_BOX, V)),
    "box expression outside": ("box", OUT_OF_BOX, (0.0, 0.0, 0.0)),
    "snap native near": ("native", NEAR, snap_law(NEAR)),
    "snap native far": ("native", FAR, (0.0, 0.0, 0.0)),
}


def make_law(haptics, kind, native_laws):
    if kind == "native":
        return snap_native(haptics, native_laws)
    return haptics.Expression(**(SNAP if kind == "snap" else BOX))


@pytest.mark.parametrize("case", CASES)
def test_a_law_commands_its_force_from_the_previous_reply(haptics, double, make_loop, native_laws,
                                                          case):
    kind, position, expected = CASES[case]
    assert "far" in case or "outside" in case or any(expected)
    double.state(position, V)
    loop = make_loop(watchdog_s=0)
    loop.add(make_law(haptics, kind, native_laws))
    loop.start()
    want = wire(expected)
    assert double.wait_for(want) == pytest.approx(want, rel=1e-6, abs=1e-9)


def counter(haptics, native_laws, route):
    if route == "native":
        return haptics.NativeEffect(native_laws.count, state_size=1)
    return haptics.Expression("t", "1000*dt", "n = n + 1, 1e-3*n", state={"n": 0.0})


@pytest.mark.parametrize("route", ["expression", "native"])
def test_state_carries_over_and_t_and_dt_follow_the_loop(haptics, double, make_loop, native_laws,
                                                         route):
    loop = make_loop(watchdog_s=0, max_force=1000.0, trace_capacity=200, ramp_s=0)
    loop.add(counter(haptics, native_laws, route))
    loop.start()
    deadline = time.monotonic() + 10
    while loop.stats()["cycles"] < 300 and time.monotonic() < deadline:
        time.sleep(0.02)
    rows = memoryview(loop.trace()).tolist()
    started = loop.stats()["started"]
    # A copy of a full ring while the loop runs may lose its oldest rows to the next pushes.
    assert len(rows) >= 190
    for before, row in zip(rows, rows[1:]):
        assert row[14] == before[14] + 1
        # The counter grows by one per cycle; t is the cycle's time since the start (a row's time
        # is on the layer's clock); dt the time since the last.
        assert row[9] - before[9] == pytest.approx(1e-3, rel=1e-3)
        assert row[7] == pytest.approx(f32(row[0] - started), rel=1e-6)
        assert row[8] == pytest.approx(f32(1000 * (row[0] - before[0])), rel=1e-5, abs=1e-4)
    # The first cycle has no reply to render from: effects begin at the second, or later when
    # the first reply came late (on a loaded machine).
    unrendered = row[14] - 1e3 * row[9]
    assert unrendered == pytest.approx(round(unrendered), abs=1e-2) and round(unrendered) >= 0
    dts = [1000 * (b[0] - a[0]) for a, b in zip(rows, rows[1:])]
    assert sorted(dts)[len(dts) // 2] == pytest.approx(1.0, abs=0.3)  # ms, at 1 kHz


def test_expression_state_reads_back_as_the_loop_left_it(haptics, double, make_loop):
    law = haptics.Expression("0", "0", "n = n + 1, 0", state={"n": 5.0})
    assert law.state == {"n": 5.0}
    loop = make_loop(watchdog_s=0)
    loop.add(law)
    loop.start()
    time.sleep(0.2)
    loop.stop()
    # Every cycle but the first, which has no reply to render from, counted once.
    assert law.state["n"] == 5.0 + loop.stats()["cycles"] - 1


def change_snap_stiffness(law, k, how):
    if how == "native":
        law.params[3] = k
    elif how == "item":
        law.params["k"] = k
    else:
        law.set(k=k, r=R)


@pytest.mark.parametrize("how", ["item", "set", "native"])
def test_a_parameter_changed_while_running_reaches_the_wire(haptics, double, make_loop,
                                                            native_laws, how):
    law = make_law(haptics, "native" if how == "native" else "snap", native_laws)
    double.state(NEAR, V)
    loop = make_loop(watchdog_s=0)
    loop.add(law)
    loop.start()
    assert double.wait_for(wire(snap_law(NEAR))) == pytest.approx(wire(snap_law(NEAR)), rel=1e-6)
    change_snap_stiffness(law, 2 * K, how)
    want = wire(tuple(2 * f for f in snap_law(NEAR)))
    assert double.wait_for(want) == pytest.approx(want, rel=1e-6)


@pytest.mark.parametrize("route", ["expression", "native"])
def test_non_finite_results_never_reach_the_wire(haptics, double, make_loop, native_laws, route):
    law = (haptics.NativeEffect(native_laws.not_a_number) if route == "native"
           else haptics.Expression("sqrt(-1)", "0", "1/0"))
    loop = make_loop(watchdog_s=0)
    loop.add(law)
    loop.start()
    deadline = time.monotonic() + 5
    while loop.stats()["non_finite"] < 5 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert loop.stats()["non_finite"] >= 5
    force, count = double.last()
    assert count > 0 and force == (0.0, 0.0, 0.0)


@pytest.mark.parametrize("route", ["expression", "native"])
def test_a_law_removed_while_running_stops_counting_and_may_be_collected(
        haptics, double, make_loop, native_laws, route):
    double.state(NEAR, V)
    loop = make_loop(watchdog_s=0)
    law = make_law(haptics, "native" if route == "native" else "snap", native_laws)
    loop.add(law)
    loop.start()
    assert double.wait_for(wire(snap_law(NEAR))) == pytest.approx(wire(snap_law(NEAR)), rel=1e-6)
    loop.remove(law)
    del law
    gc.collect()
    assert double.wait_for((0.0, 0.0, 0.0)) == (0.0, 0.0, 0.0)
    cycles = loop.stats()["cycles"]
    time.sleep(0.05)
    assert loop.running and loop.stats()["cycles"] > cycles


def test_a_law_kept_by_a_loop_outlives_its_python_name(haptics, double, make_loop, native_laws):
    double.state(NEAR, V)
    loop = make_loop(watchdog_s=0)
    loop.add(haptics.NativeEffect(native_laws.snap_point, [*P, K, R]))
    loop.add(haptics.Expression(**SNAP))
    gc.collect()
    loop.start()
    want = wire(tuple(2 * f for f in snap_law(NEAR)))
    assert double.wait_for(want) == pytest.approx(want, rel=1e-6)


def test_a_law_with_state_is_refused_by_a_second_loop(orvex, haptics, double, make_loop,
                                                      native_laws):
    for law in (haptics.Expression("0", "0", "0"), haptics.NativeEffect(native_laws.count)):
        make_loop().add(law)
        with pytest.raises(ValueError, match="another loop"):
            make_loop().add(law)


EXPRESSION_ERRORS = {
    "unknown name": (("k*x", "0", "0"), {}, r'fx "k\*x": unknown name "k" at position 0'),
    "syntax": (("0", "x +* 2", "0"), {}, r'fy "x \+\* 2": Unexpected operator "\*" found at position 3'),
    "parenthesis": (("0", "0", "sqrt(x"), {}, r'fz "sqrt\(x": Missing parenthesis.*position'),
    "empty": (("", "0", "0"), {}, r'fx "": Expression is empty'),
    "a name the loop gives": (("0", "0", "0"), {"params": {"dt": 1.0}}, r'"dt" is one the loop'),
    "a name twice": (("0", "0", "0"), {"params": {"a": 1.0}, "state": {"a": 0.0}},
                     r'"a" is given twice'),
    "a value not finite": (("0", "0", "0"), {"state": {"s": math.inf}}, r'"s" must be finite'),
    "a bad name": (("0", "0", "0"), {"params": {"2k": 1.0}}, "not a valid name"),
    "too many": (("0", "0", "0"), {"params": {f"p{i}": 0.0 for i in range(17)}}, "at most 16"),
}


@pytest.mark.parametrize("case", EXPRESSION_ERRORS)
def test_each_construction_error_is_named(haptics, case):
    forces, keywords, message = EXPRESSION_ERRORS[case]
    with pytest.raises(ValueError, match=message):
        haptics.Expression(*forces, **keywords)


def test_live_parameters_refuse_unknown_names_and_values_that_are_not_finite(haptics,
                                                                             native_laws):
    law = haptics.Expression(**SNAP)
    assert dict(law.params.items()) == SNAP["params"] and len(law.params) == 5
    with pytest.raises(KeyError):
        law.params["q"] = 1.0
    with pytest.raises(KeyError):
        law.set(k=1.0, q=2.0)
    with pytest.raises(ValueError, match="finite"):
        law.set(k=1.0, r=math.nan)
    assert law.params["k"] == K  # nothing of a refused change was applied
    native = snap_native(haptics, native_laws)
    native.params[-1] = 0.5
    assert list(native.params) == [*P, K, 0.5]
    with pytest.raises(IndexError):
        native.params[5] = 1.0
    with pytest.raises(ValueError, match="finite"):
        native.params[0] = math.inf


BAD_FUNCTIONS = {
    "None": (lambda laws: None, TypeError, "not None"),
    "zero": (lambda laws: 0, ValueError, "address is 0"),
    "a string": (lambda laws: "snap_point", TypeError, "ctypes function pointer"),
    "a ctypes value": (lambda laws: ctypes.c_double(1.0), TypeError, "ctypes function pointer"),
    "a null ctypes pointer": (lambda laws: ctypes.CFUNCTYPE(None)(), ValueError, "address is 0"),
    "data, not code": (lambda laws: ctypes.addressof(ctypes.c_double(1.0)), ValueError,
                       "no executable code"),
    "a Python callback": (lambda laws: ctypes.CFUNCTYPE(None)(lambda: None), ValueError,
                          "Python function"),
    "an address attribute that is not one": (lambda laws: type("F", (), {"address": "x"})(),
                                             TypeError, "address attribute"),
}


@pytest.mark.parametrize("case", BAD_FUNCTIONS)
def test_a_native_effect_refuses_a_bad_function_before_calling_it(haptics, native_laws, case):
    make, error, message = BAD_FUNCTIONS[case]
    with pytest.raises(error, match=message):
        haptics.NativeEffect(make(native_laws))


def test_native_functions_come_as_ctypes_pointers_addresses_or_address_attributes(haptics,
                                                                                  native_laws):
    address = ctypes.cast(native_laws.snap_point, ctypes.c_void_p).value
    holder = type("CFunc", (), {"address": address})()
    for function in (native_laws.snap_point, address, holder):
        assert haptics.NativeEffect(function, [*P, K, R]).address == address
    with pytest.raises(ValueError, match="at most 16"):
        haptics.NativeEffect(address, [0.0] * 17)
    with pytest.raises(ValueError, match="state_size"):
        haptics.NativeEffect(address, state_size=-1)


def test_an_effect_cannot_be_subclassed_in_python(haptics):
    with pytest.raises(TypeError, match="Expression.*NativeEffect"):
        class Snap(haptics.Effect):
            pass


def test_a_law_that_never_returns_has_the_arm_taken_from_it(haptics, double, make_loop,
                                                             native_laws):
    flags = {name: ctypes.c_int.in_dll(native_laws, name) for name in ("hang_now", "let_go", "stuck")}
    loop = make_loop(watchdog_s=0.1, ramp_s=0)
    loop.add(haptics.NativeEffect(native_laws.hangs_when_told))
    loop.start()
    assert double.wait_for(lambda f: f[0] == 8.0)[0] == 8.0
    try:
        flags["hang_now"].value = 1
        deadline = time.monotonic() + 5
        while not flags["stuck"].value and time.monotonic() < deadline:
            loop.feed()
            time.sleep(0.001)
        hung = time.monotonic()
        # The law spins at the loop's priority; the supervisor commands zero.
        while loop.running and time.monotonic() < hung + 5:
            loop.feed()
            time.sleep(0.001)
        assert time.monotonic() - hung < 0.1 + 0.5
        assert double.wait_for((0.0, 0.0, 0.0)) == (0.0, 0.0, 0.0)
        asked = time.monotonic()
        loop.stop()
        assert time.monotonic() - asked < 1.0
        assert loop.stats()["stop_reason"] == "effect hung"
        with pytest.raises(RuntimeError, match="the loop stopped: effect hung"):
            loop.force = [1.0, 0.0, 0.0]
        with pytest.raises(RuntimeError, match="never returned"):
            loop.start()
        _, sent = double.last()
    finally:
        flags["let_go"].value = 1
    time.sleep(0.05)
    # The stuck cycle's 8 N never went out.
    assert double.last() == ((0.0, 0.0, 0.0), sent)


def test_a_force_too_long_to_square_still_steps_down_at_the_limit(haptics, double, make_loop):
    loop = make_loop(watchdog_s=0, ramp_s=0, max_force_step=0.5, trace_capacity=100)
    loop.force = [8.0, 0.0, 0.0]
    loop.start()
    assert double.wait_for((8.0, 0.0, 0.0)) == (8.0, 0.0, 0.0)
    law = haptics.Expression("-1e200", "0", "0")
    loop.add(law)
    loop.force = [0.0, 0.0, 0.0]
    # Clamped to -10 N, reached through steps of 0.5 N, never frozen at +8 N.
    assert double.wait_for((-10.0, 0.0, 0.0)) == (-10.0, 0.0, 0.0)
    loop.remove(law)
    assert double.wait_for((0.0, 0.0, 0.0)) == (0.0, 0.0, 0.0)
    loop.stop()
    fx = [row[7] for row in memoryview(loop.trace()).tolist()]
    assert max(abs(b - a) for a, b in zip(fx, fx[1:])) <= 0.5 + 1e-6


# --- parameters changed at once, and named ----------------------------------------------------

@pytest.mark.slow
@pytest.mark.parametrize("how", ["set", "slice", "names"])
def test_native_parameters_changed_at_once_are_never_torn_in_10000_cycles(
        haptics, double, make_loop, native_laws, how):
    """Each change keeps force = (a, -a, 2a): a cycle that saw half of one would break it."""
    law = haptics.NativeEffect(native_laws.parameters_as_force, {"fx": 0.0, "fy": 0.0, "fz": 0.0})
    loop = make_loop(watchdog_s=0, ramp_s=0, trace_capacity=12000)
    loop.add(law)
    loop.start()
    changes = 0
    deadline = time.monotonic() + 60
    while loop.stats()["cycles"] < 10000 and time.monotonic() < deadline:
        a = 0.001 * (changes % 500)
        if how == "set":
            law.set([a, -a, 2 * a])
        elif how == "slice":
            law.params[0:3] = [a, -a, 2 * a]
        else:
            law.set(fx=a, fy=-a, fz=2 * a)
        changes += 1
        time.sleep(0.0002)  # a change a fifth of a millisecond apart, racing the cycles
    loop.stop()
    rows = memoryview(loop.trace()).tolist()
    torn = [row[7:10] for row in rows if row[8] != -row[7] or row[9] != 2 * row[7]]
    assert len(rows) >= 10000 and changes > 100
    assert torn == []


def test_native_parameters_by_name_index_and_slice(haptics, native_laws):
    law = haptics.NativeEffect(native_laws.parameters_as_force, ("k", "x0", "b"))
    assert law.names == ["k", "x0", "b"] and list(law.params) == [0.0, 0.0, 0.0]
    law["k"] = 200.0
    law.params["b"] = 3.0
    law.params[1:] = [0.5, 4.0]
    assert (law["k"], law[1], law.params[-1], law.params[0:2]) == (200.0, 0.5, 4.0, [200.0, 0.5])
    law.set([1.0, 2.0, 3.0], b=5.0)
    assert list(law.params) == [1.0, 2.0, 5.0] and law.params.keys() == ["k", "x0", "b"]
    unnamed = haptics.NativeEffect(native_laws.parameters_as_force, [1.0, 2.0])
    assert unnamed.names == [] and unnamed[1] == 2.0


@pytest.mark.parametrize("change, error", [
    (lambda law: law.set([1.0, 2.0]), "one value for each of the 3"),
    (lambda law: law.params.__setitem__(slice(0, 2), [1.0]), "a slice of 2"),
    (lambda law: law.set(kk=1.0), "kk"),
    (lambda law: law.__setitem__("kk", 1.0), "kk"),
    (lambda law: law.set([1.0, NAN_VALUE, 3.0]), "finite"),
    (lambda law: law.params.__setitem__(3, 1.0), "out of range"),
], ids=["set too few", "slice too few", "set unknown name", "item unknown name", "not finite",
        "index out of range"])
def test_native_parameter_changes_refused_change_nothing(haptics, native_laws, change, error):
    law = haptics.NativeEffect(native_laws.parameters_as_force, {"k": 1.0, "x0": 2.0, "b": 3.0})
    with pytest.raises((ValueError, KeyError, IndexError), match=error):
        change(law)
    assert list(law.params) == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("params, error", [
    (("k", "k"), "given twice"), (("k", 1.0), "not a mix"), (("",), "empty"),
])
def test_native_parameter_names_refused(haptics, native_laws, params, error):
    with pytest.raises(ValueError, match=error):
        haptics.NativeEffect(native_laws.parameters_as_force, params)


NAN_VALUE = float("nan")


@pytest.mark.parametrize("fy, error", [
    ("kk*x", 'fy "kk\\*x": unknown name "kk" at position 0'),
    ("x + floorr(y)", 'unknown name "floorr" at position 4'),
    ("clamp(x, 1)", "fy"),
])
def test_expression_errors_name_the_unknown_name_and_where(haptics, fy, error):
    with pytest.raises(ValueError, match=error):
        haptics.Expression("0", fy, "0")

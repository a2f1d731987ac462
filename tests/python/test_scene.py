"""The scene from Python: shapes that read back what they were given and refuse what makes no
shape, a scene that holds them like a set, and at the wire the emulator's arm resting on a
sphere at the depth its push and the sphere's stiffness give."""

import math
import time

import pytest

NAN = float("nan")


def torus(around, across, major=0.05, minor=0.02):
    vertices = [((major + minor * math.cos(v)) * math.cos(u),
                 (major + minor * math.cos(v)) * math.sin(u), minor * math.sin(v))
                for u in (2 * math.pi * i / around for i in range(around))
                for v in (2 * math.pi * j / across for j in range(across))]
    index = lambda i, j: (i % around) * across + j % across  # noqa: E731
    triangles = []
    for i in range(around):
        for j in range(across):
            triangles += [(index(i, j), index(i + 1, j), index(i + 1, j + 1)),
                          (index(i, j), index(i + 1, j + 1), index(i, j + 1))]
    return vertices, triangles


SHAPES = {
    "sphere": (lambda h, **m: h.Sphere(0.03, (0.01, 0.0, -0.02), **m),
               {"radius": 0.03, "position": [0.01, 0.0, -0.02]}),
    "box": (lambda h, **m: h.Box((0.02, 0.04, 0.06), orientation=(2, 0, 0, 0), **m),
            {"size": [0.02, 0.04, 0.06], "orientation": [1.0, 0.0, 0.0, 0.0]}),
    "plane": (lambda h, **m: h.Plane(point=(0, 0, -0.05), normal=(0, 0, 3), **m),
              {"point": [0.0, 0.0, -0.05], "normal": [0.0, 0.0, 1.0]}),
    "capsule": (lambda h, **m: h.Capsule(0.01, 0.05, position=(0, 0.02, 0), **m),
                {"radius": 0.01, "length": 0.05, "position": [0.0, 0.02, 0.0]}),
    "mesh": (lambda h, **m: h.Mesh([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [[0, 1, 2]], **m),
             {"vertices": [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]],
              "triangles": [[0, 1, 2]]}),
}


@pytest.mark.parametrize("kind", SHAPES)
def test_shapes_read_back_their_geometry_and_material(haptics, kind):
    make, geometry = SHAPES[kind]
    shape = make(haptics, stiffness=800.0, damping=2.0, static_friction=0.4,
                 dynamic_friction=0.25)
    for name, value in geometry.items():
        assert getattr(shape, name) == value
    assert (shape.stiffness, shape.damping, shape.static_friction,
            shape.dynamic_friction) == (800.0, 2.0, 0.4, 0.25)
    shape.stiffness = 1200.0
    assert shape.stiffness == 1200.0
    default = make(haptics)
    assert (default.stiffness, default.damping, default.static_friction,
            default.dynamic_friction) == (1000.0, 0.0, 0.0, 0.0)


@pytest.mark.parametrize("make, named", [
    (lambda h: h.Sphere(0.0), "radius"),
    (lambda h: h.Sphere(NAN), "radius"),
    (lambda h: h.Sphere(0.1, (0, NAN, 0)), "position"),
    (lambda h: h.Sphere(0.1, (0, 0)), "position"),
    (lambda h: h.Box((0.1, -0.1, 0.1)), "size"),
    (lambda h: h.Box((0.1, 0.1, 0.1), orientation=(0, 0, 0, 0)), "orientation"),
    (lambda h: h.Box((0.1, 0.1, 0.1), orientation=(1, 0, 0)), "orientation"),
    (lambda h: h.Plane((0, 0, 0), (0, 0, 0)), "normal"),
    (lambda h: h.Capsule(0.01, 0.0), "length"),
    (lambda h: h.Sphere(0.1, stiffness=-1.0), "stiffness"),
    (lambda h: h.Sphere(0.1, damping=math.inf), "damping"),
    (lambda h: h.Sphere(0.1, static_friction=-0.1), "static_friction"),
    (lambda h: h.Sphere(0.1, static_friction=0.1, dynamic_friction=0.2), "dynamic_friction"),
    (lambda h: h.Mesh([], []), "triangles"),
    (lambda h: h.Mesh([(0, 0, 0)], [(0, 0, 1)]), "triangles"),
    (lambda h: h.Mesh([(0, 0, 0)], [(0, 0, -1)]), "triangles"),
    (lambda h: h.Mesh([(0, 0, 0)], [(0, 0, 0.5)]), "triangles"),
    (lambda h: h.Mesh([(0, 0, NAN)], [(0, 0, 0)]), "vertices"),
    (lambda h: h.Mesh([(0, 0)], [(0, 0, 0)]), "vertices"),
])
def test_bad_input_is_a_value_error_naming_it(haptics, make, named):
    with pytest.raises(ValueError, match=named):
        make(haptics)


def test_bad_values_set_later_are_refused_and_leave_the_shape_as_it_was(haptics):
    ball = haptics.Sphere(0.02, static_friction=0.3, dynamic_friction=0.2)
    with pytest.raises(ValueError, match="radius"):
        ball.radius = -1.0
    with pytest.raises(ValueError, match="dynamic_friction"):
        ball.static_friction = 0.1
    with pytest.raises(ValueError, match="position"):
        ball.position = (0, 0, math.inf)
    assert (ball.radius, ball.static_friction, ball.position) == (0.02, 0.3, [0.0, 0.0, 0.0])


def test_a_scene_holds_its_shapes_like_a_set(haptics):
    scene = haptics.Scene()
    ball, floor = haptics.Sphere(0.01), haptics.Plane((0, 0, 0), (0, 0, 1))
    assert scene.add(ball) is ball
    scene.add(floor)
    assert len(scene) == 2 and list(scene) == [ball, floor]
    with pytest.raises(ValueError, match="already"):
        scene.add(ball)
    with pytest.raises(TypeError):
        scene.add(None)
    scene.remove(ball)
    with pytest.raises(ValueError, match="not in the scene"):
        scene.remove(ball)
    scene.clear()
    assert len(scene) == 0 and scene.contact() is None
    for _ in range(64):
        scene.add(haptics.Sphere(0.01))
    with pytest.raises(RuntimeError, match="64"):
        scene.add(ball)


def test_a_mesh_takes_numpy_arrays_as_well_as_lists(haptics):
    numpy = pytest.importorskip("numpy")
    vertices, triangles = torus(40, 20)
    from_lists = haptics.Mesh(vertices, triangles)
    from_arrays = haptics.Mesh(numpy.asarray(vertices), numpy.asarray(triangles, dtype=numpy.int64))
    assert from_arrays.vertices == from_lists.vertices
    assert from_arrays.triangles == from_lists.triangles


@pytest.fixture
def loop_on_emulator(orvex, haptics, emulator):
    loops = []

    def make(**settings):
        loop = haptics.ServoLoop(orvex.SerialStream(emulator("--corvane").path(0)), 1000.0,
                                 watchdog_s=0, **settings)
        loops.append(loop)
        return loop

    yield make
    for loop in loops:
        loop.stop()


def settle(loop, condition, timeout=5.0, held_s=0.2):
    """The state once the condition has held for held_s: a bounce's turning point is still for
    one sample, never for a fifth of a second."""
    deadline = time.monotonic() + timeout
    since = None
    while time.monotonic() < deadline:
        state = loop.state()
        now = time.monotonic()
        if not (state and condition(state)):
            since = None
        elif since is None:
            since = now
        elif now - since >= held_s:
            return state
        time.sleep(0.02)
    return loop.state()


def test_the_arm_pushed_into_a_sphere_comes_to_rest_at_force_over_stiffness(haptics,
                                                                            loop_on_emulator):
    loop = loop_on_emulator(trace_capacity=2000)
    scene = haptics.Scene()
    # The arm starts at the origin, above the ball's top at z = -0.01; friction keeps it from
    # rolling off the top.
    ball = scene.add(haptics.Sphere(0.02, (0, 0, -0.03), stiffness=500.0, damping=5.0,
                                    static_friction=1.0, dynamic_friction=0.8))
    loop.add(scene)
    loop.add(haptics.ConstantForce(force=(0, 0, -1.5)))
    loop.start()
    state = settle(loop, lambda s: abs(s["velocity"][2]) < 1e-4 and s["position"][2] < -0.01)
    expected_depth = 1.5 / 500.0
    assert state["position"][2] == pytest.approx(-0.01 - expected_depth, abs=3e-4)
    contact = scene.contact()
    assert contact is not None and contact["shape"] is ball
    assert contact["depth"] == pytest.approx(expected_depth, abs=3e-4)
    assert contact["normal"] == pytest.approx((0, 0, 1), abs=0.02)
    assert state["proxy"][2] == pytest.approx(-0.01, abs=1e-4)
    last = memoryview(loop.trace()).tolist()[-1]
    assert last[haptics.TRACE_COLUMNS.index("proxy_z")] == pytest.approx(-0.01, abs=1e-4)


def test_an_arm_inside_a_shape_at_start_feels_nothing(haptics, loop_on_emulator):
    loop = loop_on_emulator()
    scene = haptics.Scene()
    scene.add(haptics.Sphere(0.05, (0, 0, 0), stiffness=2000.0))
    loop.add(scene)
    loop.start()
    time.sleep(0.2)
    state = loop.state()
    assert state["force"] == [0.0, 0.0, 0.0]
    assert scene.contact() is None
    assert state["proxy"] == pytest.approx(state["position"])


def test_a_block_of_changes_reaches_the_wire_at_one_cycle(haptics, loop_on_emulator):
    """The arm rests on a ball pushed down by 1.5 N; a block moves the ball away and puts a
    second one under the arm: until the block ends the loop renders the first ball still, and
    then the second at once, the arm never falling between them."""
    loop = loop_on_emulator()
    scene = haptics.Scene()
    first = scene.add(haptics.Sphere(0.02, (0, 0, -0.03), stiffness=500.0, damping=5.0,
                                     static_friction=1.0, dynamic_friction=0.8))
    second = scene.add(haptics.Sphere(0.02, (0.2, 0, -0.03), stiffness=500.0, damping=5.0,
                                      static_friction=1.0, dynamic_friction=0.8))
    loop.add(scene)
    loop.add(haptics.ConstantForce(force=(0, 0, -1.5)))
    loop.start()
    settle(loop, lambda s: abs(s["velocity"][2]) < 1e-4 and s["position"][2] < -0.01)
    with scene.update():
        first.set_pose((0.2, 0, -0.03))
        time.sleep(0.05)  # many cycles: the arm still rests on the first ball
        assert scene.contact()["shape"] is first
        second.set_pose((0, 0, -0.03))
    state = settle(loop, lambda s: scene.contact() and scene.contact()["shape"] is second)
    assert scene.contact()["shape"] is second
    assert state["position"][2] > -0.01 - 2 * 1.5 / 500.0


def test_a_timed_pose_moves_the_shape_between_poses(haptics):
    box = haptics.Box((0.02, 0.02, 0.02))
    box.set_pose((0, 0, 0), time=1.0)
    box.set_pose((0.01, 0, 0), (0, 0, 0, 1), time=1.1, hold="linear")
    assert box.position == [0.01, 0.0, 0.0] and box.orientation == [0.0, 0.0, 0.0, 1.0]
    with pytest.raises(ValueError, match="hold"):
        box.set_pose((0, 0, 0), time=1.2, hold="cubic")
    with pytest.raises(ValueError, match="finite"):
        box.set_pose((0, 0, 0), time=NAN)

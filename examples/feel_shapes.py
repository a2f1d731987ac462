"""Shapes you can feel: a sphere, a box with friction and a torus mesh of 20,000 triangles,
rendered by the native servo loop through a proxy at 1 kHz while the main thread computes.

    python3 feel_shapes.py PORT [SECONDS]

Move the arm into each shape: the sphere on the left is smooth, the box on the right holds you
back when you slide on it, and the torus beyond them has a hole you can pass through. Without an
arm, the emulator's hand visits each shape in turn: start `orvex-emulator --corvane --hand
examples/hands/feel_shapes.csv --hand-loop` and pass its port.

The scene is one effect of the loop: each cycle its proxy follows the arm but stays on the
surfaces, and the force is the stiffness times the distance from the arm to the proxy. The main
thread searches for prime numbers meanwhile, and between slices of that work looks at what the
proxy touches.
"""

import math
import sys
import time
from typing import Dict, List, Tuple

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

RATE_HZ = 1000.0
WORK_SLICE = 0.02  # s of prime search between two looks at the contact


def torus(major: float, minor: float, around: int, across: int
          ) -> Tuple[List[Tuple[float, float, float]], List[Tuple[int, int, int]]]:
    """A torus around z, 2 × around × across triangles wound with their normals out."""
    vertices = []
    for i in range(around):
        u = 2 * math.pi * i / around
        for j in range(across):
            v = 2 * math.pi * j / across
            ring = major + minor * math.cos(v)
            vertices.append((ring * math.cos(u), ring * math.sin(u), minor * math.sin(v)))
    triangles = []
    for i in range(around):
        for j in range(across):
            a = i * across + j
            b = (i + 1) % around * across + j
            c = (i + 1) % around * across + (j + 1) % across
            d = i * across + (j + 1) % across
            triangles += [(a, b, c), (a, c, d)]
    return vertices, triangles


def is_prime(n: int) -> bool:
    divisor = 2
    while divisor * divisor <= n:
        if n % divisor == 0:
            return False
        divisor += 1
    return n >= 2


def main(port: str, seconds: float) -> None:
    scene = haptics.Scene()
    ball = scene.add(haptics.Sphere(0.02, (-0.05, 0.0, 0.0), stiffness=1500.0, damping=2.0))
    box = scene.add(haptics.Box((0.03, 0.03, 0.03), (0.05, 0.0, 0.0), (0.92388, 0, 0, 0.38268),
                                stiffness=1500.0, static_friction=0.6, dynamic_friction=0.4))
    made = time.perf_counter()
    vertices, triangles = torus(0.03, 0.01, 100, 100)
    ring = scene.add(haptics.Mesh(vertices, triangles, position=(0.0, 0.06, 0.0),
                                  stiffness=1500.0))
    made = time.perf_counter() - made
    names = {id(ball): "sphere", id(box): "box", id(ring): "torus"}
    print("torus of %d triangles made in %.0f ms (its hierarchy built on this thread)"
          % (len(triangles), made * 1e3))

    loop = haptics.ServoLoop(orvex.SerialStream(port), RATE_HZ)
    loop.add(scene)
    touched: Dict[str, int] = {}
    looks = 0
    deepest: Dict[str, float] = {}
    primes = found = 0
    with loop:
        start = time.monotonic()
        while loop.running and time.monotonic() - start < seconds:
            loop.feed()
            end = time.perf_counter() + WORK_SLICE
            while time.perf_counter() < end:
                primes += 1
                found += is_prime(primes)
            contact = scene.contact()
            looks += 1
            if contact is not None:
                name = names.get(id(contact["shape"]), "?")
                touched[name] = touched.get(name, 0) + 1
                deepest[name] = max(deepest.get(name, 0.0), contact["depth"])
        last = scene.contact()
        state = loop.state()
    stats = loop.stats()
    for name in ("sphere", "box", "torus"):
        print("%-6s touched in %3.0f%% of the looks, deepest %.2f mm"
              % (name, 100.0 * touched.get(name, 0) / max(looks, 1), 1e3 * deepest.get(name, 0.0)))
    if last is not None:
        print("last contact: %s, proxy (%.4f, %.4f, %.4f) m, depth %.2f mm, normal (%.2f, %.2f, %.2f)"
              % (names.get(id(last["shape"]), "?"), *last["proxy"], 1e3 * last["depth"],
                 *last["normal"]))
    if state is not None:
        print("arm at (%.4f, %.4f, %.4f) m, proxy at (%.4f, %.4f, %.4f) m"
              % (*state["position"], *state["proxy"]))
    print("feel shapes: %d cycles, %.0f Hz; %d missed deadlines (%.2f%% held); wake-up lateness"
          " p99 %.0f us; exchange p99 %.0f us; stopped by %s"
          % (stats["cycles"], stats["rate_hz"], stats["missed"],
             100.0 * (1 - stats["missed"] / max(stats["cycles"], 1)), stats["late_p99_us"],
             stats["exchange_p99_us"], stats["stop_reason"]))
    print("main thread meanwhile: %d primes below %d" % (found, primes))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 6.0)

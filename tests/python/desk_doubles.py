"""Recording stand-ins for OrvexHaptics' servo loop and handle listener, for the desk's server
tests: every call that would reach a device is kept in `calls`, and nothing else happens."""

import array
from types import SimpleNamespace


def _effect(kind):
    class Effect:
        def __init__(self, **arguments):
            self.kind = kind
            self.__dict__.update(arguments)

    Effect.__name__ = kind
    return Effect


class Scene:
    kind = "Scene"

    def __init__(self):
        self.shapes = []

    def add(self, shape):
        self.shapes.append(shape)
        return shape

    def clear(self):
        self.shapes = []


class ServoLoop:
    made = []

    def __init__(self, stream, rate_hz=1000.0, *, max_force=10.0, watchdog_s=0.1,
                 trace_capacity=0, realtime=False, ramp_s=0.25, max_force_step=None,
                 reconnect=False):
        self.options = dict(rate_hz=rate_hz, max_force=max_force, watchdog_s=watchdog_s,
                            trace_capacity=trace_capacity, realtime=realtime, ramp_s=ramp_s,
                            max_force_step=max_force_step, reconnect=reconnect)
        self.calls = []
        self.effects = []
        self.running = False
        self.rows = []
        self.stop_reason = None
        self.hung = False  # a loop whose cycles stand still while it says it runs
        self.connected = True  # False: waiting for its device to come back, no cycles
        self._cycles = 0
        ServoLoop.made.append(self)

    def start(self):
        self.calls.append(("start",))
        self.running = True

    def stop(self):
        self.calls.append(("stop",))
        self.running = False
        self.stop_reason = "stop"

    @property
    def force(self):
        return self._force

    @force.setter
    def force(self, value):
        self.calls.append(("force", list(value)))
        self._force = list(value)

    def feed(self):
        self.calls.append(("feed",))

    def add(self, effect):
        self.calls.append(("add", effect.kind))
        self.effects.append(effect)

    def remove(self, effect):
        self.calls.append(("remove", effect.kind))
        self.effects.remove(effect)

    def state(self):
        if not self.connected:
            return {"time": 0.0, "cycle": self._cycles, "position": [0.0] * 3,
                    "velocity": [0.0] * 3, "force": [0.0] * 3, "connected": False}
        if not self.rows:
            return None
        row = self.rows[-1]
        return {"time": row[0], "cycle": len(self.rows), "position": row[1:4],
                "velocity": row[4:7], "force": row[7:10]}

    def stats(self):
        if self.running and not self.hung and self.connected:
            self._cycles += 1
        return {"cycles": len(self.rows) + self._cycles, "rate_hz": 1000.0, "missed": 0, "late_p50_us": 5.0,
                "late_p99_us": 20.0, "late_max_us": 40.0, "exchange_p50_us": 170.0,
                "exchange_p99_us": 900.0, "exchange_max_us": 1500.0, "clamped": 0,
                "non_finite": 0, "watchdog_trips": 0, "realtime": False,
                "stop_reason": self.stop_reason}

    def trace(self):
        flat = array.array("d", [value for row in self.rows for value in row])
        return memoryview(flat).cast("B").cast("d", [len(self.rows), 11])


class HandleListener:
    made = []

    def __init__(self, stream, queue_capacity=1024):
        self.calls = []
        self.queue = []
        self.running = False
        HandleListener.made.append(self)

    def start(self):
        self.running = True

    def stop(self):
        self.running = False

    def wakeup(self):
        self.calls.append(("wakeup",))

    def request_status(self):
        self.calls.append(("request_status",))

    def send_state(self, device_id, user_data=b""):
        self.calls.append(("send_state", device_id, bytes(user_data)))

    def latest(self):
        statuses = [m for m in self.queue if m["kind"] == "status"]
        return statuses[-1] if statuses else None

    def info(self):
        return None

    def messages(self, max_count=None, timeout=0.0):
        taken, self.queue = self.queue, []
        return taken

    def stats(self):
        return {"messages": 0, "status": 0, "info": 0, "errors": 0, "unknown": 0, "dropped": 0,
                "rate_hz": 0.0, "stop_reason": None if self.running else "stop"}


def module():
    """Stands in for the OrvexHaptics module."""
    return SimpleNamespace(ServoLoop=ServoLoop, HandleListener=HandleListener,
                           Spring=_effect("Spring"), Damper=_effect("Damper"),
                           Wall=_effect("Wall"), ConstantForce=_effect("ConstantForce"),
                           Scene=Scene, Sphere=_effect("Sphere"), Box=_effect("Box"),
                           Plane=_effect("Plane"))

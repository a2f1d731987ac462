"""One Corvane on the desk: its servo loop, the effects the page set, and what the page plots."""

import copy
import math
import threading
import time
from typing import Any, Dict, List, Optional

import OrvexHaptics as haptics
import OrvexHardwareAPI as orvex

from . import kinds
from .message_log import MessageLog
from .requests import Refused

RATE_HZ = 1000.0
# Long enough that a page that loses its connection for less than this keeps its forces; short
# enough that a page that is gone stops pushing within about a second.
WATCHDOG_S = 1.0
# The largest change of the force from one cycle to the next, in N: 500 N/s at 1 kHz. The
# stiffest wall the desk offers (5000 N/m) met at a brisk 0.1 m/s grows by 0.5 N a millisecond,
# so the limit leaves every effect's feel alone at hand speeds, while a reversal the page asks
# for (+10 N to -10 N) is spread over 40 ms instead of landing in one cycle.
MAX_FORCE_STEP = 0.5
# Forces fade in over this time when the loop starts, when an effect is added, and when the
# watchdog lets the page's beats back in.
RAMP_S = 0.25
# A running loop whose cycle count has not moved for this long is stalled: the desk shows it so
# and stops it. Far longer than any wait of a loaded machine; the loop's own device check
# (a quarter of a second without a reply) ends a loop whose device went silent.
STALL_S = 1.5
# ... seen standing still by this many samples in a row, so that a sampler that was itself held
# up along with the loop (a machine stalled as a whole) does not take the gap for a stall.
STALL_SAMPLES = 15
# Closing the desk waits this long for a stalled loop's own stop, so its zero goes out before the
# port (or the emulator behind it) is closed.
STALLED_STOP_WAIT_S = 2.0
TRACE_ROWS = 1024           # a second of cycles, far more than one sampling period needs
PLOT_STEP_S = 0.004         # rows sent to the page: the first of every 4 ms of loop time
HISTOGRAM_BIN_US = 25.0
HISTOGRAM_BINS = 40         # 0 to 1 ms; the last bin also counts everything slower

TIME, X, VX, FX, EXCHANGE_US = 0, 1, 4, 7, 10

DEFAULT_SETTINGS = dict({name: kinds.defaults(kind) for name, kind in kinds.EFFECTS.items()},
                        force=[0.0, 0.0, 0.0], shapes=[])
# How a shape the page describes is made: its kind's class, given every parameter by name.
SHAPE_CLASSES = {"sphere": "Sphere", "box": "Box", "plane": "Plane"}
# The wall's face is a plane across x; it pushes towards smaller x.
WALL_NORMAL = [-1.0, 0.0, 0.0]


def made(shapes: List[Dict[str, Any]]) -> List[Any]:
    """The scene's shapes from their checked settings; a combination the library refuses (a
    dynamic friction above the static one, a zero normal) is refused whole."""
    try:
        return [getattr(haptics, SHAPE_CLASSES[shape["kind"]])(
            **{key: value for key, value in shape.items() if key != "kind"}) for shape in shapes]
    except ValueError as error:
        raise Refused(422, "shape refused: %s" % error) from None


def describe_info(info: Dict[str, Any]) -> Dict[str, Any]:
    """Device information as JSON can carry it: the UUID as text."""
    return {key: (str(value) if key == "device_id_ext" else value) for key, value in info.items()}


class CorvaneSession:
    kind = "corvane"

    def __init__(self, name: str, port: str, log: MessageLog, max_force: float,
                 max_force_step: float = MAX_FORCE_STEP):
        self.name = name
        self.port = port
        self.max_force = max_force
        self.max_force_step = max_force_step
        self._log = log
        self._lock = threading.Lock()
        self._stream = orvex.SerialStream(port)
        log.sent(name, "wake-up")
        info = orvex.Corvane(self._stream).device_wakeup_dict()
        if info["device_model_number"] != 4:
            raise Refused(422, "no Corvane answered on %s" % port)
        self.info = describe_info(info)
        log.received(name, "device information: id %(device_id)d, model %(device_model_number)d,"
                     " hardware %(hardware_version)d, firmware %(firmware_version)d,"
                     " UUID %(device_id_ext)s" % self.info)
        self.settings = copy.deepcopy(DEFAULT_SETTINGS)
        self._loop: Optional[Any] = None
        self._effects: Dict[str, Any] = {}
        self._scene: Optional[Any] = None
        # The shapes the scene holds: made again only when they change, since a shape made anew
        # around the resting arm is not felt until the arm has left it.
        self._scene_shapes: Optional[List[Dict[str, Any]]] = None
        self._stop_reason: Optional[str] = None
        self._stalled = False
        self._stopping: Optional[threading.Thread] = None  # a stalled loop's stop
        self._reset_sampling()

    def _reset_sampling(self) -> None:
        self._last_time = -1.0
        self._last_slot = -1
        self._histogram = [0] * HISTOGRAM_BINS
        self._cycles = -1
        self._cycles_moved_at = time.monotonic()
        self._still_samples = 0

    @property
    def running(self) -> bool:
        """A loop runs on the port (a stalled one too, until it has stopped)."""
        return self._loop is not None and self._loop.running

    def start(self) -> None:
        # Start and stop hold the lock throughout: a start waits until the loop before has sent
        # its zero and left the port, so never two loops talk to one device.
        with self._lock:
            if self.running:
                raise Refused(409, "the servo loop of %s %s" % (
                    self.name, "stalled and is being stopped" if self._stalled else "is already running"))
            if self._loop is not None:
                # A loop that ended by itself (its device lost) holds the port until it is
                # stopped: a new loop would be refused the port until then.
                self._loop.stop()
                self._loop = None
            loop = haptics.ServoLoop(self._stream, RATE_HZ, max_force=self.max_force,
                                     watchdog_s=WATCHDOG_S, trace_capacity=TRACE_ROWS,
                                     ramp_s=RAMP_S, max_force_step=self.max_force_step,
                                     reconnect=True)
            self._effects = {"wall": haptics.Wall(point=[0.0, 0.0, 0.0], normal=WALL_NORMAL,
                                                  stiffness=0.0),
                             "damper": haptics.Damper(coefficient=0.0),
                             "spring": haptics.Spring(anchor=[0.0, 0.0, 0.0], stiffness=0.0)}
            self._scene = haptics.Scene()
            self._scene_shapes = None
            loop.add(self._scene)
            self._apply(loop, self.settings, added=set())
            self._log.sent(self.name, "wake-up, then the servo loop at %g Hz" % RATE_HZ)
            try:
                loop.start()
            except RuntimeError as error:
                raise Refused(409, "the servo loop did not start: %s" % error) from None
            self._loop = loop
            self._stop_reason = None
            self._stalled = False
            self._reset_sampling()
        self._log.note(self.name, "servo loop started, %s" % self._describe_effects())

    def stop(self) -> None:
        with self._lock:
            loop = self._loop
            if loop is None or self._stalled:
                return  # a stalled loop is being stopped by a thread of its own
            loop.stop()
            self._loop = None
            self._stop_reason = loop.stats()["stop_reason"]
        self._log.sent(self.name, "zero force; servo loop stopped")

    def _let_go_of_stalled(self, loop: Any) -> None:
        """The sampler saw the loop's cycles stand still: shown as stalled at once, stopped (zero
        sent) by a thread of its own, since a stalled loop may take long to stop."""
        self._stalled = True
        self._stop_reason = "stalled"
        self._log.note(self.name, "servo loop stalled: no cycle for %g s; stopping it" % STALL_S)

        def stop_stalled() -> None:
            loop.stop()
            with self._lock:
                if self._loop is loop:
                    self._loop = None
            self._log.sent(self.name, "zero force; stalled servo loop stopped")

        self._stopping = threading.Thread(target=stop_stalled, name="%s stop" % self.name,
                                          daemon=True)
        self._stopping.start()

    def close(self) -> None:
        self.stop()
        stopping = self._stopping
        if stopping is not None:
            stopping.join(STALLED_STOP_WAIT_S)

    def feed(self) -> None:
        loop = self._loop
        if loop is not None:
            try:
                loop.feed()
            except RuntimeError:
                pass  # the loop stopped by itself (device lost): its status says so

    def set_effects(self, checked: Dict[str, Any]) -> None:
        """Settings already checked by `requests.effects`; a running loop takes them at once."""
        with self._lock:
            if "shapes" in checked:
                made(checked["shapes"])  # refused before anything changes
            before = {key: bool(self.settings[key]["enabled"]) for key in kinds.EFFECTS}
            for key, value in checked.items():
                if isinstance(value, dict):
                    self.settings[key].update(value)
                else:
                    self.settings[key] = value
            if self._loop is not None:
                try:
                    self._apply(self._loop, checked,
                                added={key for key, enabled in before.items() if enabled})
                except RuntimeError:
                    pass  # the loop stopped by itself: the settings wait for the next start
        self._log.note(self.name, "effects: %s" % self._describe_effects())

    def _apply(self, loop: Any, changed: Dict[str, Any], added: set) -> None:
        wall, damper, spring = (self._effects[key] for key in ("wall", "damper", "spring"))
        settings = self.settings
        if "wall" in changed:
            wall.point = [settings["wall"]["position"], 0.0, 0.0]
            wall.stiffness = settings["wall"]["stiffness"]
        if "damper" in changed:
            damper.coefficient = settings["damper"]["coefficient"]
        if "spring" in changed:
            spring.anchor = list(settings["spring"]["anchor"])
            spring.stiffness = settings["spring"]["stiffness"]
        for key, effect in self._effects.items():
            if key not in changed:
                continue
            enabled = settings[key]["enabled"]
            if enabled and key not in added:
                loop.add(effect)
            elif not enabled and key in added:
                loop.remove(effect)
        if "force" in changed:
            loop.force = list(settings["force"])
        if "shapes" in changed and settings["shapes"] != self._scene_shapes:
            self._scene.clear()
            for shape in made(settings["shapes"]):
                self._scene.add(shape)
            self._scene_shapes = copy.deepcopy(settings["shapes"])

    def _describe_effects(self) -> str:
        s = self.settings
        parts = []
        if s["wall"]["enabled"]:
            parts.append("wall at x = %g m, %g N/m" % (s["wall"]["position"], s["wall"]["stiffness"]))
        if s["damper"]["enabled"]:
            parts.append("damping %g N·s/m" % s["damper"]["coefficient"])
        if s["spring"]["enabled"]:
            parts.append("spring to (%g, %g, %g) m, %g N/m"
                         % (*s["spring"]["anchor"], s["spring"]["stiffness"]))
        if s["shapes"]:
            parts.append("scene of %s" % ", ".join(shape["kind"] for shape in s["shapes"]))
        parts.append("test force (%g, %g, %g) N" % tuple(s["force"]))
        return "; ".join(parts)

    def describe(self) -> Dict[str, Any]:
        return {"id": self.name, "kind": self.kind, "port": self.port, "info": self.info,
                "schema": kinds.schema(),
                "max_force": self.max_force, "max_force_step": self.max_force_step,
                "settings": copy.deepcopy(self.settings),
                "running": self.running and not self._stalled, "stalled": self._stalled,
                "stop_reason": self._stop_reason}

    def sample(self) -> Dict[str, Any]:
        """What changed since the last sample: new plot rows, state, stats, the histogram."""
        loop = self._loop
        frame = self.describe()
        if loop is None:
            return frame
        stats = loop.stats()
        state = loop.state()
        if not loop.running and self._stop_reason is None:
            self._stop_reason = stats["stop_reason"]
            self._log.note(self.name, "servo loop stopped: %s" % self._stop_reason)
            frame["running"], frame["stop_reason"] = False, self._stop_reason
        elif loop.running and not self._stalled and self._stalled_now(stats["cycles"], state):
            self._let_go_of_stalled(loop)
            frame = self.describe()
        frame["rows"] = self._new_rows(loop)
        frame["state"] = state
        frame["stats"] = stats
        frame["histogram"] = {"bin_us": HISTOGRAM_BIN_US, "counts": list(self._histogram)}
        return frame

    def _stalled_now(self, cycles: int, state: Optional[Dict[str, Any]]) -> bool:
        now = time.monotonic()
        # A loop waiting for its device to come back runs no cycles, and is not stuck.
        reconnecting = state is not None and not state.get("connected", True)
        if cycles != self._cycles or reconnecting:
            self._cycles, self._cycles_moved_at, self._still_samples = cycles, now, 0
            return False
        self._still_samples += 1
        return now - self._cycles_moved_at > STALL_S and self._still_samples >= STALL_SAMPLES

    def _new_rows(self, loop: Any) -> List[List[float]]:
        rows = memoryview(loop.trace()).tolist()
        plotted = []
        for row in rows:
            if row[TIME] <= self._last_time:
                continue
            self._last_time = row[TIME]
            bin_index = min(HISTOGRAM_BINS - 1, max(0, int(row[EXCHANGE_US] / HISTOGRAM_BIN_US)))
            self._histogram[bin_index] += 1
            slot = math.floor(row[TIME] / PLOT_STEP_S)
            if slot > self._last_slot:
                self._last_slot = slot
                plotted.append([round(value, 6) for value in row[:EXCHANGE_US]])
        return plotted

"""One Corvane on the desk: its servo loop, the effects the page set, and what the page plots."""

import copy
import math
import threading
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

    def __init__(self, name: str, port: str, log: MessageLog, max_force: float):
        self.name = name
        self.port = port
        self.max_force = max_force
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
        self._reset_sampling()

    def _reset_sampling(self) -> None:
        self._last_time = -1.0
        self._last_slot = -1
        self._histogram = [0] * HISTOGRAM_BINS

    @property
    def running(self) -> bool:
        return self._loop is not None and self._loop.running

    def start(self) -> None:
        with self._lock:
            if self.running:
                raise Refused(409, "the servo loop of %s is already running" % self.name)
            loop = haptics.ServoLoop(self._stream, RATE_HZ, max_force=self.max_force,
                                     watchdog_s=WATCHDOG_S, trace_capacity=TRACE_ROWS)
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
            self._reset_sampling()
        self._log.note(self.name, "servo loop started, %s" % self._describe_effects())

    def stop(self) -> None:
        with self._lock:
            loop, self._loop = self._loop, None
        if loop is not None:
            loop.stop()
            self._stop_reason = loop.stats()["stop_reason"]
            self._log.sent(self.name, "zero force; servo loop stopped")

    def close(self) -> None:
        self.stop()

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
                "max_force": self.max_force, "settings": copy.deepcopy(self.settings),
                "running": self.running, "stop_reason": self._stop_reason}

    def sample(self) -> Dict[str, Any]:
        """What changed since the last sample: new plot rows, state, stats, the histogram."""
        loop = self._loop
        frame = self.describe()
        if loop is None:
            return frame
        if not loop.running and self._stop_reason is None:
            self._stop_reason = loop.stats()["stop_reason"]
            self._log.note(self.name, "servo loop stopped: %s" % self._stop_reason)
            frame["running"], frame["stop_reason"] = False, self._stop_reason
        rows = self._new_rows(loop)
        frame["rows"] = rows
        frame["state"] = loop.state()
        frame["stats"] = loop.stats()
        frame["histogram"] = {"bin_us": HISTOGRAM_BIN_US, "counts": list(self._histogram)}
        return frame

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

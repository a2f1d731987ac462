"""Native servo loops and handle listeners for Orvex devices"""

import os
from typing import Any, Literal, Optional, Sequence, TypedDict, Union

from OrvexHardwareAPI import SerialStream, _DeviceInfoDict

# Vectors are X, Y, Z. Setters take any sequence of three finite numbers (else ValueError);
# getters give lists.

class Effect: ...

class Spring(Effect):
    def __init__(self, anchor: Sequence[float], stiffness: float, damping: float = 0.0) -> None: ...
    @property
    def anchor(self) -> Sequence[float]: ...
    @anchor.setter
    def anchor(self, value: Sequence[float]) -> None: ...
    @property
    def stiffness(self) -> float: ...
    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...

class Damper(Effect):
    def __init__(self, coefficient: float) -> None: ...
    @property
    def coefficient(self) -> float: ...
    @coefficient.setter
    def coefficient(self, value: float) -> None: ...

class ConstantForce(Effect):
    def __init__(self, force: Sequence[float]) -> None: ...
    @property
    def force(self) -> Sequence[float]: ...
    @force.setter
    def force(self, value: Sequence[float]) -> None: ...

class Wall(Effect):
    def __init__(self, point: Sequence[float], normal: Sequence[float], stiffness: float,
                 damping: float = 0.0) -> None: ...
    @property
    def point(self) -> Sequence[float]: ...
    @point.setter
    def point(self, value: Sequence[float]) -> None: ...
    @property
    def normal(self) -> Sequence[float]: ...
    @normal.setter
    def normal(self, value: Sequence[float]) -> None: ...
    @property
    def stiffness(self) -> float: ...
    @stiffness.setter
    def stiffness(self, value: float) -> None: ...
    @property
    def damping(self) -> float: ...
    @damping.setter
    def damping(self, value: float) -> None: ...

TRACE_COLUMNS: tuple[str, ...]

# Rows of TRACE_COLUMNS as float64 through the buffer protocol: numpy.asarray(trace) shares them.
class Trace:
    def __len__(self) -> int: ...
    def to_csv(self, path: str | os.PathLike[str]) -> None: ...

class _ServoState(TypedDict):
    time: float
    cycle: int
    position: list[float]
    velocity: list[float]
    force: list[float]
    connected: bool

class _ServoStats(TypedDict):
    cycles: int
    rate_hz: float
    missed: int
    late_p50_us: float
    late_p99_us: float
    late_max_us: float
    exchange_p50_us: float
    exchange_p99_us: float
    exchange_max_us: float
    clamped: int
    non_finite: int
    watchdog_trips: int
    realtime: bool
    memory_locked: bool
    bad_replies: int
    speed_limited: int
    reconnects: int
    stop_reason: Optional[Literal["stop", "device lost"]]

class ServoLoop:
    def __init__(self, stream: SerialStream, rate_hz: float = 1000.0, *, max_force: float = 10.0,
                 watchdog_s: float = 0.1, trace_capacity: int = 0,
                 realtime: Optional[bool] = None, ramp_s: float = 0.25,
                 max_force_step: Optional[float] = None, max_speed: Optional[float] = None,
                 lost_after_s: float = 0.25, reconnect: bool = False) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def __enter__(self) -> "ServoLoop": ...
    def __exit__(self, *args: Any) -> None: ...
    @property
    def running(self) -> bool: ...
    @property
    def info(self) -> Optional[_DeviceInfoDict]: ...
    @property
    def force(self) -> Sequence[float]: ...
    @force.setter
    def force(self, value: Sequence[float]) -> None: ...
    def feed(self) -> None: ...
    def add(self, effect: Effect) -> None: ...
    def remove(self, effect: Effect) -> None: ...
    def clear(self) -> None: ...
    def state(self) -> Optional[_ServoState]: ...
    def stats(self) -> _ServoStats: ...
    def trace(self) -> Trace: ...

# --- Handle listener ---

class _HandleStatus(TypedDict):
    time: float  # seconds since start()
    device_id: int
    quaternion: tuple[float, float, float, float]  # w, x, y, z (wire order)
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes

class _HandleInfo(TypedDict):
    time: float
    tool_data_remaining: int
    device_id: int
    device_model_number: int
    hardware_version: int
    firmware_version: int

class _HandleStatusMessage(_HandleStatus):
    kind: Literal["status"]

class _HandleInfoMessage(_HandleInfo):
    kind: Literal["info"]

class _HandleErrorMessage(TypedDict):
    kind: Literal["error"]
    time: float
    device_id: int
    error_code: int

_HandleMessage = Union[_HandleStatusMessage, _HandleInfoMessage, _HandleErrorMessage]

class _HandleListenerStats(TypedDict):
    messages: int
    status: int
    info: int
    errors: int
    unknown: int
    refused: int
    reconnects: int
    dropped: int
    rate_hz: float
    stop_reason: Literal["stop", "device lost"] | None

class HandleListener:
    # Receives on a native thread; the stream is kept alive by the listener.
    def __init__(self, stream: SerialStream, queue_capacity: int = ..., *,
                 reconnect: bool = False) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def __enter__(self) -> HandleListener: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> None: ...
    @property
    def running(self) -> bool: ...
    def wakeup(self) -> None: ...
    def request_status(self) -> None: ...
    def send_state(self, device_id: int, user_data: bytes | bytearray | memoryview = ...) -> None: ...
    def latest(self) -> _HandleStatus | None: ...
    def info(self) -> _HandleInfo | None: ...
    def messages(self, max_count: int | None = ..., timeout: float = ...) -> list[_HandleMessage]: ...
    def stats(self) -> _HandleListenerStats: ...

# Degrees, aerospace Z-Y-X intrinsic (yaw, then pitch, then roll) of a quaternion w, x, y, z.
def roll_pitch_yaw(
    status_or_quaternion: _HandleStatus | Sequence[float],
) -> tuple[float, float, float]: ...

"""Native servo loops and handle listeners for Orvex devices"""

# --- Handle listener ---

from typing import Literal, Sequence, TypedDict, Union

from OrvexHardwareAPI import SerialStream

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
    dropped: int
    rate_hz: float
    stop_reason: Literal["stop", "device lost"] | None

class HandleListener:
    # Receives on a native thread; the stream is kept alive by the listener.
    def __init__(self, stream: SerialStream, queue_capacity: int = ...) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def __enter__(self) -> HandleListener: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> None: ...
    running: bool  # read-only
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

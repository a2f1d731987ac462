"""One handle on the desk: a listener that receives its messages off the interpreter's thread."""

from typing import Any, Dict, List, Optional

import OrvexHaptics as haptics
import OrvexHardwareAPI as orvex

from .message_log import MessageLog

MESSAGES_PER_SAMPLE = 512


def describe_message(message: Dict[str, Any]) -> str:
    kind = message["kind"]
    if kind == "status":
        w, x, y, z = message["quaternion"]
        return ("status: id %d, quaternion (%.3f, %.3f, %.3f, %.3f), trigger %d, error flag %d,"
                " user data %r" % (message["device_id"], w, x, y, z,
                                   message["hall_effect_sensor_level"], message["error_flag"],
                                   bytes(message["user_data"])))
    if kind == "info":
        return ("information: id %(device_id)d, model %(device_model_number)d, hardware"
                " %(hardware_version)d, firmware %(firmware_version)d, tool data remaining"
                " %(tool_data_remaining)d" % message)
    return "error reply: id %(device_id)d, code %(error_code)d" % message


def plain(message: Optional[Dict[str, Any]]) -> Optional[Dict[str, Any]]:
    """A message as JSON can carry it: user data as text, undecodable bytes replaced."""
    if message is None:
        return None
    out = dict(message)
    if "user_data" in out:
        out["user_data"] = bytes(out["user_data"]).decode("utf-8", "replace")
    return out


class HandleSession:
    kind = "handle"

    def __init__(self, name: str, port: str, log: MessageLog):
        self.name = name
        self.port = port
        self._log = log
        self._stream = orvex.SerialStream(port)
        self._listener = haptics.HandleListener(self._stream)
        self._listener.start()
        self._stop_reason: Optional[str] = None
        self.wakeup()
        self.request_status()

    def wakeup(self) -> None:
        self._listener.wakeup()
        self._log.sent(self.name, "wake-up")

    def request_status(self) -> None:
        self._listener.request_status()
        self._log.sent(self.name, "status request")

    def send_state(self, device_id: int, user_data: bytes) -> None:
        self._listener.send_state(device_id, user_data)
        self._log.sent(self.name, "handle state: id %d, user data %r" % (device_id, user_data))

    def close(self) -> None:
        self._listener.stop()

    def feed(self) -> None:
        """A handle pushes nothing, so there is nothing to hold back when the page goes."""

    @property
    def running(self) -> bool:
        return self._listener.running

    def describe(self) -> Dict[str, Any]:
        info = plain(self._listener.info())
        return {"id": self.name, "kind": self.kind, "port": self.port, "info": info,
                "running": self.running, "stop_reason": self._stop_reason}

    def sample(self) -> Dict[str, Any]:
        messages: List[Dict[str, Any]] = self._listener.messages(MESSAGES_PER_SAMPLE)
        for message in messages:
            self._log.received(self.name, describe_message(message))
        frame = self.describe()
        stats = self._listener.stats()
        if not frame["running"] and self._stop_reason is None:
            self._stop_reason = stats["stop_reason"]
            self._log.note(self.name, "listener stopped: %s" % self._stop_reason)
            frame["stop_reason"] = self._stop_reason
        frame["latest"] = plain(self._listener.latest())
        frame["stats"] = stats
        return frame

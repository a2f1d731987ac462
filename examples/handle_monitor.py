"""A handle monitor: shows the grip's orientation and how far its trigger is squeezed.

    python3 handle_monitor.py PORT [SECONDS]

The handle streams status messages; each Receive takes one off the line and hands its fields to
the callback this subclass overrides.
"""

import math
import sys
import time
from typing import Any, Tuple

import OrvexHardwareAPI as orvex


def roll_pitch_yaw(w: float, x: float, y: float, z: float) -> Tuple[float, float, float]:
    """Euler angles in degrees of a unit quaternion."""
    roll = math.atan2(2 * (w * x + y * z), 1 - 2 * (x * x + y * y))
    pitch = math.asin(max(-1.0, min(1.0, 2 * (w * y - z * x))))
    yaw = math.atan2(2 * (w * z + x * y), 1 - 2 * (y * y + z * z))
    return math.degrees(roll), math.degrees(pitch), math.degrees(yaw)


class Monitor(orvex.Handle):
    messages = 0
    shown_at = 0.0

    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: Any, error_flag: int,
                                     hall_effect_sensor_level: int, user_data_length: int,
                                     user_data: Any) -> None:
        self.messages += 1
        if time.monotonic() - self.shown_at < 0.1:  # a screen need not refresh faster
            return
        self.shown_at = time.monotonic()
        roll, pitch, yaw = roll_pitch_yaw(*quaternion)
        bar = "#" * (hall_effect_sensor_level * 20 // 255)
        print("\rhandle %d  roll %+7.1f  pitch %+7.1f  yaw %+7.1f  trigger [%-20s]%s"
              % (device_id, roll, pitch, yaw, bar, "  ERROR" if error_flag else ""),
              end="", flush=True)

    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int,
                            device_model_number: int, hardware_version: int,
                            firmware_version: int) -> None:
        print("handle %d, model %d, hardware %d, firmware %d"
              % (device_id, device_model_number, hardware_version, firmware_version))


def main(port: str, seconds: float) -> None:
    handle = Monitor(orvex.SerialStream(port))
    handle.SendDeviceWakeup()
    handle.Receive()
    handle.RequestStatus()
    start = time.monotonic()
    while time.monotonic() - start < seconds:
        if handle.Receive() < 0:
            print("\nno message from the handle")
            break
    print("\nhandle monitor: %d status messages in %.1f s" % (handle.messages, seconds))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 3.0)

"""Wakes a handle and prints what it reports, through the callbacks of a Handle subclass.

    python handle_callbacks.py [PORT]

Without a port, the first handle that discovery finds, wired or wireless, is used.
"""

import sys
from typing import List

import OrvexHardwareAPI as orvex


class PrintingHandle(orvex.Handle):
    def OnReceiveHandleInfo(self, tool_data_remaining: int, device_id: int,
                            device_model_number: int, hardware_version: int,
                            firmware_version: int) -> None:
        print("handle %d: model %d, hardware %d, firmware %d, tool data left %d"
              % (device_id, device_model_number, hardware_version, firmware_version,
                 tool_data_remaining))

    # A subclass must override this one: a status message without it raises RuntimeError.
    def OnReceiveHandleStatusMessage(self, device_id: int, quaternion: List[float],
                                     error_flag: int, hall_effect_sensor_level: int,
                                     user_data_length: int, user_data: List[int]) -> None:
        print("handle %d: quaternion %s, error flag %d, hall sensor %d, user data %s"
              % (device_id, quaternion, error_flag, hall_effect_sensor_level, user_data))

    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        print("handle %d: error %d" % (device_id, error_code))


def main() -> int:
    ports = sys.argv[1:] or orvex.detect_handles()
    if not ports:
        print("no handle found", file=sys.stderr)
        return 1
    stream = orvex.SerialStream(ports[0])
    handle = PrintingHandle(stream)

    handle.SendDeviceWakeup()
    handle.Receive()
    for _ in range(10):
        handle.RequestStatus()
        if handle.Receive() < 0:  # nothing known arrived: the stream now stays silent
            print("the handle stopped answering", file=sys.stderr)
            return 1
    handle.SendHandleState(device_id=1, data_length=1, user_data=42)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A handle monitor: shows the grip's orientation and how far its trigger is squeezed.

    python3 handle_monitor.py PORT [SECONDS]

A HandleListener receives every message on a native thread of its own; this program only looks
at what arrived ten times a second. A handle that does not stream unasked is asked for its status
each time.
"""

import sys
import time

import OrvexHardwareAPI as orvex
import OrvexHaptics as haptics

REFRESH_S = 0.1  # a screen need not refresh faster


def show(status: "haptics._HandleStatus") -> None:
    roll, pitch, yaw = haptics.roll_pitch_yaw(status)
    bar = "#" * (status["hall_effect_sensor_level"] * 20 // 255)
    print("\rhandle %d  roll %+7.1f  pitch %+7.1f  yaw %+7.1f  trigger [%-20s]%s"
          % (status["device_id"], roll, pitch, yaw, bar,
             "  ERROR" if status["error_flag"] else ""),
          end="", flush=True)


def main(port: str, seconds: float) -> None:
    with haptics.HandleListener(orvex.SerialStream(port)) as listener:
        listener.wakeup()
        listener.request_status()
        start = time.monotonic()
        while time.monotonic() - start < seconds and listener.running:
            time.sleep(REFRESH_S)
            statuses = 0
            for message in listener.messages():
                if message["kind"] == "info":
                    print("handle %d, model %d, hardware %d, firmware %d"
                          % (message["device_id"], message["device_model_number"],
                             message["hardware_version"], message["firmware_version"]))
                elif message["kind"] == "error":
                    print("\nhandle %d reports error %d" % (message["device_id"],
                                                           message["error_code"]))
                else:
                    statuses += 1
            # One status a round is the answer to the last request: this handle does not stream.
            if statuses <= 1:
                listener.request_status()
            latest = listener.latest()
            if latest is not None:
                show(latest)
        stats = listener.stats()
    if stats["stop_reason"] == "device lost":
        print("\nthe handle was lost")
    print("\nhandle monitor: %d status messages in %.1f s (%d lost to a full queue)"
          % (stats["status"], seconds, stats["dropped"]))


if __name__ == "__main__":
    main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 3.0)

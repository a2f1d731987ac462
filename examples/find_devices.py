"""Lists the ports in /dev on which a Corvane or a handle answers now."""

import OrvexHardwareAPI as orvex

print("Corvanes:        ", orvex.detect_corvanes())
print("handles:         ", orvex.detect_handles())
print("  wired:         ", orvex.detect_wired_handles())
print("  wireless:      ", orvex.detect_wireless_handles())

"""Native servo loops and handle listeners for Orvex devices"""

"""The one harness for every run of the real Launcher.exe: the Wine prefix
of each architecture with its persistent server (wine), the X display and
the windows on it (wine), the loopback update server with its behaviours
and request log (server), launcher runs with their hard time-out (launcher)
and what a build says about itself (config). tests/e2e and tools/demo.py
use it; everything it starts it stops again by process id."""

"""The one harness for every run of the real Launcher.exe, which every
test module, bench/run and tools/demo.py import: the Wine prefix of each
architecture with its persistent server and the X display (wine), the
windows on it and how they are watched (windows), the loopback update
server with its behaviours by path and its request log (server), nginx
serving a folder (nginx), launcher runs with their hard time-out
(launcher), the run log's lines and bytes (log), the release tool
(publish) and what a build says about itself (config). Everything it
starts it stops again by process id."""

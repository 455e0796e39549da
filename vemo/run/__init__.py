"""The run side of Vemo: `vemo run` and what it drives, records and reports (the simulator launcher, the
run context of the handler, timelines)."""

"""The cell: its description file, the registry of module kinds and their actions, the host modules the
runtime loads, and the commands an action may send to the handler. It loads no module of the run side."""

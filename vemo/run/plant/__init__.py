"""The cell on the plant's network: an OPC UA server and an MQTT publisher, each a process that follows the
run's journal and reaches the run only through its control socket."""

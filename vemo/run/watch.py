"""Notices a handler that stopped answering during a run: a short log request every half second."""

from __future__ import annotations

import threading
import time
from typing import Any, Callable

# How often the handler is asked for a sign of life. A log request to a handler that is gone fails after
# the client's one-second send or receive time limit, so a loss is noticed within about 1.5 s.
PROBE_INTERVAL_SECONDS = 0.5
# The longest a lost handler goes unnoticed: one interval, then a probe's one-second time limit, and slack.
LOSS_NOTICED_WITHIN_SECONDS = PROBE_INTERVAL_SECONDS + 1.5


class HandlerWatch:
    """Asks the handler for one real-time value every PROBE_INTERVAL_SECONDS on a client of its own (so that
    a failed probe, which resets the client's request sockets, never touches the run's client), and
    calls `on_lost(reason, silent_for)` once, on its own thread, when a probe fails or `alive()` says the
    handler process has ended. `silent_for` is the time since the last answer."""

    def __init__(self, client: Any, kinra_id: int, data_index: int, on_lost: Callable[[str, float], None],
                 alive: Callable[[], str | None] | None = None, interval: float = PROBE_INTERVAL_SECONDS) -> None:
        self.client, self.kinra_id, self.data_index = client, kinra_id, data_index
        self.on_lost, self.alive, self.interval = on_lost, alive, interval
        self.address = str(getattr(client, "server_address", "?"))
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="handler watch", daemon=True)

    def start(self) -> HandlerWatch:
        self._thread.start()
        return self

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive() and self._thread is not threading.current_thread():
            self._thread.join(5)

    def _watch(self) -> None:
        last_answer = time.monotonic()
        answered = False
        while not self._stop.wait(self.interval):
            ended = self.alive() if self.alive is not None else None
            if ended is None:
                try:
                    answer = self.client.get_logger(self.kinra_id, self.data_index)
                except Exception as error:  # a reply that is no handler's
                    answer, ended = None, f"its answer is not a handler's: {error}"
                if isinstance(answer, str):
                    last_answer, answered = time.monotonic(), True
                    continue
            if self._stop.is_set():
                return  # the run ended while the probe was out
            because = f" ({ended})" if ended else ""
            state = "no longer answers" if answered or ended else "does not answer"
            self.on_lost(f"the handler at {self.address} {state}{because}", time.monotonic() - last_answer)
            return

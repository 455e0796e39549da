"""The operator console: a page in the browser that follows a run's journal and sends its commands."""

"""The rtsp server's diagnostic events in Python's logging.

Without `enable()` the server logs nothing. Loggers are named after the
event's source ("rtsp.transport.tcp", "rtsp.protocol.handler", ...); each
record carries the event's named fields as `record.rtsp_fields` (a dict).
Events are queued by the server's threads and delivered on a thread of
their own, so logging never slows the server; when the queue is full,
events are dropped, counted and reported.
"""

def enable(level: int = 20) -> None:
    """Route the server's diagnostic events to Python's logging, at `level` and
    above. Logger names follow the event's source ("rtsp.transport.tcp");
    each record carries the event's fields as `record.rtsp_fields`.

    Nothing is logged before the first call.

    Args:
        level: a `logging` level (`logging.INFO` is 20); 5 is the server's
            TRACE level, registered under that name. Configure handlers (for
            example `logging.basicConfig(level=logging.INFO)`) to see them.
    """
def disable() -> None:
    """Stop routing diagnostic events to logging, after delivering those pending."""

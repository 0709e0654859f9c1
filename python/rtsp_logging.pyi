"""Type information for the `rtsp_logging` extension module."""

def enable(level: int = 20) -> None:
    """Route the server's diagnostic events to Python's logging, at `level` and
    above. Logger names follow the event's source ("rtsp.transport.tcp");
    each record carries the event's fields as `record.rtsp_fields`."""
def disable() -> None:
    """Stop routing diagnostic events to logging, after delivering those pending."""

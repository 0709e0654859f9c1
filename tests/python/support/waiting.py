"""Waiting for a condition that other threads or processes bring about."""

import time


def wait_for(predicate, timeout, interval=0.02):
    """Calls `predicate` until it is true or `timeout` seconds have passed;
    returns whether it became true."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True

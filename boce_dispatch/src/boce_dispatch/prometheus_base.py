"""What the center's and the agents' Prometheus metrics share: a registry of the process's own
figures (CPU, memory, open files, the platform), no _created series, and the time buckets."""

import prometheus_client
from prometheus_client import CollectorRegistry, PlatformCollector, ProcessCollector

# A _created series per counter doubles what is scraped and says nothing an operator uses.
prometheus_client.disable_created_metrics()


def process_registry():
    """A registry that already holds the process and platform collectors."""
    registry = CollectorRegistry()
    ProcessCollector(registry=registry)
    PlatformCollector(registry=registry)
    return registry


def seconds_buckets(highest):
    """Histogram buckets from 1 ms to `highest` seconds, about three per decade."""
    steps = [base * 10 ** power for power in range(-3, 3) for base in (1, 2.5, 5)]
    return tuple(step for step in steps if step < highest) + (highest,)

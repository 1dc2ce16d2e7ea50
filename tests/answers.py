"""Probe result records as the dispatch center answers them, built for the tests; the fields, the
anomaly rule and the stored row are the probe network's (boce_dispatch.records)."""

from boce_dispatch.records import FIELDS


def record(isp="北京电信", ip="1.2.3.4", code=200, total=12, lookup=0.125, transfer=0.375,
           size=1024, speed=2048, **extra):
    """A record in the dispatch center's field order; `extra` fields follow."""
    return dict(zip(FIELDS, (isp, ip, code, total, lookup, transfer, size, speed)), **extra)

"""The probe result record as the tests build it: one field list, one builder, one anomaly rule
(the plug-in's), for the tests and the demo alike."""

FIELDS = ("isp", "primary_ip", "http_code", "total_time", "namelookup_time",
          "starttransfer_time", "size_download", "speed_download")
NOT_RESPONDING = "节点未响应"
ACCEPTABLE_CODES = (200, 301, 302, 403, 401)


def record(isp="北京电信", ip="1.2.3.4", code=200, total=12, lookup=0.125, transfer=0.375,
           size=1024, speed=2048, **extra):
    """A record in the dispatch center's field order; `extra` fields follow."""
    return dict(isp=isp, primary_ip=ip, http_code=code, total_time=total,
                namelookup_time=lookup, starttransfer_time=transfer, size_download=size,
                speed_download=speed, **extra)


def is_anomalous(node):
    """The plug-in's rule: a node that answered with a code other than the acceptable ones."""
    return bool(node) and node["isp"] != NOT_RESPONDING and \
        node["http_code"] not in ACCEPTABLE_CODES

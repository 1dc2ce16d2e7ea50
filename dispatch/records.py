"""The probe result record, as the plug-in reads it."""

NOT_RESPONDING = "节点未响应"  # the node gave no measurement at all


def empty_record(isp):
    """A record with nothing measured yet: no address, no code, no time, no bytes."""
    return {"isp": isp, "primary_ip": "", "http_code": 0, "total_time": 0,
            "namelookup_time": 0, "starttransfer_time": 0, "size_download": 0,
            "speed_download": 0}

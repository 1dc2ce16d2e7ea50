"""Benchmark of the module's own work in a probe run.

For 10, 100, 1,000 and 10,000 probe records it runs `start` (dispatch answer decoding, counting,
report, storing, ordering) with host doubles that do almost nothing, and measures separately the
time spent inside those host services. It prints, per size, microseconds per record for the
module's own work and for the host services, and their ratio; then the module's import time and
the peak memory of a 10,000-record run. Times are medians of repeated runs.

Run inside the sandbox: make bench."""

import json
import os
import platform
import statistics
import subprocess
import sys
import time
import tracemalloc
import types

from tools.lab import light_host

SIZES = (10, 100, 1_000, 10_000)
# The project directory, where the measuring children find the bench package: loading the
# module has moved this process into the panel's directory.
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIN_SECONDS = 0.5
MIN_RUNS = 7
ACCOUNT = "/www/server/panel/data/userInfo.json"

perf_counter = time.perf_counter
inside_host = [0.0, 0]  # seconds spent inside host services, and how many calls


def timed(function):
    """The host service, with the time spent inside it added up."""
    def service(*args, **kwargs):
        started = perf_counter()
        try:
            return function(*args, **kwargs)
        finally:
            inside_host[0] += perf_counter() - started
            inside_host[1] += 1
    return service


class TimedQuery(light_host.Query):
    where = timed(light_host.Query.where)
    getField = timed(light_host.Query.getField)
    insert = timed(light_host.Query.insert)


class TimedSender(light_host.Sender):
    qq_smtp_send = timed(light_host.Sender.qq_smtp_send)
    dingding_send = timed(light_host.Sender.dingding_send)


def make_public(answer_text):
    files = {ACCOUNT: '{"uid": 1, "serverid": "%s"}' % ("a" * 64),
             "/www/server/panel/data/stmp_mail.json": '{"qq_mail": "ops@example.cn"}',
             "/www/server/panel/data/dingding.json": "{}"}
    public = light_host.make_public(files, lambda: answer_text)
    for name in ("ReadFile", "readFile", "writeFile", "returnMsg", "httpPost", "get_error_info",
                 "format_date", "to_size"):
        setattr(public, name, timed(getattr(public, name)))
    public.M = timed(TimedQuery)
    return public


def runtime_services(start_boce):
    """The runtime's JSON and time services are host services too: timed the same way."""
    start_boce.json = types.SimpleNamespace(loads=timed(json.loads), dumps=timed(json.dumps))
    start_boce.time = types.SimpleNamespace(time=timed(time.time))


def install_doubles():
    sys.modules["public"] = make_public("[]")
    sender_module = types.ModuleType("send_mail")
    sender_module.send_mail = timed(TimedSender)
    sys.modules["send_mail"] = sender_module


def probe_records(count):
    """A realistic answer: about a fifth anomalous, some unresolved, ties, a silent node."""
    records = []
    for i in range(count):
        anomalous = i % 5 == 0 or i == 1
        records.append({
            "isp": "节点未响应" if i % 50 == 49 else "北京电信%d" % (i % 7),
            "primary_ip": "" if i % 10 == 3 else "203.0.113.%d" % (i % 250),
            "http_code": (500 if i % 2 else 0) if anomalous else (200 if i % 3 else 301),
            "total_time": float(round((i * 7919) % 3000 / 10.0)),  # many ties
            "namelookup_time": (i % 97) / 8, "starttransfer_time": (i % 89) * 1.25,
            "size_download": 1024 + i, "speed_download": 20480.5 + i,
        })
    return records


def measure(plugin, start_boce, count):
    answer_text = json.dumps(probe_records(count))
    start_boce.public = make_public(answer_text)
    wall, host, calls = [], [], 0
    deadline = perf_counter() + MIN_SECONDS
    while len(wall) < MIN_RUNS or perf_counter() < deadline:
        inside_host[:] = [0.0, 0]
        started = perf_counter()
        result = plugin.start(1)
        wall.append(perf_counter() - started)
        host.append(inside_host[0])
        calls = inside_host[1]
        assert len(result) == count
        del result
    return statistics.median(wall), statistics.median(host), calls


def wrapper_overhead():
    """Seconds per host call that the timing wrapper itself adds outside the timed interval."""
    noop = lambda: None  # noqa: E731
    wrapped = timed(noop)
    n = 200_000
    started = perf_counter()
    for _ in range(n):
        noop()
    plain = perf_counter() - started
    inside_host[0] = 0.0
    started = perf_counter()
    for _ in range(n):
        wrapped()
    total = perf_counter() - started
    return max(0.0, (total - inside_host[0] - plain) / n)


def import_time():
    code = ("import time; from bench import bench; bench.install_doubles();"
            "t = time.perf_counter(); import start_boce; print(time.perf_counter() - t)")
    times = [float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                  check=True, cwd=REPO).stdout) for _ in range(7)]
    return statistics.median(times)


def peak_memory(plugin, start_boce, count):
    start_boce.public = make_public(json.dumps(probe_records(count)))
    tracemalloc.start()
    result = plugin.start(1)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del result
    return peak


def peak_resident(size, kind, operation):
    """The growth of peak resident memory (MiB) during one `operation` on `size` records, in a
    fresh process: C++ allocations count too, which tracemalloc does not see. A module built
    elsewhere can be compared by putting it first on BENCH_MODULE_PATH."""
    path = os.environ.get("BENCH_MODULE_PATH")
    env = dict(os.environ, PYTHONPATH=path) if path and kind == "module" else None
    output = subprocess.run([sys.executable, "-m", "bench.peak_rss", str(size), kind, operation],
                            capture_output=True, text=True, check=True, env=env,
                            cwd=REPO).stdout
    before, after = map(int, output.split())
    return (after - before) / 1024


def verdict(met):
    return "met" if met else "MISSED"


def print_peak_resident():
    print("\npeak resident memory, MiB above the process before the operation (ru_maxrss of a "
          "fresh process each, median of 3); module - = the module's figure less the plain-"
          "Python version's:")
    print("%8s %-10s %10s %12s %10s" % ("records", "operation", "module", "pure Python",
                                         "module -"))
    for size in (1_000, 10_000, 100_000):
        for operation in ("start", "send_mail"):
            module = statistics.median(peak_resident(size, "module", operation)
                                       for _ in range(3))
            python = statistics.median(peak_resident(size, "python", operation)
                                       for _ in range(3))
            print("%8d %-10s %10.1f %12.1f %10.1f" % (size, operation, module, python,
                                                     module - python))


def main():
    install_doubles()
    import start_boce
    runtime_services(start_boce)
    plugin = start_boce.start_boce()
    plugin._start_boce__mail_list = ["ops@example.cn"]  # the report goes to a recipient list
    overhead = wrapper_overhead()
    print("machine: %s, %s, Python %s, %d cores" % (
        platform.machine(), platform.processor() or platform.uname().release,
        platform.python_version(), os.cpu_count()))
    print("timing wrapper overhead: %.3f us per host call (taken off the module's figure)"
          % (overhead * 1e6))
    print("\ncolumns: module us/rec = the module's own work per record (wall time less the time"
          " inside host services);\n         host us/rec = time inside the host doubles per record;"
          " ratio = module / host;\n         host calls = calls of host services in one run")
    print("\n%8s %14s %14s %8s %10s" % ("records", "module us/rec", "host us/rec", "ratio",
                                        "host calls"))
    per_record = {}
    for count in SIZES:
        wall, host, calls = measure(plugin, start_boce, count)
        own = max(0.0, wall - host - calls * overhead)
        per_record[count] = own / count * 1e6
        print("%8d %14.3f %14.3f %8.2f %10d" % (count, own / count * 1e6, host / count * 1e6,
                                               own / host if host else float("inf"), calls))
    growth = per_record[10_000] / per_record[1_000]
    print("\ngrowth 1,000 -> 10,000 records: %.2fx per record (target within 1.5x: %s)"
          % (growth, verdict(growth <= 1.5)))
    print("module's own work at 10,000 records: %.3f us per record (target at most 1 us: %s)"
          % (per_record[10_000], verdict(per_record[10_000] <= 1.0)))
    print("import time: %.2f ms" % (import_time() * 1e3))
    print("peak memory of a 10,000-record run (Python allocations): %.1f MB"
          % (peak_memory(plugin, start_boce, 10_000) / 1e6))
    print_peak_resident()


if __name__ == "__main__":
    main()

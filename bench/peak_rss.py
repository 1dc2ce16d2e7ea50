"""Peak resident memory of one probe run of SIZE records, in a fresh process:

    python -m bench.peak_rss SIZE module|python [start|send_mail]

prints the resident size just before the run and the peak resident size during it (KiB). The
peak is reset before the run (/proc/self/clear_refs), so what preparing the answer took does not
count."""

import gc
import json
import sys

from bench import bench


def resident(field):
    with open("/proc/self/status") as f:
        return int(dict(line.split(":", 1) for line in f)[field].split()[0])


def main():
    size, kind = int(sys.argv[1]), sys.argv[2]
    operation = sys.argv[3] if len(sys.argv) > 3 else "start"
    bench.install_doubles()
    answer = json.dumps(bench.probe_records(size))
    public = bench.make_public(answer)
    if kind == "module":
        import start_boce
        start_boce.public = public
        plugin = start_boce.start_boce()
        plugin._start_boce__mail_list = ["ops@example.cn"]
    else:
        from bench import reference
        public.sender = bench.TimedSender()
        plugin = reference.Reference(public, ["ops@example.cn"])
    data = json.loads(answer) if operation == "send_mail" else None
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    before = resident("VmRSS")
    if data is None:
        assert len(plugin.start(1)) == size
    else:
        plugin.send_mail(data, 3, 1)  # the report alone
    after = resident("VmHWM")
    print(before, after)


if __name__ == "__main__":
    main()

"""A local SMTP server that keeps every message it receives, one JSON file each, in a directory.
Runs in its own environment (.venv-smtp) with aiosmtpd.

    .venv-smtp/bin/python tools/lab/smtp_sink.py PORT DIRECTORY

Prints "ready" once it accepts connections; stops on SIGTERM or SIGINT. `start` and
`read_messages` are for the programs that use it (tests, demo), from any environment."""

import email
import email.policy
import json
import os
import signal
import subprocess
import sys
import threading
import types

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SMTP_PYTHON = os.path.join(REPO,
                           ".venv-smtp", "bin", "python")


def start(directory):
    """Starts the server in its own process; returns (process, port) once it is ready."""
    from tools.lab.ports import free_port  # not in the server's own environment, which needs none
    port = free_port()
    process = subprocess.Popen([SMTP_PYTHON, os.path.abspath(__file__), str(port), directory],
                               stdout=subprocess.PIPE, text=True)
    if process.stdout.readline().strip() != "ready":
        raise RuntimeError("the local SMTP server did not start")
    return process, port


def stop(process):
    process.terminate()
    process.wait()
    process.stdout.close()


def read_messages(directory):
    """The kept messages in the order received: envelope, headers and decoded body."""
    kept = []
    for name in sorted(n for n in os.listdir(directory) if n.endswith(".json")):
        with open(os.path.join(directory, name), encoding="utf-8") as f:
            raw = json.load(f)
        message = email.message_from_string(raw["content"], policy=email.policy.default)
        kept.append(types.SimpleNamespace(
            mail_from=raw["mail_from"], rcpt_tos=raw["rcpt_tos"], to=message["To"],
            subject=str(message["Subject"]), sender=message["From"],
            content_type=message.get_content_type(), body=message.get_content(),
            raw=raw["content"]))
    return kept


class KeepMessages:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            number = self.count
        message = {"mail_from": envelope.mail_from, "rcpt_tos": list(envelope.rcpt_tos),
                   "content": envelope.original_content.decode("utf-8", "replace")}
        path = os.path.join(self.directory, "%06d.json" % number)
        with open(path + ".part", "w", encoding="utf-8") as f:
            json.dump(message, f, ensure_ascii=False)
        os.replace(path + ".part", path)  # readers never see half a message
        return "250 Message accepted for delivery"


def main():
    from aiosmtpd.controller import Controller

    port, directory = int(sys.argv[1]), sys.argv[2]
    os.makedirs(directory, exist_ok=True)
    controller = Controller(KeepMessages(directory), hostname="127.0.0.1", port=port)
    controller.start()
    stop = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *args: stop.set())
    print("ready", flush=True)
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()

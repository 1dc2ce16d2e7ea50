"""A local SMTP server that keeps every message it receives, one JSON file each, in a directory.
Runs in its own environment (.venv-smtp) with aiosmtpd.

    .venv-smtp/bin/python tools/smtp_sink.py PORT DIRECTORY

Prints "ready" once it accepts connections; stops on SIGTERM or SIGINT."""

import json
import os
import signal
import sys
import threading

from aiosmtpd.controller import Controller


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

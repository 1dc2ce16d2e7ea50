"""A NATS server and its clients in one event loop, for the center's and the agents' code at their
seams: subjects with `*` and `>`, queue groups, replies, and the server's "no responders" when
nobody takes a subject. Each message is delivered on the loop's next turn, as a server would,
and every publish is kept. With `answers_only_as_delivered`, a client may publish to an inbox
only in answer to a request delivered to it since it last connected, as the NATS configuration
lets agents (allow_responses)."""

import asyncio
import itertools
import json


class Message:
    def __init__(self, subject, data, reply="", headers=None):
        self.subject, self.data, self.reply, self.headers = subject, data, reply, headers


def matches(pattern, subject):
    wanted, given = pattern.split("."), subject.split(".")
    for index, token in enumerate(wanted):
        if token == ">":
            return len(given) > index
        if index >= len(given) or token not in ("*", given[index]):
            return False
    return len(wanted) == len(given)


class FakeNats:
    """The server: its subscriptions and every message published through it."""

    def __init__(self, answers_only_as_delivered=False):
        self.subscriptions = []  # (pattern, queue, callback, connection)
        self.published = []  # (subject, data, reply), in order
        self.refused = []  # (subject, data): answers the server refused
        self.inboxes = itertools.count()
        self.answers_only_as_delivered = answers_only_as_delivered

    def connect(self):
        return Client(self)

    def deliver(self, subject, data, reply, headers=None):
        self.published.append((subject, data, reply))
        loop = asyncio.get_running_loop()
        taken, queues = False, set()
        for pattern, queue, callback, client in list(self.subscriptions):
            if not client.is_connected or not matches(pattern, subject):
                continue
            if queue is not None:
                if queue in queues:
                    continue
                queues.add(queue)
            taken = True
            if reply:
                client.may_answer.add(reply)
            loop.call_soon(callback, Message(subject, data, reply, headers))
        if not taken and reply:  # the server answers for nobody
            loop.call_soon(self.deliver, reply, b"", "", {"Status": "503"})

    def sent_to(self, prefix):
        """The messages published to subjects beginning with `prefix`."""
        return [(subject, json.loads(data) if data else None, reply)
                for subject, data, reply in self.published if subject.startswith(prefix)]


class Subscription:
    def __init__(self, server, entry):
        self.server, self.entry = server, entry

    async def unsubscribe(self):
        self.server.subscriptions.remove(self.entry)


class Client:
    """A client as the center's and the agents' code use nats-py's."""

    def __init__(self, server):
        self.server = server
        self.is_connected = True
        self.may_answer = set()  # the replies of the requests delivered to it

    def reconnect(self):
        """Back on (another) server: its subscriptions stay, what it may answer does not."""
        self.may_answer = set()

    def new_inbox(self):
        return "_INBOX.%d" % next(self.server.inboxes)

    async def subscribe(self, subject, queue=None, cb=None):
        return self._take(subject, queue, lambda message: asyncio.ensure_future(cb(message)))

    async def handle(self, subject, handler):
        """Handled as read, as by bus.Connection."""
        return self._take(subject, None, lambda message: handler(
            message.subject, message.data, message.headers))

    def _take(self, subject, queue, callback):
        entry = (subject, queue, callback, self)
        self.server.subscriptions.append(entry)
        return Subscription(self.server, entry)

    async def publish(self, subject, payload, reply="", headers=None):
        if not self.is_connected:
            return
        if self.server.answers_only_as_delivered and subject.startswith("_INBOX.") and \
                subject not in self.may_answer:
            self.server.refused.append((subject, payload))
            return
        self.server.deliver(subject, payload, reply, headers)

    async def flush(self, timeout=None):
        await asyncio.sleep(0)

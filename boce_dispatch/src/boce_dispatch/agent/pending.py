"""The request ids an agent knows, with everyone waiting for each one's measurement."""

import heapq


class PendingRequest:
    """One request id: the fetch, and everyone waiting for its measurement."""

    def __init__(self, expires_at):
        # On this process's monotonic clock: the earliest end any asking of the id allows. A
        # probe the center buffered across a NATS outage arrives with the budget it had when it
        # was sent; the askings after it tell the budget that is left.
        self.expires_at = expires_at
        self.replies = []
        self.answer = None  # the encoded measurement, once there
        self.receipt = None  # the timer of its receipt, while the answer may still beat it


class PendingRequests:
    """The request ids an agent knows, each until it expires. Forgetting costs
    only the ids that expire, however many are known."""

    def __init__(self):
        self.by_id = {}  # request id -> PendingRequest
        self.expiries = []  # heap of (expires_at, request id), one per id added

    def get(self, request_id):
        return self.by_id.get(request_id)

    def add(self, request_id, expires_at):
        entry = self.by_id[request_id] = PendingRequest(expires_at)
        heapq.heappush(self.expiries, (expires_at, request_id))
        return entry

    def forget_before(self, now):
        while self.expiries and self.expiries[0][0] <= now:
            _, request_id = heapq.heappop(self.expiries)
            entry = self.by_id.get(request_id)
            if entry is not None and entry.expires_at <= now:  # not an id added again since
                del self.by_id[request_id]

"""libcurl's transfers driven by the running asyncio event loop (libcurl's multi interface).

An agent's fetches run here side by side on the loop's own thread: libcurl says which of its
sockets it waits on (the socket callback) and when it next needs a turn (the timer callback),
and the loop hands each ready socket back to it. No fetch needs a thread, so a probe costs no
hand-over to a worker and back."""

import asyncio
import logging

import pycurl

log = logging.getLogger("boce.agent")


class CurlLoop:
    def __init__(self, idle_handles=16):
        self.idle = []  # easy handles that fetches gave back, reset, at most idle_handles
        self.idle_handles = idle_handles
        self.multi = pycurl.CurlMulti()
        self.multi.setopt(pycurl.M_SOCKETFUNCTION, self._on_socket)
        self.multi.setopt(pycurl.M_TIMERFUNCTION, self._on_timer)
        self.loop = None  # the loop of the first transfer; every later one runs on it too
        self.watched = {}  # socket -> the directions libcurl waits on (pycurl.POLL_*)
        self.timer = None
        self.transfers = {}  # easy handle -> the future of its outcome

    async def perform(self, curl):
        """Runs the transfer of the easy handle `curl` to its end: None, or the pycurl.error
        that ended it. Cancelled, the transfer is taken out of libcurl's hands."""
        if self.loop is None:
            self.loop = asyncio.get_running_loop()
        outcome = self.transfers[curl] = self.loop.create_future()
        self.multi.add_handle(curl)
        # libcurl asks for its first turn at once, through the timer: given here, the fetch
        # starts without waiting for the loop's next round.
        self._act(pycurl.SOCKET_TIMEOUT, 0)
        try:
            return await outcome
        finally:
            if self.transfers.pop(curl, None) is not None:  # cancelled before its end
                self.multi.remove_handle(curl)

    def handle(self):
        """An easy handle for a fetch: one that an earlier fetch gave back, or a new one.
        Reusing one saves about a twentieth of a probe's CPU."""
        return self.idle.pop() if self.idle else pycurl.Curl()

    def give_back(self, curl):
        """Takes back the handle of a fetch that has ended, reset to libcurl's defaults, which
        also lets go of the fetch's callbacks."""
        if len(self.idle) < self.idle_handles:
            curl.reset()
            self.idle.append(curl)
        else:
            curl.close()

    def _on_socket(self, event, fd, multi, data):
        wanted = 0 if event == pycurl.POLL_REMOVE else event
        watched = self.watched.pop(fd, 0)
        if wanted:
            self.watched[fd] = wanted
        changed = watched ^ wanted
        if changed & pycurl.POLL_IN:
            if wanted & pycurl.POLL_IN:
                self.loop.add_reader(fd, self._act, fd, pycurl.CSELECT_IN)
            else:
                self.loop.remove_reader(fd)
        if changed & pycurl.POLL_OUT:
            if wanted & pycurl.POLL_OUT:
                self.loop.add_writer(fd, self._act, fd, pycurl.CSELECT_OUT)
            else:
                self.loop.remove_writer(fd)

    def _on_timer(self, milliseconds):
        # Called inside libcurl: its turn is taken later, from the loop, never from here.
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        if milliseconds >= 0:
            self.timer = self.loop.call_later(milliseconds / 1000, self._on_timeout)

    def _on_timeout(self):
        self.timer = None
        self._act(pycurl.SOCKET_TIMEOUT, 0)

    def _act(self, fd, action):
        try:
            self.multi.socket_action(fd, action)
        except pycurl.error as error:  # the multi handle's own trouble; transfers end below
            log.warning("libcurl multi error=%s", error)
        while True:
            queued, succeeded, failed = self.multi.info_read()
            for curl in succeeded:
                self._finish(curl, None)
            for curl, code, message in failed:
                self._finish(curl, pycurl.error(code, message))
            if not queued:
                return

    def _finish(self, curl, failure):
        self.multi.remove_handle(curl)
        outcome = self.transfers.pop(curl, None)
        if outcome is not None and not outcome.done():
            outcome.set_result(failure)

    def close(self):
        """Ends every transfer and lets go of the loop's sockets and timer."""
        for curl in list(self.transfers):
            self._finish(curl, pycurl.error(pycurl.E_ABORTED_BY_CALLBACK, "closed"))
        for fd in list(self.watched):
            self._on_socket(pycurl.POLL_REMOVE, fd, self.multi, None)
        if self.timer is not None:
            self.timer.cancel()
        for curl in self.idle:
            curl.close()
        self.idle = []
        self.multi.close()

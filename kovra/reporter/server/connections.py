"""The server's connections, bounded: a deadline for a request's headers and a most connections held.

uvicorn waits forever for headers that never end, and takes every connection it is
offered; a sender need not even hold a token to use up the process's file handles.
``Guarded`` is its HTTP/1.1 protocol with both bounds (``configure(settings)`` sets them).
"""
from uvicorn.protocols.http.h11_impl import H11Protocol


class Guarded(H11Protocol):
    header_timeout = 30.0
    max_connections = 500

    def connection_made(self, transport):
        super().connection_made(transport)
        if len(self.connections) > self.max_connections:
            # Refused at once, before it costs more than its handle for a moment.
            transport.write(b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
            transport.close()
            return
        self._arm()

    def on_response_complete(self):
        super().on_response_complete()
        self._arm()

    def _arm(self):
        self.loop.call_later(self.header_timeout, self._deadline, self.cycle)

    def _deadline(self, cycle):
        # No request's headers since the connection came or its last answer went: closed.
        if self.cycle is cycle and (cycle is None or cycle.response_complete) and not self.transport.is_closing():
            self.transport.close()


def configure(settings):
    Guarded.header_timeout = settings.header_timeout
    Guarded.max_connections = settings.max_connections
    return Guarded

"""The soak's HTTP/1.1 client: one keep-alive connection per viewer, and the
end of every answer told apart exactly. An answer ends "clean" (its final
chunk, or all of its Content-Length), "cut" (the connection ended first),
"left" (the viewer stopped reading), "stuck" (no byte for the time-out) or
"bad" (the framing broke the protocol); "close" is a body delimited by the
connection's end, which an HTTP/1.1 client cannot tell from a cut."""

import asyncio

# Header lines and chunk-size lines are short; a body arrives in reads of
# up to READ bytes.
LINE_LIMIT = 1 << 16
READ = 1 << 20


class NoAnswer(Exception):
    """The connection ended before a status line. reused tells a keep-alive
    connection the server had already closed (ask again) from a fresh one."""

    def __init__(self, reused):
        super().__init__("no status line")
        self.reused = reused


class Answer:
    __slots__ = ("status", "headers", "body", "end", "framing")

    def __init__(self, status, headers):
        self.status = status
        self.headers = headers      # lower-case name -> last value
        self.body = bytearray()
        self.end = "clean"
        self.framing = "none"       # none, length, chunked or close


class _Ended(Exception):
    """The body stopped before its framing was complete: end says how."""

    def __init__(self, end):
        super().__init__(end)
        self.end = end


class Conn:
    def __init__(self, port, host, timeout):
        self.port = port
        self.host = host
        self.timeout = timeout
        self.reader = self.writer = None

    def close(self):
        if self.writer:
            self.writer.transport.abort()
        self.reader = self.writer = None

    async def _io(self, awaitable):
        try:
            return await asyncio.wait_for(awaitable, self.timeout)
        except asyncio.TimeoutError:
            raise _Ended("stuck") from None
        except asyncio.IncompleteReadError:
            raise _Ended("cut") from None
        except asyncio.LimitOverrunError:
            raise _Ended("bad") from None
        except (ConnectionError, OSError):
            raise _Ended("cut") from None

    async def _line(self):
        return await self._io(self.reader.readuntil(b"\n"))

    async def _take(self, body, count, leave_after):
        """Reads count bytes of the body into body (None: up to the end)."""
        while count is None or count > 0:
            data = await self._io(self.reader.read(READ if count is None else min(READ, count)))
            if not data:
                raise _Ended("close" if count is None else "cut")
            body += data
            if count is not None:
                count -= len(data)
            if leave_after is not None and len(body) >= leave_after and count != 0:
                raise _Ended("left")

    async def request(self, method, target, headers=(), leave_after=None):
        """Sends one request and reads its answer. leave_after: stop reading
        once the body holds that many bytes, and close. Raises NoAnswer when no
        status line came."""
        reused = self.writer is not None
        if not reused:
            try:
                self.reader, self.writer = await asyncio.wait_for(
                    asyncio.open_connection("127.0.0.1", self.port, limit=LINE_LIMIT), self.timeout)
            except OSError:
                raise NoAnswer(False) from None
        text = "%s %s HTTP/1.1\r\nHost: %s\r\n" % (method, target, self.host)
        text += "".join("%s: %s\r\n" % pair for pair in headers)
        try:
            self.writer.write((text + "\r\n").encode())
            await self._io(self.writer.drain())
            status_line = await self._line()
        except _Ended as e:
            self.close()
            if e.end == "stuck":
                answer = Answer(0, {})
                answer.end = "stuck"
                return answer
            raise NoAnswer(reused) from None
        parts = status_line.split(None, 2)
        if len(parts) < 2 or not parts[0].startswith(b"HTTP/1.") or not parts[1].isdigit():
            self.close()
            answer = Answer(0, {})
            answer.end = "bad"
            return answer
        answer = Answer(int(parts[1]), {})
        try:
            await self._headers(answer)
            await self._body(answer, method, leave_after)
        except _Ended as e:
            answer.end = e.end
        if answer.end != "clean" or answer.headers.get("connection", "").lower() == "close":
            self.close()
        return answer

    async def _headers(self, answer):
        while True:
            line = await self._line()
            if line in (b"\r\n", b"\n"):
                return
            name, sep, value = line.decode("latin-1").partition(":")
            if not sep:
                raise _Ended("bad")
            answer.headers[name.strip().lower()] = value.strip()

    async def _body(self, answer, method, leave_after):
        headers = answer.headers
        if method == "HEAD" or answer.status in (204, 304) or answer.status < 200:
            return
        body = answer.body
        if "chunked" in headers.get("transfer-encoding", "").lower():
            answer.framing = "chunked"
            while True:
                try:
                    size = int((await self._line()).split(b";")[0].strip(), 16)
                except ValueError:
                    raise _Ended("bad") from None
                if size == 0:
                    break
                await self._take(body, size, leave_after)
                if await self._io(self.reader.readexactly(2)) != b"\r\n":
                    raise _Ended("bad")
            # The trailer section ends with an empty line.
            while await self._line() not in (b"\r\n", b"\n"):
                pass
        elif "content-length" in headers:
            answer.framing = "length"
            try:
                count = int(headers["content-length"])
            except ValueError:
                raise _Ended("bad") from None
            await self._take(body, count, leave_after)
        else:
            answer.framing = "close"
            await self._take(body, None, leave_after)


def ask_once(port, host, method, target, timeout=10):
    """One request on a connection of its own, outside any event loop: the
    Answer, or None when no status line came."""
    async def ask():
        conn = Conn(port, host, timeout)
        try:
            return await conn.request(method, target)
        except NoAnswer:
            return None
        finally:
            conn.close()

    return asyncio.run(ask())

"""The one way the package reads a document over HTTP.

Policy, the same for every GET (reports, JSON documents, listings, the
executable check):

* Timeouts: 5 s to connect, 30 s between two bytes of the answer, and an
  overall deadline per document (``conf.fetch_deadline``, 60 s by default)
  from the first request to the last byte, retries and redirects included,
  whatever the answer's framing: a watchdog shuts the socket the answer is
  read from when the deadline passes (headers, redirect hops and body alike).
* Redirects: followed only within the document's own scheme, host and port,
  at most 5 hops; a redirect's own body is never read.
* Retries: a connection refused or reset, a timeout, a cut-off body and the
  statuses 502, 503 and 504 are tried again, at most 3 tries in all, after
  0.5 s and then 1 s, never past the deadline.  Anything else is final.
  A server that still cannot be reached after its tries is taken as down
  for the rest of the run: later documents from it fail at once.
* Headers: ``User-Agent: varkit/VERSION``; gzip and deflate are accepted.
* Size: the body is read in chunks after decompression and given up once it
  passes the cap of its kind (``conf.max_report_bytes``, ``max_json_bytes``,
  ``max_listing_bytes``), so a compressed bomb stops at the cap.
* Outcomes: 404 and 410 mean the document does not exist and raise the
  ``requests.HTTPError`` of the answer; every other failure means the document
  could not be had and raises :class:`FetchError` (its ``url``; its text is the
  error).
* Across runs: a document kept by :mod:`varkit.doc_cache` is revalidated with
  its validators and taken from there on 304 (or within its ``max-age``); the
  cache's faults cost only speed. A 304 to a request without validators is a
  failure, never an empty document.
* Memo: inside :func:`fetch_run` every URL is fetched at most once; its bytes
  (or its failure) are kept until the run ends, within ``MEMO_BUDGET`` bytes
  (past the budget, the least recently used bodies are dropped and fetched
  again if asked for).  Outside a run, each call is its own run.
"""

from __future__ import annotations

import collections
import contextlib
import itertools
import re
import socket
import threading
import time
import urllib.parse
import zlib
from typing import Iterator, Mapping

import requests

from varkit import __version__, conf_number, doc_cache

CONNECT_TIMEOUT = 5.0
READ_TIMEOUT = 30.0
TRIES = 3
BACKOFF = (0.5, 1.0)
RETRY_STATUSES = frozenset({502, 503, 504})
MISSING_STATUSES = frozenset({404, 410})
MEMO_BUDGET = 256 * 1024 * 1024
CHUNK = 16 * 1024

_DEFAULT_CAPS = {"report": 512 << 20, "json": 256 << 20, "listing": 16 << 20, "probe": 0}
_CAP_KEYS = {"report": "max_report_bytes", "json": "max_json_bytes", "listing": "max_listing_bytes"}


class FetchError(requests.RequestException):
    """A document that exists, or may exist, but could not be had."""

    def __init__(self, url: str, error: str) -> None:
        # The text is the error alone: callers' messages already name the URL.
        super().__init__(error)
        self.url = url
        self.error = error


class Fetched:
    """A complete body and the URL it finally came from; ``digest``: the body's
    SHA-256 when the document cache holds this very body."""

    __slots__ = ("content", "digest", "status_code", "url")

    def __init__(
        self, content: bytes, url: str, status_code: int, digest: str | None = None
    ) -> None:
        self.content = content
        self.url = url
        self.status_code = status_code
        self.digest = digest

    @property
    def text(self) -> str:
        return self.content.decode("utf-8", errors="replace")

    def raise_for_status(self) -> None:
        """Complete bodies are of successful answers only."""


def deadline_seconds() -> float:
    return conf_number("fetch_deadline", 60.0)


def size_cap(kind: str) -> int:
    key = _CAP_KEYS.get(kind)
    if key is None:
        return _DEFAULT_CAPS["json"]
    return int(conf_number(key, float(_DEFAULT_CAPS[kind])))


_serials = itertools.count(1)

MAX_REDIRECTS = 5


class _Watch:
    """The connections one document is being read over, for its watchdog."""

    def __init__(self) -> None:
        self.sockets: list[socket.socket] = []
        self.expired = threading.Event()
        self.lock = threading.Lock()

    def add(self, sock: socket.socket) -> None:
        with self.lock:
            self.sockets.append(sock)
            expired = self.expired.is_set()
        if expired:
            _shut(sock)

    def expire(self) -> None:
        with self.lock:
            self.expired.set()
            sockets = list(self.sockets)
        for sock in sockets:
            _shut(sock)


def _shut(sock: socket.socket) -> None:
    # The socket itself, not its connection: an answer framed by the connection's
    # end keeps reading from the socket after the connection object let go of it.
    with contextlib.suppress(OSError):
        sock.shutdown(socket.SHUT_RDWR)


def _watched(base: type) -> type:
    class Watched(base):  # type: ignore[misc]
        # Every request registers its socket with the document being read.
        def request(self, *args, **kwargs):  # type: ignore[no-untyped-def]
            try:
                return super().request(*args, **kwargs)
            finally:
                watch = getattr(_local, "watch", None)
                if watch is not None and self.sock is not None:
                    watch.add(self.sock)

    # Messages name the class (urllib3 writes "HTTPConnection(host=...)"): the same as before.
    Watched.__name__ = Watched.__qualname__ = base.__name__
    return Watched


def _watched_session() -> requests.Session:
    import urllib3.connection
    import urllib3.connectionpool

    session = requests.Session()
    # A server's logs tell varkit's requests apart; gzip is offered (requests'
    # own Accept-Encoding) and the size caps apply after decoding.
    session.headers["User-Agent"] = f"varkit/{__version__}"
    for scheme, pool, connection in (
        ("http", urllib3.connectionpool.HTTPConnectionPool, urllib3.connection.HTTPConnection),
        ("https", urllib3.connectionpool.HTTPSConnectionPool, urllib3.connection.HTTPSConnection),
    ):
        adapter = requests.adapters.HTTPAdapter()
        pool_class = type(pool.__name__, (pool,), {"ConnectionCls": _watched(connection)})
        adapter.poolmanager.pool_classes_by_scheme = {
            **adapter.poolmanager.pool_classes_by_scheme,
            scheme: pool_class,
        }
        session.mount(f"{scheme}://", adapter)
    return session


class _Run:
    def __init__(self, faults_surface: bool = True, use_cache: bool = True) -> None:
        self.faults_surface = faults_surface
        self.serial = next(_serials)
        self.session = _watched_session()
        self.bodies: collections.OrderedDict[str, Fetched] = collections.OrderedDict()
        self.failures: dict[str, BaseException] = {}
        self.probes: dict[str, bool] = {}
        self.parsed: dict[tuple[str, str], object] = {}
        self.held = 0
        self.gets: collections.Counter[str] = collections.Counter()
        # Servers that could not be reached after every try: later documents
        # from them fail at once instead of costing the retries again.
        self.down: dict[str, str] = {}
        # What other layers work out once per run (see run_memo).
        self.memos: dict[str, dict[object, object]] = {}
        # Documents kept across runs: opened at the first fetch.
        self._cache: doc_cache.DocumentCache | None = None
        self._cache_opened = not use_cache
        # Answers that came from the cache: 304s and fresh entries (no request).
        self.revalidated: collections.Counter[str] = collections.Counter()
        self.fresh: collections.Counter[str] = collections.Counter()

    @property
    def cache(self) -> doc_cache.DocumentCache | None:
        if not self._cache_opened:
            self._cache_opened = True
            self._cache = doc_cache.open_configured()
        return self._cache

    def check_up(self, url: str) -> None:
        error = self.down.get(_server(url))
        if error is not None:
            raise FetchError(url, f"{error} (the server could not be reached earlier in this run)")

    def given_up(self, url: str, last: BaseException | None) -> FetchError:
        error = FetchError(url, f"{last} (after {TRIES} tries)" if last else "deadline passed")
        if isinstance(last, requests.ConnectionError):
            self.down.setdefault(_server(url), str(last))
        return error

    def keep(self, url: str, fetched: Fetched) -> None:
        size = len(fetched.content)
        if size > MEMO_BUDGET:
            return
        self.bodies[url] = fetched
        self.held += size
        while self.held > MEMO_BUDGET and self.bodies:
            old_url, old = self.bodies.popitem(last=False)
            self.held -= len(old.content)
            for key in [k for k in self.parsed if k[0] == old_url]:
                del self.parsed[key]

    def close(self) -> None:
        self.session.close()


def _server(url: str) -> str:
    parts = urllib.parse.urlsplit(url)
    return f"{parts.scheme.lower()}://{parts.netloc.lower()}"


_local = threading.local()


def _current() -> _Run | None:
    return getattr(_local, "run", None)


def faults_surface() -> bool:
    """True inside a run whose faults must surface (the ``varkit`` command's).

    There, a document that could not be had raises instead of taking the
    plain answer a direct caller gets ([], None, False), so that it is never
    read as "no document".
    """
    run = _current()
    return run is not None and run.faults_surface


def run_token() -> int:
    """A number that names the current run (never reused in the process); 0 outside one.

    Readers that keep what they made of a document keep it under this number.
    """
    run = _current()
    return run.serial if run is not None else 0


def run_memo(name: str) -> dict[object, object] | None:
    """A dictionary named ``name`` that lasts as long as the current run, for
    answers that stay true while it checks one tree (where a library is, who
    owns a file); None outside a run, where nothing is kept."""
    run = _current()
    return run.memos.setdefault(name, {}) if run is not None else None


@contextlib.contextmanager
def fetch_run(faults_surface: bool = True, use_cache: bool = True) -> Iterator[_Run]:
    """One run: fetched documents are shared until the block ends; with
    ``use_cache`` False, documents kept across runs are neither used nor kept.

    Nested blocks join the outer run (and keep its settings).
    """
    outer = _current()
    if outer is not None:
        yield outer
        return
    run = _Run(faults_surface, use_cache)
    _local.run = run
    try:
        yield run
    finally:
        _local.run = None
        run.close()


@contextlib.contextmanager
def _run_scope() -> Iterator[_Run]:
    with fetch_run() as run:
        yield run


def _read_capped(response: requests.Response, url: str, cap: int, deadline: float) -> bytes:
    parts: list[bytes] = []
    total = 0
    for chunk in response.iter_content(CHUNK):
        total += len(chunk)
        if total > cap:
            raise FetchError(url, f"the document is larger than {cap} bytes")
        if time.monotonic() > deadline:
            raise FetchError(url, f"not received within {deadline_seconds():g} s")
        parts.append(chunk)
    return b"".join(parts)


def _is_transient(exc: BaseException) -> bool:
    return isinstance(
        exc,
        (
            requests.ConnectionError,
            requests.Timeout,
            requests.exceptions.ChunkedEncodingError,
            ConnectionError,
        ),
    )


def _not_in_time(url: str) -> FetchError:
    return FetchError(url, f"not received within {deadline_seconds():g} s")


@contextlib.contextmanager
def _watchdog(url: str, deadline: float) -> Iterator[_Watch]:
    """Everything inside is over by ``deadline``: the sockets it reads from are
    shut then, and what that breaks is reported as the deadline passing."""
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        raise _not_in_time(url)
    watch = _Watch()
    timer = threading.Timer(remaining, watch.expire)
    timer.daemon = True
    saved = getattr(_local, "watch", None)
    _local.watch = watch
    timer.start()
    try:
        yield watch
    except Exception as exc:
        if watch.expired.is_set() and not isinstance(exc, FetchError):
            raise _not_in_time(url) from exc
        raise
    finally:
        timer.cancel()
        _local.watch = saved
    if watch.expired.is_set():
        raise _not_in_time(url)


def _same_origin(a: str, b: str) -> bool:
    first, second = urllib.parse.urlsplit(a), urllib.parse.urlsplit(b)
    return (first.scheme.lower(), first.hostname, first.port) == (
        second.scheme.lower(),
        second.hostname,
        second.port,
    )


def _request(
    run: _Run, method: str, url: str, deadline: float, headers: dict[str, str] | None = None
) -> requests.Response:
    """The final answer to ``method url`` (streamed, not read), redirects followed
    by hand within the document's origin, their bodies never read."""
    target = url
    for _ in range(MAX_REDIRECTS + 1):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise _not_in_time(url)
        timeout = (min(CONNECT_TIMEOUT, remaining), min(READ_TIMEOUT, remaining))
        # Straight to the adapter: the session's own send reads a redirect's whole
        # body (to reuse its connection) even when redirects are not followed.
        prepared = run.session.prepare_request(requests.Request(method, target, headers=headers))
        adapter = run.session.get_adapter(target)
        response = adapter.send(prepared, stream=True, timeout=timeout)
        location = response.headers.get("Location") if response.is_redirect else None
        if location is None:
            return response
        response.close()  # the redirect's own body stays unread
        following = urllib.parse.urljoin(target, location)
        if not _same_origin(url, following):
            raise FetchError(url, f"redirected to {following}, outside the result location")
        target = following
    raise FetchError(url, f"more than {MAX_REDIRECTS} redirects")


def _get_once(
    run: _Run, url: str, cap: int, deadline: float, kept: doc_cache.Entry | None
) -> Fetched:
    run.gets[url] += 1
    conditions = kept.conditions() if kept is not None else None
    with _watchdog(url, deadline), _request(run, "GET", url, deadline, conditions) as response:
        if response.status_code == 304:
            if kept is None or not conditions:
                raise FetchError(url, "answered 304 Not Modified to a request without validators")
            run.revalidated[url] += 1
            if run.cache is not None:
                run.cache.revalidated(url, kept, response.headers)
            return Fetched(kept.body, kept.url, 200, kept.sha256)
        if response.status_code >= 400:
            response.raise_for_status()
        content = _read_capped(response, url, cap, deadline)
        final = response.url or url
        digest = None
        if response.status_code == 200 and run.cache is not None:
            digest = run.cache.store(url, final, content, response.headers)
        return Fetched(content, final, response.status_code, digest)


def _kept_entry(run: _Run, url: str, cap: int) -> doc_cache.Entry | None:
    cache = run.cache
    kept = cache.lookup(url) if cache is not None else None
    return kept if kept is not None and len(kept.body) <= cap else None


def _get(run: _Run, url: str, kind: str) -> Fetched:
    cap = size_cap(kind)
    kept = _kept_entry(run, url, cap)
    if kept is not None and kept.fresh():
        run.fresh[url] += 1
        return Fetched(kept.body, kept.url, 200, kept.sha256)
    run.check_up(url)
    deadline = time.monotonic() + deadline_seconds()
    last: BaseException | None = None
    for attempt in range(TRIES):
        if attempt:
            pause = BACKOFF[min(attempt - 1, len(BACKOFF) - 1)]
            if time.monotonic() + pause >= deadline:
                break
            time.sleep(pause)
        try:
            return _get_once(run, url, cap, deadline, kept)
        except FetchError:
            raise
        except requests.HTTPError as exc:
            status = exc.response.status_code if exc.response is not None else 0
            if status in MISSING_STATUSES:
                raise
            if status not in RETRY_STATUSES:
                raise FetchError(url, str(exc)) from exc
            last = exc
        except (requests.RequestException, OSError, zlib.error) as exc:
            if not _is_transient(exc):
                raise FetchError(url, str(exc)) from exc
            last = exc
    raise run.given_up(url, last)


def get_document(url: str, kind: str = "json") -> Fetched:
    """The complete body at ``url`` (once per run); see the module text."""
    with _run_scope() as run:
        kept = run.bodies.get(url)
        if kept is not None:
            run.bodies.move_to_end(url)
            return kept
        failed = run.failures.get(url)
        if failed is not None:
            raise failed
        try:
            fetched = _get(run, url, kind)
        except requests.RequestException as exc:
            run.failures[url] = exc
            raise
        run.keep(url, fetched)
        return fetched


def get_bytes(url: str, kind: str = "report") -> bytes:
    return get_document(url, kind).content


def parsed(url: str, kind: str, parse):  # type: ignore[no-untyped-def]
    """``parse(body)`` of the document at ``url``, kept for the run.

    A body that does not parse is a document that could not be had.
    """
    with _run_scope() as run:
        key = (url, kind)
        if key in run.parsed:
            return run.parsed[key]
        fetched = get_document(url, kind)
        try:
            value = parse(fetched)
        except (ValueError, UnicodeDecodeError) as exc:
            error = FetchError(url, f"not a valid document: {exc}")
            raise error from exc
        if url in run.bodies:
            run.parsed[key] = value
        return value


def derived(url: str, name: str, kind: str = "report") -> bytes | None:
    """What a reader kept as ``name`` beside the cached body of ``url`` (see
    :func:`keep_derived`), while that body is still the document: it is revalidated
    (or fetched) as :func:`get_document` does. None when nothing usable is kept, or
    the document could not be had (the reader then meets the same failure)."""
    with _run_scope() as run:
        cache = run.cache
        if cache is None or not cache.has_derived(url, name):
            return None
        try:
            fetched = get_document(url, kind)
        except requests.RequestException:
            return None
        if fetched.digest is None:
            return None
        return cache.derived(url, name, fetched.digest)


def keep_derived(url: str, name: str, data: bytes) -> None:
    """Keeps ``data`` as ``name`` beside the cached body of ``url`` this run holds, for
    later runs that are answered with the same body. Nothing is kept when the cache
    does not hold this run's body."""
    with _run_scope() as run:
        cache = run.cache
        fetched = run.bodies.get(url)
        if cache is not None and fetched is not None and fetched.digest is not None:
            cache.keep_derived(url, name, fetched.digest, data)


def is_url(location: str) -> bool:
    """True for an http(s) URL (any case of the scheme), as the readers tell them."""
    return re.match(r"(?i)https?://", location) is not None


def head(url: str) -> Mapping[str, str] | None:
    """The headers of a successful answer to HEAD ``url`` (the plain, uncompressed
    representation; redirects followed within the origin), or None for any other
    answer or failure: the caller then does without them."""
    with _run_scope() as run:
        try:
            run.check_up(url)
            deadline = time.monotonic() + min(CONNECT_TIMEOUT + READ_TIMEOUT, deadline_seconds())
            with _watchdog(url, deadline):
                response = _request(run, "HEAD", url, deadline, {"Accept-Encoding": "identity"})
                response.close()
        except (requests.RequestException, OSError):
            return None
        return response.headers if 200 <= response.status_code < 300 else None


def probe(url: str, timeout: float) -> bool:
    """True when ``url`` answers below 400; False for a definite "no".

    A server that cannot be reached, or answers with a server error, raises
    :class:`FetchError`: the document may exist.
    """
    with _run_scope() as run:
        known = run.probes.get(url)
        if known is not None:
            return known
        failed = run.failures.get("probe:" + url)
        if failed is not None:
            raise failed
        run.check_up(url)
        last: BaseException | None = None
        for attempt in range(TRIES):
            if attempt:
                time.sleep(BACKOFF[min(attempt - 1, len(BACKOFF) - 1)])
            try:
                deadline = time.monotonic() + min(timeout, deadline_seconds())
                with _watchdog(url, deadline):
                    response = _request(run, "HEAD", url, deadline)
                    response.close()
                    if response.status_code in (405, 501):
                        response = _request(run, "GET", url, deadline)
                        response.close()
            except FetchError:
                raise
            except (requests.RequestException, OSError) as exc:
                if not _is_transient(exc):
                    run.probes[url] = False
                    return False
                last = exc
                continue
            if response.status_code in RETRY_STATUSES:
                last = requests.HTTPError(f"{response.status_code} Server Error for url: {url}")
                continue
            if response.status_code >= 500:
                last = requests.HTTPError(f"{response.status_code} Server Error for url: {url}")
                break
            answer = response.status_code < 400
            run.probes[url] = answer
            return answer
        error = run.given_up(url, last)
        run.failures["probe:" + url] = error
        raise error

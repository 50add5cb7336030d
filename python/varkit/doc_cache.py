"""Fetched documents kept across runs, and revalidated before they are used again.

A run that fetched a document with a validator the server will honour (an
``ETag``, or a ``Last-Modified`` at least a minute older than the answer's
``Date``) or with a ``Cache-Control: max-age`` keeps its body here. A later run
sends the validators (``If-None-Match`` / ``If-Modified-Since``) and takes the
kept body when the server answers 304; within ``max-age`` it asks nothing.
``no-store`` is never kept; ``no-cache`` is always revalidated.

The directory (``cache_dir``; by default ``/var/cache/varkit`` for root and
``$XDG_CACHE_HOME/varkit`` or ``~/.cache/varkit`` otherwise; ``none`` or
``--no-cache``: no cache) must be its user's own and closed to everyone else,
or it is not used. Each entry is one file written whole under a temporary name
and renamed into place, with the body's length and SHA-256 in its header; an
entry that does not match them is removed and the document fetched again.
Beside an entry, a reader may keep what it made of the body (a report's reading):
it is tagged with the body's SHA-256 and varkit's version and used only with that
very body. Past ``cache_max_bytes`` the least recently used files go. Any fault of the
cache (a missing, damaged or foreign directory, a full disk) costs only speed:
the document is fetched as if nothing were kept.
"""

from __future__ import annotations

import contextlib
import email.utils
import hashlib
import json
import os
import stat
import tempfile
import time
from dataclasses import dataclass
from typing import Mapping

import varkit
from varkit import conf_number
from varkit.logger import ABI_LOG, DEBUG

MAGIC = b"varkit-cache 1\n"
DERIVED_MAGIC = b"varkit-derived 1\n"
DEFAULT_MAX_BYTES = 1 << 30
# A Last-Modified this close to the answer's Date may change again within its
# one-second resolution: it validates nothing.
STRONG_AGE_SECONDS = 60.0
OFF = frozenset({"none", "off", "no"})


def default_directory() -> str:
    if os.geteuid() == 0:
        return "/var/cache/varkit"
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "varkit")


def configured_directory() -> str | None:
    """Where the cache lives, or None when it is switched off."""
    value = str(getattr(varkit.conf, "cache_dir", "") or "").strip()
    if value.lower() in OFF:
        return None
    return value or default_directory()


@dataclass
class Entry:
    url: str  # the URL the body finally came from (after redirects)
    body: bytes
    etag: str | None
    last_modified: str | None
    fresh_until: float  # epoch seconds; 0: revalidate before use
    sha256: str = ""  # of the body

    def fresh(self) -> bool:
        return time.time() < self.fresh_until

    def conditions(self) -> dict[str, str]:
        headers = {}
        if self.etag:
            headers["If-None-Match"] = self.etag
        if self.last_modified:
            headers["If-Modified-Since"] = self.last_modified
        return headers


def _directives(headers: Mapping[str, str]) -> dict[str, str]:
    found: dict[str, str] = {}
    for part in headers.get("Cache-Control", "").split(","):
        name, _, value = part.strip().partition("=")
        if name:
            found[name.lower()] = value.strip().strip('"')
    return found


def _max_age(directives: Mapping[str, str]) -> float:
    if "no-cache" in directives:
        return 0.0
    try:
        return max(0.0, float(directives.get("max-age", "0")))
    except ValueError:
        return 0.0


def _strong_last_modified(headers: Mapping[str, str]) -> str | None:
    modified, date = headers.get("Last-Modified"), headers.get("Date")
    if not modified or not date:
        return None
    try:
        modified_at = email.utils.parsedate_to_datetime(modified)
        date_at = email.utils.parsedate_to_datetime(date)
    except (TypeError, ValueError, IndexError):
        return None
    if modified_at.tzinfo is None or date_at.tzinfo is None:
        return None
    return modified if (date_at - modified_at).total_seconds() >= STRONG_AGE_SECONDS else None


def _key(url: str) -> str:
    return hashlib.sha256(url.encode("utf-8", "surrogatepass")).hexdigest()


class DocumentCache:
    """One user's kept documents in ``directory`` (see the module text)."""

    def __init__(self, directory: str, max_bytes: int) -> None:
        self.directory = directory
        self.max_bytes = max_bytes
        self._held: int | None = None  # bytes in the directory, counted when first needed

    @classmethod
    def open(cls, directory: str, max_bytes: int) -> DocumentCache | None:
        """The cache in ``directory`` (made if missing), or None when it cannot be
        used safely: not a directory of this user's, or open to others."""
        try:
            os.makedirs(directory, mode=0o700, exist_ok=True)
            info = os.lstat(directory)
        except OSError as exc:
            ABI_LOG(DEBUG, f"document cache {directory} not used: {exc}")
            return None
        if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.geteuid():
            ABI_LOG(DEBUG, f"document cache {directory} not used: not a directory of this user's")
            return None
        if info.st_mode & 0o077:
            ABI_LOG(DEBUG, f"document cache {directory} not used: open to other users")
            return None
        return cls(directory, max_bytes)

    def _path(self, url: str) -> str:
        return os.path.join(self.directory, _key(url))

    def lookup(self, url: str) -> Entry | None:
        """The kept entry of ``url``; None when there is none or it is damaged."""
        path = self._path(url)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            return None
        try:
            with os.fdopen(fd, "rb") as stream:
                if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
                    raise ValueError("not a regular file")
                if stream.readline() != MAGIC:
                    raise ValueError("not an entry")
                header = json.loads(stream.readline())
                body = stream.read()
            if (
                header.get("key_url") != url
                or len(body) != header.get("length")
                or hashlib.sha256(body).hexdigest() != header.get("sha256")
            ):
                raise ValueError("length or digest differs")
            entry = Entry(
                url=str(header["url"]),
                body=body,
                etag=header.get("etag"),
                last_modified=header.get("last_modified"),
                fresh_until=float(header.get("fresh_until", 0)),
                sha256=str(header["sha256"]),
            )
        except (OSError, ValueError, KeyError, TypeError) as exc:
            ABI_LOG(DEBUG, f"document cache: entry of {url} dropped: {exc}")
            self._remove(path)
            return None
        try:
            os.utime(path)  # most recently used
        except OSError:
            pass
        return entry

    def store(
        self, url: str, final_url: str, body: bytes, headers: Mapping[str, str]
    ) -> str | None:
        """Keeps the body of a complete 200 answer, when the answer allows it and
        a later run can revalidate or trust it; the body's SHA-256 when kept."""
        directives = _directives(headers)
        if "no-store" in directives:
            return None
        return self._keep(
            url,
            final_url,
            body,
            headers.get("ETag") or None,
            _strong_last_modified(headers),
            _max_age(directives),
        )

    def revalidated(self, url: str, entry: Entry, headers: Mapping[str, str]) -> None:
        """A 304 for ``entry``: a new max-age is written down, if the server gave one."""
        max_age = _max_age(_directives(headers))
        if max_age > 0:
            self._keep(url, entry.url, entry.body, entry.etag, entry.last_modified, max_age)

    def _keep(
        self,
        url: str,
        final_url: str,
        body: bytes,
        etag: str | None,
        last_modified: str | None,
        max_age: float,
    ) -> str | None:
        if etag is None and last_modified is None and max_age <= 0:
            return None  # a later run could neither revalidate nor trust it
        if len(body) > self.max_bytes:
            return None
        digest = hashlib.sha256(body).hexdigest()
        header = {
            "key_url": url,
            "url": final_url,
            "etag": etag,
            "last_modified": last_modified,
            "fresh_until": time.time() + max_age if max_age > 0 else 0,
            "length": len(body),
            "sha256": digest,
        }
        kept = self._write(self._path(url), MAGIC + json.dumps(header).encode() + b"\n", body)
        return digest if kept else None

    def _derived_path(self, url: str, name: str) -> str:
        if not name.isidentifier():
            raise ValueError(f"not a name for what is kept beside an entry: {name!r}")
        return self._path(url) + "." + name

    def has_derived(self, url: str, name: str) -> bool:
        return os.path.isfile(self._derived_path(url, name))

    def derived(self, url: str, name: str, digest: str) -> bytes | None:
        """What was kept as ``name`` beside ``url``'s body whose SHA-256 is ``digest``;
        None when nothing was, or it was made of another body or by another version."""
        path = self._derived_path(url, name)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
        except OSError:
            return None
        try:
            with os.fdopen(fd, "rb") as stream:
                if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
                    raise ValueError("not a regular file")
                if stream.readline() != DERIVED_MAGIC:
                    raise ValueError("not a derived entry")
                header = json.loads(stream.readline())
                data = stream.read()
            if (
                header.get("key_url") != url
                or len(data) != header.get("length")
                or hashlib.sha256(data).hexdigest() != header.get("sha256")
            ):
                raise ValueError("length or digest differs")
        except (OSError, ValueError, TypeError, AttributeError) as exc:
            ABI_LOG(DEBUG, f"document cache: {name} of {url} dropped: {exc}")
            self._remove(path)
            return None
        if header.get("body_sha256") != digest or header.get("version") != varkit.__version__:
            return None  # of another body, or by another reader: made again
        try:
            os.utime(path)
        except OSError:
            pass
        return data

    def keep_derived(self, url: str, name: str, digest: str, data: bytes) -> None:
        """Keeps ``data``, made of ``url``'s body whose SHA-256 is ``digest``."""
        header = {
            "key_url": url,
            "body_sha256": digest,
            "version": varkit.__version__,
            "length": len(data),
            "sha256": hashlib.sha256(data).hexdigest(),
        }
        if len(data) <= self.max_bytes:
            self._write(
                self._derived_path(url, name),
                DERIVED_MAGIC + json.dumps(header).encode() + b"\n",
                data,
            )

    def _write(self, path: str, header: bytes, body: bytes) -> bool:
        temporary = None
        try:
            fd, temporary = tempfile.mkstemp(dir=self.directory, prefix=".entry.")
            with os.fdopen(fd, "wb") as stream:
                stream.write(header)
                stream.write(body)
            os.replace(temporary, path)
            temporary = None
        except OSError as exc:
            ABI_LOG(DEBUG, f"document cache: not kept ({exc})")
            return False
        finally:
            if temporary is not None:
                self._remove(temporary)
        self._trim(len(header) + len(body))
        return True

    def _entries(self) -> list[tuple[float, int, str]]:
        found = []
        with os.scandir(self.directory) as listing:
            for item in listing:
                try:
                    info = item.stat(follow_symlinks=False)
                except OSError:
                    continue
                if stat.S_ISREG(info.st_mode):
                    found.append((info.st_mtime, info.st_size, item.path))
        return found

    def _trim(self, added: int) -> None:
        try:
            if self._held is None:
                self._held = sum(size for _, size, _ in self._entries())
            else:
                self._held += added
            if self._held <= self.max_bytes:
                return
            entries = sorted(self._entries())
            self._held = sum(size for _, size, _ in entries)
            for _, size, path in entries:
                if self._held <= self.max_bytes:
                    break
                self._remove(path)
                self._held -= size
        except OSError as exc:
            ABI_LOG(DEBUG, f"document cache: not trimmed ({exc})")

    @staticmethod
    def _remove(path: str) -> None:
        try:
            os.unlink(path)
        except IsADirectoryError:
            with contextlib.suppress(OSError):
                os.rmdir(path)  # in the way of an entry (left alone unless empty)
        except OSError:
            pass


def open_configured() -> DocumentCache | None:
    """The cache the configuration names, or None (switched off, or unusable)."""
    directory = configured_directory()
    if directory is None:
        return None
    return DocumentCache.open(directory, int(conf_number("cache_max_bytes", DEFAULT_MAX_BYTES)))

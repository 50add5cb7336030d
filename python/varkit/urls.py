"""URL checks and the JSON documents and directory listings read over HTTP.

Documents are read through varkit.fetch: bounded in time and size, retried
when the failure is transient, fetched once per run.
"""

from __future__ import annotations

import json
from html.parser import HTMLParser
from typing import Any
from urllib.parse import unquote, urljoin, urlsplit

import requests

from varkit import fetch
from varkit.logger import ABI_LOG

__all__ = [
    "get_directory_list",
    "get_json_content_from_url",
    "get_remote_json",
    "is_url_reachable",
    "is_valid_url",
]

# Seconds allowed for a reachability probe; documents follow varkit.fetch's policy.
PROBE_TIMEOUT = 5
FETCH_TIMEOUT = (fetch.CONNECT_TIMEOUT, fetch.READ_TIMEOUT)


def is_valid_url(url: Any) -> bool:
    """True for an http or https URL with a host (and a sane port)."""
    if not isinstance(url, str) or not url[:8].lower().startswith(("http://", "https://")):
        return False
    if any(ch.isspace() or ord(ch) < 0x20 or ord(ch) == 0x7F for ch in url):
        return False
    try:
        parts = urlsplit(url)
        _ = parts.port  # raises ValueError for a malformed port
    except ValueError:
        return False
    return parts.scheme.lower() in ("http", "https") and bool(parts.hostname)


def _probe(url: str) -> bool:
    try:
        return fetch.probe(url, PROBE_TIMEOUT)
    except fetch.FetchError as exc:
        ABI_LOG(3, f"{url} is not reachable: {exc}")
        if fetch.faults_surface():
            raise
        return False


def is_url_reachable(x: Any) -> bool:
    """True only for a valid URL that answers with a non-error status.

    False for an invalid URL and for a definite client error (404 and the
    like).  Inside a ``varkit.fetch.fetch_run`` (the whole ``varkit`` run), a
    server that cannot be reached or fails raises ``varkit.fetch.FetchError``,
    since the document may well exist; outside one it gives False.
    """
    if not is_valid_url(x):
        return False
    return _probe(x)


def _fetch(url: str, kind: str = "json") -> fetch.Fetched:
    return fetch.get_document(url, kind)


def _json_body(fetched: fetch.Fetched) -> Any:
    return json.loads(fetched.content)


def get_remote_json(url: str) -> Any:
    """The JSON document at ``url``; HTTP and JSON errors propagate.

    A missing document raises requests.HTTPError; any other failure, a
    truncated or junk body included, raises varkit.fetch.FetchError naming
    the URL.
    """
    return fetch.parsed(url, "json", _json_body)


def get_json_content_from_url(url: str) -> tuple[Any, int]:
    """(parsed document, HTTP status) of the JSON document at ``url``."""
    document = fetch.parsed(url, "json", _json_body)
    return document, _fetch(url).status_code


class _LinkCollector(HTMLParser):
    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.hrefs: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag == "a":
            for name, value in attrs:
                if name == "href" and value:
                    self.hrefs.append(value.strip())
                    break


def _listing_subdirs(html: str, base_url: str) -> list[str]:
    """Names of the direct subdirectories linked from a directory index page."""
    if not base_url.endswith("/"):
        base_url += "/"
    base = urlsplit(base_url)
    base_path = unquote(base.path)
    collector = _LinkCollector()
    collector.feed(html)
    collector.close()

    names: list[str] = []
    for href in collector.hrefs:
        if href.startswith(("?", "#")):
            continue  # sort-order links of fancy indexes
        target = urlsplit(urljoin(base_url, href))
        if target.query or (target.scheme, target.netloc) != (base.scheme, base.netloc):
            continue
        path = unquote(target.path)
        if not path.startswith(base_path) or not path.endswith("/"):
            continue  # parent links, absolute links elsewhere, plain files
        name = path[len(base_path) : -1]
        if not name or "/" in name or name in (".", ".."):
            continue
        if name not in names:  # icon and text links may point to the same entry
            names.append(name)
    return names


def get_directory_list(url: str) -> list[str]:
    """Subdirectory names in the directory index at ``url``, in listing order.

    Reads the index pages of the usual servers (generated listings of
    Python's http.server, nginx and Apache).  An invalid URL or a missing
    directory (404) gives [].  A listing that could not be had gives [] too,
    except inside a ``varkit.fetch.fetch_run`` (the whole ``varkit`` run),
    where it raises varkit.fetch.FetchError so that it is never taken for
    "no report".
    """
    if not is_valid_url(url):
        return []
    try:
        response = _fetch(url, "listing")
    except requests.RequestException as exc:
        ABI_LOG(3, f"cannot list {url}: {exc}")
        missing = exc.response is not None and exc.response.status_code in fetch.MISSING_STATUSES
        if missing or not fetch.faults_surface():
            return []
        if isinstance(exc, fetch.FetchError):
            raise
        raise fetch.FetchError(url, str(exc)) from exc
    try:
        text = response.content.decode("utf-8")
    except UnicodeDecodeError:
        text = response.content.decode("latin-1")
    # After a redirect ("dir" -> "dir/") links are relative to the final URL.
    return _listing_subdirs(text, response.url or url)

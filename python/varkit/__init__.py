"""varkit: package-upgrade compatibility checker.

Importing the package only reads the configuration into ``conf``; the
sub-modules (the extension modules and the host helpers) are imported on
demand by whoever needs them.

Configuration
-------------
``conf`` is filled from the INI file ``/etc/varkit.conf``, or from the file
named by the environment variable ``VARKIT_CONF``.  All keys live in the
``[varkit]`` section and are named like the attributes::

    [varkit]
    varkit_ver = 0.1.0
    remote_url = https://results.example.org/compat/
    default_compat_search_dir = /var/lib/varkit/compat_results
    summary_log = summary.log
    py_api_diff = py_api_diff.json
    conf_diff = conf_diff.json
    dest_php_version = 8.2
    php_api_diff = /var/lib/varkit/php_api_diff.log
    package_db = auto
    rpm_dbpath =
    rpm_root =

Every attribute has the default shown in ``DEFAULTS``.  A missing
``/etc/varkit.conf`` silently gives the defaults.  A file named by
``VARKIT_CONF`` that is missing, or any file that cannot be read or parsed,
gives the defaults plus one warning line on standard error.  Unknown keys are
ignored.  The attributes are plain and may be reassigned at run time.

Package database
----------------
Which package database says who owns a file (``varkit.packages``):

* ``package_db``: ``auto`` (the default) asks rpm when ``rpm`` is on the
  search path and its database lists at least one package, else dpkg's file
  lists when ``/var/lib/dpkg/info`` exists; ``rpm`` or ``dpkg`` use that one
  database only, even when it is empty; ``none`` uses no database (every
  ownership answer is empty and the packages a program needs are unknown).
  The database chosen is logged at info level (shown with ``--verbose``).
* ``rpm_dbpath``: the rpm database directory (rpm's ``--dbpath``); empty
  means rpm's own default.
* ``rpm_root``: the root the packages of that database were installed under
  (rpm's ``--root``); empty means ``/``.  A file below the root is looked
  up by its path inside the root, so ROOT/usr/bin/prog and /usr/bin/prog
  ask the same question.
"""

from __future__ import annotations

import os
import sys

__version__ = "0.1.0"

__all__ = [
    "CONF_ENV",
    "CONF_SECTION",
    "DEFAULTS",
    "DEFAULT_CONF_PATH",
    "Config",
    "conf",
    "load_conf",
]

DEFAULT_CONF_PATH = "/etc/varkit.conf"
CONF_ENV = "VARKIT_CONF"
CONF_SECTION = "varkit"

DEFAULTS: dict[str, str] = {
    # Text printed by --version.
    "varkit_ver": __version__,
    # Base URL of a published result tree; empty means none configured.
    "remote_url": "",
    # Local result tree used when the caller names none.
    "default_compat_search_dir": "/var/lib/varkit/compat_results",
    # File name of the summary log inside a result tree.
    "summary_log": "summary.log",
    # The part before the first "." names the per-package Python API diffs.
    "py_api_diff": "py_api_diff.json",
    # File name of the configuration-diff document inside a result tree.
    "conf_diff": "conf_diff.json",
    # PHP version the PHP compatibility scan tests against.
    "dest_php_version": "8.2",
    # File collecting the PHP compatibility scanner's output (appended to; never
    # through a symbolic link; created with mode 0600). Not in /tmp: a file there
    # can be planted by any user.
    "php_api_diff": "/var/lib/varkit/php_api_diff.log",
    # Package database answering ownership: auto, rpm, dpkg or none.
    "package_db": "auto",
    # rpm's --dbpath; empty: rpm's default.
    "rpm_dbpath": "",
    # rpm's --root; empty: /.
    "rpm_root": "",
    # Seconds one remote document may take from the first request to its last
    # byte, retries included.
    "fetch_deadline": "60",
    # Seconds the check of one file may take; past them the file is "not checked"
    # and the run goes on with the next one.
    "file_check_seconds": "900",
    # Largest decoded body accepted, per kind of remote document (bytes).
    "max_report_bytes": "536870912",
    "max_json_bytes": "268435456",
    "max_listing_bytes": "16777216",
    # Where fetched documents are kept across runs (see varkit.doc_cache); empty:
    # /var/cache/varkit for root, $XDG_CACHE_HOME/varkit or ~/.cache/varkit for
    # other users; "none": nothing is kept.
    "cache_dir": "",
    # Largest size of that directory (bytes); the least recently used go first.
    "cache_max_bytes": "1073741824",
}


class Config:
    """Plain settings holder; one attribute per key of ``DEFAULTS``."""

    varkit_ver: str
    remote_url: str
    default_compat_search_dir: str
    summary_log: str
    py_api_diff: str
    conf_diff: str
    dest_php_version: str
    php_api_diff: str
    package_db: str
    rpm_dbpath: str
    rpm_root: str
    fetch_deadline: str
    file_check_seconds: str
    max_report_bytes: str
    max_json_bytes: str
    max_listing_bytes: str
    cache_dir: str
    cache_max_bytes: str

    def __init__(self, values: dict[str, str] | None = None, source: str | None = None) -> None:
        merged = dict(DEFAULTS)
        if values:
            merged.update((k, v) for k, v in values.items() if k in DEFAULTS)
        for key, value in merged.items():
            setattr(self, key, value)
        # Path of the file the values came from, None when all are defaults.
        self.source = source

    def __repr__(self) -> str:
        fields = ", ".join(f"{k}={getattr(self, k, None)!r}" for k in DEFAULTS)
        return f"Config({fields})"


def _warn(text: str) -> None:
    # Exactly one line, whatever the parser's message looks like.
    sys.stderr.write("varkit: warning: " + " ".join(text.split()) + "\n")


def load_conf(path: str | None = None) -> Config:
    """Read the configuration; never raises.

    ``path`` None means: the file named by ``VARKIT_CONF``, else the default
    file, whose absence is normal.
    """
    explicit = path is not None
    if path is None:
        env_path = os.environ.get(CONF_ENV)
        if env_path:
            path, explicit = env_path, True
        else:
            path = DEFAULT_CONF_PATH

    if not os.path.exists(path):
        if explicit:
            _warn(f"configuration file {path} not found; using defaults")
        return Config()

    import configparser  # only needed when there is a file to read

    parser = configparser.ConfigParser(interpolation=None)
    try:
        with open(path, encoding="utf-8") as handle:
            parser.read_file(handle, source=path)
    except (OSError, UnicodeDecodeError, configparser.Error) as exc:
        _warn(f"cannot read configuration file {path} ({exc}); using defaults")
        return Config()

    if not parser.has_section(CONF_SECTION):
        _warn(f"configuration file {path} has no [{CONF_SECTION}] section; using defaults")
        return Config()
    return Config(dict(parser.items(CONF_SECTION)), source=path)


conf = load_conf()


def conf_number(key: str, default: float) -> float:
    """A positive number the configuration gives; ``default`` when it gives none."""
    try:
        value = float(getattr(conf, key, default))
    except (TypeError, ValueError):
        return default
    return value if value > 0 else default

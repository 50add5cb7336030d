"""Writing the result where ``-o`` says, as a shell's redirection would, but
never leaving a regular file half written.

- A regular file, or a path that does not exist yet, is replaced whole when the
  run ends: a temporary file in the same directory, renamed over it; the old
  file's mode (and, for root, its owner) is kept.
- A symbolic link is written through: the file it points to is the one
  replaced (or created), and the link stays.
- A character device (``/dev/null``, a terminal) or a FIFO is written to
  directly, as ``>`` would.
- Anything else (a directory, a block device, a socket) is refused.

Everything that can be known before the run is checked when the file is
opened, so that a run is never made only to lose its result at the end.

A temporary file is removed on every exit Python sees; one that a killed run
left behind (no run holds its lock, and it is over a minute old) is removed by
the next run writing the same file.
"""

from __future__ import annotations

import fcntl
import os
import re
import stat
import tempfile
import time
from typing import Optional

# A temporary file this old and unlocked belongs to no live run.
STALE_SECONDS = 60.0


class OutputFile:
    def __init__(self, path: str) -> None:
        self.path = path
        try:
            status: Optional[os.stat_result] = os.stat(path)  # through any link
        except FileNotFoundError:
            status = None
        if status is not None and not stat.S_ISREG(status.st_mode):
            self._direct = self._check_direct(path, status.st_mode)
            self._target = path
            return
        self._direct = False
        # A link (or a chain of them) names the file that is really written.
        self._target = os.path.realpath(path) if os.path.islink(path) else path
        if status is not None and not os.access(self._target, os.W_OK):
            raise PermissionError(f"{path} is not writable")
        self._probe_directory()
        self._clear_stale()

    @staticmethod
    def _check_direct(path: str, mode: int) -> bool:
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(f"{path} is a directory")
        if not (stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)):
            kind = (
                "a block device"
                if stat.S_ISBLK(mode)
                else "a socket"
                if stat.S_ISSOCK(mode)
                else "a special file"
            )
            raise OSError(
                f"{path} is {kind}: the result goes to a regular file, a character device or a FIFO"
            )
        if not os.access(path, os.W_OK):
            raise PermissionError(f"{path} is not writable")
        return True

    def _probe_directory(self) -> None:
        """The directory must take the temporary file the result is renamed from."""
        try:
            descriptor, probe = self._temporary()
        except OSError as exc:
            raise OSError(
                exc.errno,
                f"{self._directory()} takes no new file ({exc.strerror}); the result "
                f"replaces {self.path} through one",
            ) from None
        os.close(descriptor)
        os.unlink(probe)

    def _directory(self) -> str:
        return os.path.dirname(os.path.abspath(self._target))

    def _prefix(self) -> str:
        return "." + os.path.basename(self._target) + "."

    def _temporary(self) -> tuple[int, str]:
        """A new temporary file beside the target, locked while this run has it."""
        descriptor, path = tempfile.mkstemp(
            dir=self._directory(), prefix=self._prefix(), suffix=".tmp"
        )
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        return descriptor, path

    def _clear_stale(self) -> None:
        directory = self._directory()
        # mkstemp's names: the prefix, 8 characters of its alphabet, the suffix.
        pattern = re.compile(re.escape(self._prefix()) + r"[a-z0-9_]{8}\.tmp\Z")
        try:
            names = [name for name in os.listdir(directory) if pattern.match(name)]
        except OSError:
            return
        for name in names:
            path = os.path.join(directory, name)
            try:
                descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
            except OSError:
                continue
            try:
                info = os.fstat(descriptor)
                if (
                    not stat.S_ISREG(info.st_mode)
                    or info.st_uid != os.geteuid()
                    or time.time() - info.st_mtime < STALE_SECONDS
                ):
                    continue
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)  # raises while a run has it
                os.unlink(path)
            except OSError:
                continue
            finally:
                os.close(descriptor)

    def commit(self, text: str) -> None:
        data = text.encode("utf-8", "surrogateescape")
        if self._direct:
            # No O_TRUNC: a device or FIFO has nothing to truncate.
            descriptor = os.open(self._target, os.O_WRONLY | os.O_NOCTTY)
            try:
                _write_all(descriptor, data)
            finally:
                os.close(descriptor)
            return
        descriptor, temporary = self._temporary()
        try:
            try:
                _write_all(descriptor, data)
                self._keep_identity(descriptor)
                os.fsync(descriptor)
            finally:
                os.close(descriptor)
            os.replace(temporary, self._target)
        except BaseException:
            try:
                os.unlink(temporary)
            except OSError:
                pass
            raise

    def _keep_identity(self, descriptor: int) -> None:
        try:
            old = os.stat(self._target)
        except FileNotFoundError:
            umask = os.umask(0)
            os.umask(umask)
            os.fchmod(descriptor, 0o666 & ~umask)
            return
        if os.geteuid() == 0:
            try:
                os.fchown(descriptor, old.st_uid, old.st_gid)
            except OSError:
                pass
        os.fchmod(descriptor, old.st_mode & 0o7777)

    def discard(self) -> None:
        """Nothing is left behind: the temporary file exists only while committing."""


def _write_all(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view) :]


def open_output(path: Optional[str]) -> Optional[OutputFile]:
    return OutputFile(path) if path else None

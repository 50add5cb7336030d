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
"""

from __future__ import annotations

import os
import stat
import tempfile
from typing import Optional


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
            descriptor, probe = tempfile.mkstemp(dir=self._directory(), prefix=self._prefix())
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
        descriptor, temporary = tempfile.mkstemp(
            dir=self._directory(), prefix=self._prefix(), suffix=".tmp"
        )
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

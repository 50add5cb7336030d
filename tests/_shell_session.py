"""An interactive shell under tmux: type a line, press Tab, read back the line
the shell then shows."""

from __future__ import annotations

import os
import shlex
import subprocess
import time
import uuid

PROMPT = "vk> "
_SANITIZER_VARIABLES = ("VARKIT_SANITIZER_PRELOAD", "PYTHONPATH", "ASAN_OPTIONS", "UBSAN_OPTIONS")


class ShellSession:
    def __init__(self, argv: list[str], setup: list[str]) -> None:
        self.socket = f"varkit-test-{uuid.uuid4().hex[:8]}"
        self.env = {"PATH": "/usr/bin:/bin", "TERM": "xterm", "HOME": os.environ.get("HOME", "/")}
        # Under `make sanitize-test` the Python processes the shell starts need these.
        self.env.update((k, os.environ[k]) for k in _SANITIZER_VARIABLES if k in os.environ)
        command = " ".join(
            ["env", "-i"] + [shlex.quote(f"{k}={v}") for k, v in self.env.items()] + argv
        )
        self._tmux("new-session", "-d", "-s", "main", "-x", "220", "-y", "40", command)
        for line in [*setup, f"PS1='{PROMPT}'", "clear"]:
            self._tmux("send-keys", "-t", "main", "-l", line)
            self._tmux("send-keys", "-t", "main", "Enter")
        self._wait_for(lambda screen: screen.strip() == PROMPT.strip())

    def _tmux(self, *args: str) -> str:
        return subprocess.run(
            ["tmux", "-L", self.socket, *args], capture_output=True, text=True, check=True
        ).stdout

    def _screen(self) -> str:
        return self._tmux("capture-pane", "-p", "-t", "main")

    def _wait_for(self, done, seconds: float = 10.0) -> str:  # type: ignore[no-untyped-def]
        deadline = time.monotonic() + seconds
        screen = self._screen()
        while not done(screen) and time.monotonic() < deadline:
            time.sleep(0.05)
            screen = self._screen()
        return screen

    def complete(self, typed: str) -> str:
        """The prompt's line after typing ``typed`` and one Tab."""
        self._tmux("send-keys", "-t", "main", "-l", typed)
        self._wait_for(lambda screen: typed in screen)
        self._tmux("send-keys", "-t", "main", "Tab")
        # The line settles once the shell has answered the Tab.
        last, stable_since = "", time.monotonic()
        deadline = stable_since + 5.0
        while time.monotonic() < deadline:
            screen = self._screen()
            if screen != last:
                last, stable_since = screen, time.monotonic()
            elif time.monotonic() - stable_since > 0.5:
                break
            time.sleep(0.05)
        # The last prompt: under load the previous case's line may not have been cleared yet.
        line = next((row for row in reversed(last.splitlines()) if row.startswith(PROMPT)), "")
        # Clear the line for the next case (Ctrl-C gives a fresh prompt in every shell).
        self._tmux("send-keys", "-t", "main", "C-c")
        self._tmux("send-keys", "-t", "main", "-l", "clear")
        self._tmux("send-keys", "-t", "main", "Enter")
        self._wait_for(lambda screen: screen.strip() == PROMPT.strip())
        return line[len(PROMPT) :].rstrip()

    def run(self, line: str) -> None:
        """Type ``line`` and Enter, without waiting for it to end."""
        self._tmux("send-keys", "-t", "main", "-l", line)
        self._tmux("send-keys", "-t", "main", "Enter")

    def key(self, name: str) -> None:
        self._tmux("send-keys", "-t", "main", name)

    def screen_when(self, done, seconds: float = 120.0) -> str:  # type: ignore[no-untyped-def]
        """The screen (with its scroll-back) once ``done(screen)`` holds, or at the deadline."""
        self._wait_for(done, seconds)
        return self._tmux("capture-pane", "-p", "-J", "-S", "-", "-t", "main")

    def close(self) -> None:
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)

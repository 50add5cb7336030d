"""The ``varkit`` command: options, the impact check they ask for, the report.

    varkit --checkabi --with-symbol --search-local RESULTS --check-local FILE_OR_DIR...
    varkit --checkconf --search-remote URL --check-local A,B
    varkit --checkexec --search-remote URL --check-local SCRIPT -f table -o report.txt

The result is ``{"library": [per-file records...], "verdict": ..., "files": {...}}``,
printed as JSON (default) or as tables; each per-file record gains "verdict",
"reasons" and "notes" (see varkit.verdict). Standard output carries the result
alone: whatever the checks and the commands they run print on their way goes
to standard error.

The command always answers with a whole result. A file whose check fails is
"not checked" with the error as its reason, and the other files are checked
as usual; an interrupted run (SIGINT, SIGTERM) reports the files checked so
far and marks the rest "not checked" (a second interrupt ends the process at
once); an error of varkit itself is one line on standard error, and the
result so far is still printed. Exit status: see varkit.command_line.EPILOG.
"""

from __future__ import annotations

import contextlib
import datetime
import errno
import os
import shutil
import signal
import stat
import sys
import time
import traceback
from typing import Any, Callable, Iterator, Optional, Sequence, TextIO, Union

from varkit import __version__, command_line, conf_number, output_file, report_output
from varkit import verdict as verdicts
from varkit.record import CheckResult, FileRecord
from varkit.time_limit import TimeLimitExceeded, time_limit

# Never walked when the whole machine ("/") is checked.
PSEUDO_FILESYSTEMS = ("proc", "sys", "dev", "run")

BUG_HINT = "please report it, with the command line and the output of --verbose"


class Interrupted(BaseException):
    """The run was stopped by a signal; ``name`` is the signal's name."""

    def __init__(self, name: str) -> None:
        super().__init__(name)
        self.name = name


@contextlib.contextmanager
def _signals_interrupt() -> Iterator[None]:
    """SIGINT and SIGTERM stop the run once; a second one ends the process."""
    if not _in_main_thread():
        yield
        return
    previous = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGTERM)}

    def interrupt(number: int, _frame: Any) -> None:
        for each in previous:
            signal.signal(each, signal.SIG_DFL)
        raise Interrupted(signal.Signals(number).name)

    for number in previous:
        signal.signal(number, interrupt)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _in_main_thread() -> bool:
    import threading

    return threading.current_thread() is threading.main_thread()


class TerminalStream:
    """Standard error on a terminal, shared by the progress line and everything
    else printed there: the progress line is cleared before any other text."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._shown = False

    def show(self, line: str) -> None:
        self._stream.write("\r\x1b[K" + line)
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False

    def write(self, text: str) -> int:
        if text:
            self.clear()
        return self._stream.write(text)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


@contextlib.contextmanager
def _stderr_through(stream: Optional[TerminalStream]) -> Iterator[None]:
    if stream is None:
        yield
        return
    saved, sys.stderr = sys.stderr, stream
    try:
        yield
    finally:
        sys.stderr = saved
        stream.clear()


class LabelledStream:
    """Standard error for what the checks print: the first text printed during
    a file's check is preceded by a line naming the file, so that a symbol
    table can be told apart from the next file's."""

    def __init__(self, stream: Union[TextIO, TerminalStream]) -> None:
        self._stream = stream
        self._label: Optional[str] = None

    def label(self, name: Optional[str]) -> None:
        self._label = name

    def write(self, text: str) -> int:
        if self._label is not None and text:
            self._stream.write(f"--- {self._label}\n")
            self._label = None
        return self._stream.write(text)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


@contextlib.contextmanager
def _output_to_stderr(stream: LabelledStream) -> Iterator[None]:
    """Standard output, Python's and the process's, goes to standard error."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        os.dup2(2, 1)
        with contextlib.redirect_stdout(stream):
            yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 1)
        os.close(saved)


def file_problem(path: str) -> Optional[str]:
    """Why ``path`` cannot be checked as a file, or None when it can be read."""
    try:
        mode = os.stat(path).st_mode
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            return "it is a loop of symbolic links"
        if os.path.islink(path):
            return f"it is a broken symbolic link (to {os.readlink(path)})"
        return f"it cannot be read ({exc.strerror})"
    if stat.S_ISDIR(mode):
        return None
    if not stat.S_ISREG(mode):
        kinds = (
            (stat.S_ISFIFO, "a FIFO"),
            (stat.S_ISSOCK, "a socket"),
            (stat.S_ISCHR, "a device"),
            (stat.S_ISBLK, "a device"),
        )
        kind = next((name for test, name in kinds if test(mode)), "a special file")
        return f"it is not a regular file but {kind}"
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        return f"it cannot be read ({exc.strerror})"
    return None


def walk_facts(top: str) -> tuple[list[tuple[str, str]], list[str]]:
    """What a walk of ``top`` passes by: (directory, reason) for each directory
    it cannot list, and the symbolic links to directories, which it does not enter."""
    errors: list[OSError] = []
    links = []
    for directory, subdirectories, _ in os.walk(top, onerror=errors.append):
        if os.path.abspath(directory) == "/" == os.path.abspath(top):
            subdirectories[:] = [d for d in subdirectories if d not in PSEUDO_FILESYSTEMS]
        links += [
            os.path.join(directory, name)
            for name in subdirectories
            if os.path.islink(os.path.join(directory, name))
        ]
    unreadable = [(str(error.filename), error.strerror or str(error)) for error in errors]
    return unreadable, sorted(links)


def count_files(target: str) -> int:
    """How many files a check of ``target`` visits (for the progress line)."""
    if not os.path.isdir(target):
        return 1
    total = 0
    for directory, subdirectories, files in os.walk(target):
        if os.path.abspath(directory) == "/" == os.path.abspath(target):
            subdirectories[:] = [d for d in subdirectories if d not in PSEUDO_FILESYSTEMS]
        total += len(files)
    return total


class Run:
    """One run of the command over its targets, for one or more check kinds."""

    def __init__(
        self, location: str, remote: bool, targets: Sequence[str], progress: Optional[TextIO]
    ) -> None:
        self.location = location
        self.remote = remote
        self.targets = list(targets)
        self.result: CheckResult = {"library": []}
        self.interrupted: Optional[str] = None
        self.error: Optional[str] = None
        self._terminal = TerminalStream(progress) if progress is not None else None
        self._count = 0
        self._total: Optional[int] = None
        self._kinds = 1
        self._started = 0.0
        self._current: Optional[tuple[str, FileRecord, str]] = None
        self._pending: list[tuple[str, str]] = []
        self._walked: dict[str, set[str]] = {}  # per check kind, the real directories walked
        self._printed = LabelledStream(self._terminal or sys.stderr)
        self._file_seconds = conf_number("file_check_seconds", 900.0)

    def check(self, kinds: Sequence[str]) -> None:
        from varkit import fetch, impactor

        self._pending = [(kind, target) for kind in kinds for target in self.targets]
        self._kinds = len(kinds)
        original = impactor.search_source_for_dest_file
        impactor.search_source_for_dest_file = self._guarded(original)
        try:
            terminal, printed = self._terminal, self._printed
            with _stderr_through(terminal), _output_to_stderr(printed), fetch.fetch_run():
                while self._pending:
                    kind, target = self._pending[0]
                    self._check_target(impactor, kind, target)
                    self._pending.pop(0)
        except Interrupted as stop:
            self.interrupted = stop.name
            self._mark_unfinished()
        except Exception as exc:  # an error of varkit itself, outside any one file's check
            self.error = f"{type(exc).__name__}: {exc}"
            self._log_traceback()
            self._mark_unfinished()
        finally:
            impactor.search_source_for_dest_file = original

    def _check_target(self, impactor: Any, kind: str, target: str) -> None:
        if os.path.isdir(target):
            self._walked.setdefault(kind, set()).add(os.path.realpath(target))
            impactor.search_source_for_dest_dir(self.location, target, self.result, kind)
            unreadable, links = walk_facts(target)
            for directory, reason in unreadable:
                self.result["library"].append(
                    {"dest_file": directory, "check_type": kind, "walk_error": [reason]}
                )
            self._follow_directory_links(kind, links)
        else:
            file_map: FileRecord = {}
            impactor.search_source_for_dest_file(self.location, target, file_map, kind)
            self.result["library"].append(file_map)

    def _follow_directory_links(self, kind: str, links: list[str]) -> None:
        """A link to a directory inside a target (app/current -> releases/v3) is
        walked as a target of its own, right after this one, unless the real
        directory is, or lies inside, one walked already: each real directory
        is checked once, and a loop of links ends."""
        walked = self._walked[kind]
        follow = []
        for link in links:
            real = os.path.realpath(link)
            if any(real == done or real.startswith(done.rstrip("/") + "/") for done in walked):
                continue
            walked.add(real)
            follow.append((kind, link))
        self._pending[1:1] = follow

    def _guarded(self, original: Callable[..., Any]) -> Callable[..., Any]:
        """The per-file check, with its failures kept to the file that met them."""

        def checked(search: Any, path: Any, file_map: Any, check_type: Any) -> Any:
            self._current = (path, file_map, check_type)
            self._show_progress(path)
            self._printed.label(f"{path} [{check_type}]")
            problem = file_problem(path) if isinstance(path, str) else None
            try:
                with time_limit(self._file_seconds) as bound:
                    passed = original(search, path, file_map, check_type)
                    if check_type == "ABI" and not problem:
                        from varkit import py_imports

                        py_imports.record_unresolved(search, path, file_map)
            except TimeLimitExceeded as exceeded:
                if exceeded is not bound:
                    raise
                _record_failure(
                    file_map,
                    path,
                    "TimeLimitExceeded",
                    f"the check of this file ran past {exceeded.seconds:g} s",
                )
                passed = False
            except Exception as exc:
                _record_failure(file_map, path, type(exc).__name__, _failure_text(exc))
                self._log_traceback()
                passed = False
            if isinstance(file_map, dict):
                file_map.setdefault("check_type", check_type)
                if problem:
                    file_map.setdefault("file_unreadable", []).append(problem)
            self._current = None
            self._printed.label(None)
            return passed

        return checked

    def _show_progress(self, path: Any) -> None:
        if self._terminal is None:
            return
        if self._total is None:
            self._total = self._kinds * sum(count_files(t) for t in self.targets)
            self._started = time.monotonic()
        self._count += 1
        elapsed = time.monotonic() - self._started
        rate = (self._count - 1) / elapsed if elapsed > 0 else 0.0
        left = max(self._total - self._count, 0)
        eta = f", {int(left / rate) // 60}:{int(left / rate) % 60:02d} left" if rate else ""
        head = f"[{self._count}/{self._total}, {rate:.0f}/s{eta}] "
        width = shutil.get_terminal_size((100, 24)).columns - 1
        name = str(path)
        if len(head) + len(name) > width:
            name = "…" + name[-max(width - len(head) - 1, 8) :]
        self._terminal.show(head + name)

    def _mark_unfinished(self) -> None:
        why = f"interrupted by {self.interrupted}" if self.interrupted else "stopped by an error"
        library = self.result["library"]
        if self._current is not None:
            path, file_map, kind = self._current
            if not any(entry is file_map for entry in library):
                file_map.setdefault("dest_file", path)
                library.append(file_map)
            file_map.setdefault("check_type", kind)
            file_map.setdefault("interrupted", []).append(f"the run was {why} during this check")
        for index, (kind, target) in enumerate(self._pending):
            started = index == 0 and os.path.isdir(target)
            what = "the rest of this directory" if started else "this target"
            library.append(
                {
                    "dest_file": target,
                    "check_type": kind,
                    "interrupted": [f"the run was {why} before {what} was checked"],
                }
            )
        self._pending = []

    @staticmethod
    def _log_traceback() -> None:
        from varkit.logger import ABI_LOG

        ABI_LOG(3, traceback.format_exc())


def _record_failure(file_map: Any, path: Any, name: str, text: str) -> None:
    file_map.setdefault("dest_file", path)
    file_map.setdefault("check_failed", []).append([name, text])


def _failure_text(exc: BaseException) -> str:
    """The error's text, naming the document when it is one that could not be fetched."""
    url = getattr(exc, "url", None)
    if isinstance(url, str) and url not in str(exc):
        return f"{url}: {exc}"
    return str(exc)


def in_path_order(library: list[FileRecord], kinds: Sequence[str]) -> list[FileRecord]:
    """The per-file records sorted by path (as bytes, the order of `ls` in the C
    locale), then by check kind; a file met twice (a target given twice, or
    inside another target) is listed once."""

    def key(entry: FileRecord) -> tuple[bytes, int]:
        path = entry.get("dest_file")
        name = os.fsencode(path) if isinstance(path, str) else b""
        kind = entry.get("check_type", "")
        return name, kinds.index(kind) if kind in kinds else len(kinds)

    ordered: list[FileRecord] = []
    seen: set[tuple[bytes, int]] = set()
    for entry in sorted(library, key=key):
        if isinstance(entry.get("dest_file"), str):
            if key(entry) in seen:
                continue
            seen.add(key(entry))
        ordered.append(entry)
    return ordered


def judge_all(result: CheckResult, remote: bool) -> list[str]:
    """Gives every per-file record its verdict; the verdict names in order."""
    from varkit import elf

    for file_map in result["library"]:
        path = file_map.get("dest_file")
        typed = isinstance(path, str) and not verdicts.blocked(file_map)
        try:
            file_type = elf.get_file_type(path) if typed and path is not None else None
        except OSError:  # an object that could not be read: its check said so already
            file_type = None
        judged = verdicts.judge(file_map, file_map.get("check_type", ""), remote, file_type)
        file_map["verdict"] = judged.verdict
        file_map["reasons"] = judged.reasons
        file_map["notes"] = judged.notes
    names = [entry["verdict"] for entry in result["library"]]
    result["verdict"] = verdicts.overall(names)
    result["files"] = {name: names.count(name) for name in verdicts.VERDICTS}
    return names


def _usage_error(message: str) -> int:
    sys.stderr.write(f"{command_line.PROG}: {message}\n")
    return verdicts.EXIT_USAGE


def _location_problem(location: str, remote: bool) -> Optional[str]:
    import requests

    from varkit import urls

    if remote:
        try:
            reachable = urls.is_url_reachable(location)
        except requests.RequestException as exc:
            # The tree may well be there: go on, and every file that needs it
            # says it was not checked, and why.
            sys.stderr.write(
                f"{command_line.PROG}: warning: the result location {location} "
                f"cannot be reached now: {exc}\n"
            )
            return None
        if not reachable:
            return f"the result location {location} is not reachable"
        return None
    if not os.path.isdir(location):
        return f"the result location {location} is not a directory"
    return None


def _terminal_width() -> Optional[int]:
    """The terminal's width when the table goes to one; None (lines whole) otherwise."""
    stream = sys.stdout
    if stream.isatty():
        return max(shutil.get_terminal_size((100, 24)).columns, 40)
    return None


def _write(text: str, output: Optional[output_file.OutputFile]) -> None:
    if output is not None:
        output.commit(text + "\n")
        return
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        options = command_line.parse(argv)
    except command_line.UsageError as exc:
        return _usage_error(str(exc))
    # Only a run needs these (and what they import): --help and --version do not.
    from varkit import fetch, logger

    logger.set_verbose(options.verbose)
    try:
        output = output_file.open_output(options.output)
    except OSError as exc:
        return _usage_error(f"cannot write the result to {options.output}: {exc.strerror or exc}")
    try:
        # the check and the verdicts share one fetch of each document
        with fetch.fetch_run(use_cache=not options.no_cache):
            return _check_and_report(options, output)
    finally:
        if output is not None:
            output.discard()


def _check_and_report(
    options: command_line.CommandOptions, output: Optional[output_file.OutputFile]
) -> int:
    from varkit import conf

    remote = options.search_remote is not None
    location = (
        options.search_remote
        or options.search_local
        or str(getattr(conf, "default_compat_search_dir", ""))
    )
    problem = _location_problem(location, remote)
    if problem:
        return _usage_error(problem)
    run = Run(location, remote, options.targets, sys.stderr if sys.stderr.isatty() else None)
    run.result["meta"] = {
        "version": __version__,
        "location": location,
        "checks": list(options.kinds),
        "targets": list(options.targets),
        "started": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
    }
    with _signals_interrupt():
        run.check(options.kinds)
    return _report(run, remote, options, output)


def _report(
    run: Run,
    remote: bool,
    options: command_line.CommandOptions,
    output: Optional[output_file.OutputFile],
) -> int:
    result = run.result
    result["library"] = in_path_order(result["library"], options.kinds)
    try:
        names = judge_all(result, remote)
    except Exception as exc:
        run.error = run.error or f"{type(exc).__name__}: {exc}"
        names = []
        result.setdefault("verdict", verdicts.NOT_CHECKED)
        result.setdefault("files", {})
    if run.interrupted:
        result["interrupted"] = run.interrupted
        reached = sum(1 for entry in result["library"] if "interrupted" not in entry)
        sys.stderr.write(
            f"{command_line.PROG}: interrupted by {run.interrupted} after {reached} checked "
            f"file{'s' if reached != 1 else ''}; the rest is not checked\n"
        )
    if run.error:
        result["error"] = run.error
        sys.stderr.write(f"{command_line.PROG}: internal error ({run.error}); {BUG_HINT}\n")
    if options.only is not None:
        result["library"] = [e for e in result["library"] if e.get("verdict") in options.only]
    with contextlib.suppress(Exception):
        report_output.add_demangled(result)
    text = ""
    if options.format == "table":
        with contextlib.suppress(Exception):
            text = (
                report_output.render_table(result)
                if options.verbose
                else report_output.render_compact(result, _terminal_width())
            )
    _write(text or report_output.render_json(result), output)
    status = verdicts.exit_status(names)
    if run.error:
        status |= verdicts.EXIT_NOT_CHECKED
    return status


def console_main() -> None:
    try:
        status = main()
    except BrokenPipeError:
        _end_as_sigpipe()
    except KeyboardInterrupt:
        sys.stderr.write(f"{command_line.PROG}: interrupted\n")
        status = 128 + signal.SIGINT
    except Exception as exc:
        sys.stderr.write(
            f"{command_line.PROG}: internal error ({type(exc).__name__}: {exc}); {BUG_HINT}\n"
        )
        status = verdicts.EXIT_NOT_CHECKED
    sys.exit(status)


def _end_as_sigpipe() -> None:
    """The reader of standard output went away (`| head`): end quietly, as a
    program that does not catch SIGPIPE ends, with nothing more written."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())  # the interpreter's last flush finds no pipe
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    os.kill(os.getpid(), signal.SIGPIPE)
    sys.exit(128 + signal.SIGPIPE)  # where the signal could not end the process

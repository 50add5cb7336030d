"""The `varkit` command while its result tree fails: a server that stops (or is cut
off mid-answer) after any number of requests, server errors, reset connections,
and damaged documents served remotely or read locally.

Each property is one test over every fault of a family:
* the command answers: standard output is a result that parses, every file has
  a verdict, and the exit status says when a file could not be checked;
* a fault costs only the files that needed what failed: a file whose documents
  were all served as usual keeps its verdict, and a file that needed a failed
  document is never "not affected" (unless it was affected anyway).

What a file needs is measured, not assumed: each file is first checked alone
against an undisturbed server that records the requests it answers.
"""

from __future__ import annotations

import http.server
import json
import shutil
import socket
import subprocess
import sys
import threading
from dataclasses import dataclass
from functools import partial
from pathlib import Path
from typing import Optional

import pytest

from conftest import EXAMPLES, needs_private_mounts
from varkit import verdict as verdicts

pytestmark = needs_private_mounts

KINDS = ("--checkabi", "--with-symbol", "--checkconf", "--checkexec")
KIND_OPTIONS = {
    "ABI": ("--checkabi", "--with-symbol"),
    "CONF": ("--checkconf",),
    "EXEC": ("--checkexec",),
}
PY_DIFF = "requests_py_api_diff.json"
LISTING = "/compat_reports/libgreet/libgreet.so.1/"
REPORT = "/compat_reports/libgreet/libgreet.so.1/1.0_to_2.0/compat_report.xml"
DOCUMENTS = ["/summary.log", "/conf_diff.json", "/exec_diff_report.json", "/" + PY_DIFF, REPORT]
DAMAGES = ("truncated", "empty", "junk")


@dataclass(frozen=True)
class Fault:
    kind: str  # none, stop, cut, 500, reset, truncated, empty, junk
    path: str = ""  # the document it hits (500, reset, damages)
    k: int = -1  # stop, cut: the number of requests answered first
    local: bool = False  # the damage is in the local tree, read from disk

    @property
    def name(self) -> str:
        where = "local" if self.local else "remote"
        return f"{self.kind}-{where}-{self.path or self.k}"


def damaged(body: bytes, how: str) -> bytes:
    return {
        "truncated": body[: len(body) // 2],
        "empty": b"",
        "junk": b"<html><body>Bad gateway</body></html>\n",
    }[how]


class _Tree(http.server.ThreadingHTTPServer):
    """The result tree over HTTP, failing as its fault says; logs what it answered."""

    daemon_threads = True

    def __init__(self, directory: Path, fault: Fault) -> None:
        self.fault = fault
        self.log: list[tuple[str, str, bool]] = []  # (method, path, answered as usual)
        self.seen = 0
        self.stopped = False
        self.lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), partial(_Handler, directory=str(directory)))
        threading.Thread(
            target=self.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True
        ).start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server_address[1]}/"

    def stop(self) -> None:
        """As if the process were killed: no more answers, then no more connections."""
        with self.lock:
            if self.stopped:
                return
            self.stopped = True
        threading.Thread(target=self.close, daemon=True).start()

    def close(self) -> None:
        self.shutdown()
        self.server_close()

    def handle_error(self, request, client_address) -> None:  # a dropped client is expected
        pass


class _Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args) -> None:
        pass

    def do_GET(self) -> None:
        self._answer(super().do_GET)

    def do_HEAD(self) -> None:
        self._answer(super().do_HEAD)

    def _drop(self) -> None:
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _answer(self, usual) -> None:
        tree: _Tree = self.server  # type: ignore[assignment]
        fault = tree.fault
        with tree.lock:
            number = tree.seen
            tree.seen += 1
        path = self.path.split("?", 1)[0]
        as_usual = False
        if tree.stopped or (fault.kind == "stop" and number >= fault.k):
            tree.stop()
            self._drop()
        elif fault.kind == "cut" and number == fault.k:
            self._cut(path)
            tree.stop()
        elif fault.path == path and not fault.local:
            self._fail(fault.kind, path)
        else:
            usual()
            as_usual = True
        with tree.lock:
            tree.log.append((self.command, path, as_usual))

    def _cut(self, path: str) -> None:
        """Half the body, then the connection goes."""
        file = Path(self.translate_path(path))
        if self.command == "GET" and file.is_file():
            body = file.read_bytes()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
        self._drop()

    def _fail(self, kind: str, path: str) -> None:
        if kind == "500":
            self.send_error(500, "the tree's server failed")
        elif kind == "reset":
            self._drop()
        else:
            body = damaged(Path(self.translate_path(path)).read_bytes(), kind)
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command == "GET":
                self.wfile.write(body)


# Runs many checks inside one private mount namespace (the example libraries
# installed), two at a time.
_DRIVER = r"""
import json, subprocess, sys
from concurrent.futures import ThreadPoolExecutor
with open(sys.argv[1]) as jobs_file:
    jobs = json.load(jobs_file)
def run(args):
    done = subprocess.run([sys.executable, "-m", "varkit", *args], capture_output=True,
                          text=True, timeout=600)
    return {"status": done.returncode, "stdout": done.stdout, "stderr": done.stderr}
with ThreadPoolExecutor(2) as pool:
    answers = list(pool.map(run, jobs))
with open(sys.argv[2], "w") as out:
    json.dump(answers, out)
"""


def _run_all(example: Path, work: Path, jobs: list[list[str]]) -> list[dict]:
    (work / "jobs.json").write_text(json.dumps(jobs))
    subprocess.run(
        [
            str(EXAMPLES / "with_libraries.sh"),
            str(example / "installed"),
            sys.executable,
            "-c",
            _DRIVER,
            str(work / "jobs.json"),
            str(work / "answers.json"),
        ],
        check=True,
        timeout=1800,
    )
    return json.loads((work / "answers.json").read_text())


@dataclass
class Outcome:
    fault: Fault
    status: int
    stdout: str
    stderr: str
    log: list[tuple[str, str, bool]]

    def verdicts(self) -> dict[tuple[str, str], str]:
        result = json.loads(self.stdout)
        return {
            (Path(e["dest_file"]).name, e["check_type"]): e["verdict"] for e in result["library"]
        }


@pytest.fixture(scope="module")
def scene(example, tmp_path_factory):
    """The tree, the user's files, what each file needs, and every fault's outcome."""
    work = tmp_path_factory.mktemp("faults")
    tree = work / "results"
    shutil.copytree(EXAMPLES / "results", tree)
    (tree / PY_DIFF).write_text(json.dumps([{"funcs_need_check": ["requests.get"]}]))
    apps = work / "apps"
    shutil.copytree(example / "apps", apps)
    (apps / "fetch.py").write_text("import requests\nrequests.get('http://example.invalid/')\n")
    files = sorted(p.name for p in apps.iterdir())

    def remote(server: _Tree, *targets: str, kinds=KINDS) -> list[str]:
        return [*kinds, "--search-remote", server.url, "--check-local", *targets]

    # What each (file, check kind) needs: checked alone, undisturbed.
    alone = {(name, kind): _Tree(tree, Fault("none")) for name in files for kind in KIND_OPTIONS}
    whole = _Tree(tree, Fault("none"))
    jobs = [remote(whole, str(apps))] + [
        remote(server, str(apps / name), kinds=KIND_OPTIONS[kind])
        for (name, kind), server in alone.items()
    ]
    answers = _run_all(example, work, jobs)
    undisturbed = Outcome(
        Fault("none"), answers[0]["status"], answers[0]["stdout"], answers[0]["stderr"], whole.log
    )
    needs = {
        key: {(method, path) for method, path, _ in server.log} for key, server in alone.items()
    }
    for server in [whole, *alone.values()]:
        server.close()

    count = len(undisturbed.log)
    faults = (
        [Fault("stop", k=k) for k in range(count + 1)]
        + [Fault("cut", k=k) for k in range(count)]
        + [Fault("500", path) for path in [LISTING, *DOCUMENTS]]
        + [Fault("reset", path) for path in [LISTING, REPORT, "/summary.log"]]
        + [Fault(how, path) for path in DOCUMENTS for how in DAMAGES]
        + [Fault(how, path, local=True) for path in DOCUMENTS for how in DAMAGES]
    )
    servers: dict[Fault, Optional[_Tree]] = {}
    jobs = []
    for index, fault in enumerate(faults):
        if fault.local:
            copy = work / f"local-{index}"
            shutil.copytree(tree, copy)
            document = copy / fault.path.lstrip("/")
            document.write_bytes(damaged(document.read_bytes(), fault.kind))
            servers[fault] = None
            jobs.append([*KINDS, "--search-local", str(copy), "--check-local", str(apps)])
        else:
            servers[fault] = _Tree(tree, fault)
            jobs.append(remote(servers[fault], str(apps)))
    answers = _run_all(example, work, jobs)
    outcomes = []
    for fault, answer in zip(faults, answers):
        server = servers[fault]
        outcomes.append(
            Outcome(
                fault,
                answer["status"],
                answer["stdout"],
                answer["stderr"],
                server.log if server else [],
            )
        )
        if server is not None and not server.stopped:
            server.close()
    local_baseline = _run_all(
        example, work, [[*KINDS, "--search-local", str(tree), "--check-local", str(apps)]]
    )[0]
    return {
        "undisturbed": undisturbed,
        "needs": needs,
        "outcomes": outcomes,
        "local": Outcome(
            Fault("none", local=True),
            local_baseline["status"],
            local_baseline["stdout"],
            local_baseline["stderr"],
            [],
        ),
    }


FAMILIES = ["stop", "cut", "500", "reset", "damaged-remote", "damaged-local"]


def _family(outcome: Outcome) -> str:
    if outcome.fault.kind in DAMAGES:
        return "damaged-local" if outcome.fault.local else "damaged-remote"
    return outcome.fault.kind


def _of(scene, family: str) -> list[Outcome]:
    chosen = [o for o in scene["outcomes"] if _family(o) == family]
    assert chosen
    return chosen


def test_the_undisturbed_run_is_the_reference(scene):
    before = scene["undisturbed"].verdicts()
    assert set(before.values()) >= {
        verdicts.AFFECTED,
        verdicts.MAYBE_AFFECTED,
        verdicts.NOT_AFFECTED,
    }
    local = scene["local"].verdicts()
    # The executable check reads remote results only; the rest is the same.
    assert {k: v for k, v in local.items() if k[1] != "EXEC"} == {
        k: v for k, v in before.items() if k[1] != "EXEC"
    }
    assert {v for k, v in local.items() if k[1] == "EXEC"} == {verdicts.NOT_CHECKED}
    assert all(answered for _, _, answered in scene["undisturbed"].log)


@pytest.mark.parametrize("family", FAMILIES)
def test_the_command_always_answers(scene, family):
    expected_files = set(scene["undisturbed"].verdicts())
    problems = []
    for outcome in _of(scene, family):
        try:
            got = outcome.verdicts()
        except (ValueError, KeyError) as error:
            problems.append((outcome.fault.name, f"no result: {error}", outcome.stderr[-500:]))
            continue
        if set(got) != expected_files:
            problems.append((outcome.fault.name, "files differ", sorted(set(got) ^ expected_files)))
        if outcome.status != verdicts.exit_status(got.values()):
            problems.append((outcome.fault.name, "exit status", outcome.status))
        if "Traceback" in outcome.stderr:
            problems.append((outcome.fault.name, "traceback", outcome.stderr[-500:]))
    assert not problems


def _failed_needs(outcome: Outcome, needs: set) -> bool:
    """True when the file needed something the faulty run did not have as usual."""
    if outcome.fault.local:
        return ("GET", outcome.fault.path) in needs
    answered = {(method, path) for method, path, usual in outcome.log if usual}
    return not needs <= answered


@pytest.mark.parametrize("family", FAMILIES)
def test_a_fault_costs_only_the_files_that_needed_what_failed(scene, family):
    problems = []
    for outcome in _of(scene, family):
        before = scene["local" if outcome.fault.local else "undisturbed"].verdicts()
        for key, verdict in outcome.verdicts().items():
            if not _failed_needs(outcome, scene["needs"][key]):
                if verdict != before[key]:
                    problems.append((outcome.fault.name, key, before[key], verdict))
            elif verdict not in (before[key], verdicts.NOT_CHECKED) or (
                verdict == verdicts.NOT_AFFECTED
            ):
                problems.append((outcome.fault.name, key, before[key], verdict))
    assert not problems


def test_every_fault_was_met(scene):
    """Each damaged or failing document was needed by some file: the faults were real."""
    needed = set().union(*scene["needs"].values())
    for outcome in scene["outcomes"]:
        if outcome.fault.path:
            assert ("GET", outcome.fault.path) in needed, outcome.fault.name
    gone = next(o for o in scene["outcomes"] if o.fault == Fault("stop", k=0))
    # Only a file that no requested check covers needs no document at all.
    assert set(gone.verdicts().values()) - {verdicts.NO_CHECK} == {verdicts.NOT_CHECKED}

"""For `make sanitize-test`: every Python process of the test run loads the
sanitizer runtimes before anything else (varkit's modules are built against
them, and the interpreter is not), and no other program does: rpm, dpkg,
compilers and shells started by the tests run as they are.

The runtimes are named by VARKIT_SANITIZER_PRELOAD, which children inherit; a
Python process started without them loaded starts itself again with them in
LD_PRELOAD, and then takes LD_PRELOAD out of the environment its children get.
"""

import os
import sys


def _runtime_loaded() -> bool:
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


_RUNTIMES = os.environ.get("VARKIT_SANITIZER_PRELOAD")
if _RUNTIMES:
    if not _runtime_loaded():
        with open("/proc/self/cmdline", "rb") as cmdline:
            argv = cmdline.read().split(b"\0")[:-1]
        os.execve(sys.executable, argv, {**os.environb, b"LD_PRELOAD": os.fsencode(_RUNTIMES)})
    os.environ.pop("LD_PRELOAD", None)

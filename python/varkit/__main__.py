import sys

from varkit.cli import console_main

sys.argv[0] = "varkit"  # the program name in usage and error lines, not "__main__.py"
console_main()

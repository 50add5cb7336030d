#!/bin/sh
# Prints a greeting report with the packaged helper tool.
greet-tool --count 3 "$USER" | tee /tmp/greet-report.txt

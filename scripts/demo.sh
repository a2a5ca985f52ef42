#!/usr/bin/env bash
# The demo: the host tool loads the add-in and shows what it offers.
set -euo pipefail
echo "demo: not yet built"

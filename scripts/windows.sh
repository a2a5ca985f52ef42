#!/usr/bin/env bash
# Cross-builds the add-in for Windows x86 and x86-64 and tests it under Wine.
set -euo pipefail
echo "windows: not yet built"

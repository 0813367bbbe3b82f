#!/usr/bin/env bash
# Exit 0 when this machine's kernel runs 32-bit Wine (some VMs lack IA-32 emulation).
/usr/lib/wine/wine --version >/dev/null 2>&1

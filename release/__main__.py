#!/usr/bin/python3 -I
"""The release chain's command line: /usr/bin/python3 -I release/__main__.py COMMAND [ARGUMENTS]."""
import sys
from pathlib import Path

# Run as a file under -I (no script folder, no PYTHON* variables on the path): the package's own parent.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from release.cli import main  # noqa: E402

sys.exit(main(sys.argv[1:]))

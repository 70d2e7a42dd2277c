"""python -m vornel: the command line (see vornel.cli)."""

from vornel.cli import main

raise SystemExit(main())

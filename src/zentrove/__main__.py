"""``python -m zentrove``: the command-line redactor (see zentrove.cli)."""

from zentrove.cli import main

if __name__ == "__main__":
    raise SystemExit(main())

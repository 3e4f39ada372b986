"""The data folder (bar cache, shell history): where it is, and whether it can be used."""

import os
from pathlib import Path

VARIABLE = "KORVANTA_DATA_DIR"
DEFAULT = "~/.korvanta"


def data_dir() -> Path:
    return Path(os.environ.get(VARIABLE) or DEFAULT).expanduser()


def data_dir_problem() -> str | None:
    """Why the data folder cannot be used, in one line naming the variable and the path; None when it can.

    Checked before the first command: a folder that is a file would otherwise surface as an
    odd failure inside the bar cache, far from its cause.
    """
    path = data_dir()
    try:
        path.mkdir(parents=True, exist_ok=True)
        if not os.access(path, os.W_OK | os.X_OK):
            raise PermissionError("it is not writable")
    except FileExistsError:
        reason = "it is a file, not a folder"
    except NotADirectoryError:
        reason = "a part of the path is a file, not a folder"
    except OSError as e:
        reason = e.strerror or str(e)
    else:
        return None
    if os.environ.get(VARIABLE):
        return f"{VARIABLE}={os.environ[VARIABLE]} cannot be used as the data folder: {reason}"
    return f"The data folder {path} cannot be used: {reason} (set {VARIABLE} to use another)"

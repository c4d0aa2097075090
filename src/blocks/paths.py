"""Local paths and fsspec URLs, for the client and the workers alike."""
from __future__ import annotations

import os
import shutil


def is_url(path: str) -> bool:
    return "://" in path


def url_fs(path: str):
    import fsspec.core  # type: ignore[import-untyped]
    return fsspec.core.url_to_fs(path)


def open_read(path: str):
    if is_url(path):
        import fsspec
        return fsspec.open(path, "rb").open()
    return open(path, "rb")


def open_write(path: str):
    if is_url(path):
        import fsspec
        return fsspec.open(path, "wb").open()
    return open(path, "wb")


def join(*parts: str) -> str:
    return "/".join(p.rstrip("/") for p in parts)


def where(path: str) -> str:
    """What a worker opens: absolute, since its folder is not the client's."""
    return path if is_url(path) else os.path.abspath(path)


def move(src: str, dst: str) -> None:
    """Puts src at dst in one step where the file system can (a rename)."""
    if is_url(src):
        fs, p = url_fs(src)
        fs.mv(p, url_fs(dst)[1])
    else:
        os.replace(src, dst)


def remove(path: str) -> None:
    """Removes a file or a folder if it is there."""
    if is_url(path):
        fs, p = url_fs(path)
        if fs.exists(p):
            fs.rm(p, recursive=fs.isdir(p))
    elif os.path.isdir(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def make_dirs(path: str) -> None:
    if is_url(path):
        fs, p = url_fs(path)
        fs.makedirs(p, exist_ok=True)
    else:
        os.makedirs(path, exist_ok=True)


def has_files(path: str) -> bool:
    """A file, or a folder with something in it."""
    if is_url(path):
        fs, p = url_fs(path)
        return fs.exists(p) and (not fs.isdir(p) or bool(fs.ls(p)))
    return os.path.isfile(path) or (os.path.isdir(path) and bool(os.listdir(path)))

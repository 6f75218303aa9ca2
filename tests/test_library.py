"""What the shipped libraries expose to the dynamic linker, and how they are built."""

import re
import subprocess

import pytest

from conftest import SANITIZED, library

LIBRARIES = ["sealedset", "unsealer"]
# Functions that could put the data set or anything else on disk.
FILE_WRITERS = {"fopen", "fopen64", "open", "open64", "openat", "creat", "fwrite", "write",
                "pwrite", "mkstemp", "tmpfile", "rename", "unlink"}


def tool(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("name", LIBRARIES)
def test_exports_only_its_init_function(name):
    symbols = tool("nm", "-D", "--defined-only", str(library(name))).split()[2::3]
    assert symbols == [f"PyInit_{name}"]


@pytest.mark.parametrize("name", LIBRARIES)
def test_imports_no_file_writing_function(name):
    undefined = {line.split()[-1].split("@")[0]
                 for line in tool("nm", "-D", "--undefined-only", str(library(name))).splitlines()}
    assert undefined & FILE_WRITERS == set()


@pytest.mark.parametrize("name", LIBRARIES)
def test_hardened(name):
    path = str(library(name))
    headers = tool("readelf", "-W", "-l", "-d", path)
    assert "GNU_RELRO" in headers
    assert re.search(r"\(FLAGS\).*\bBIND_NOW\b", headers) or re.search(r"\(FLAGS_1\).*\bNOW\b", headers)
    stack = re.search(r"GNU_STACK.*", headers).group(0)
    assert stack.split()[-2] == "RW", stack
    undefined = tool("nm", "-D", "--undefined-only", path)
    assert "__stack_chk_fail" in undefined


@pytest.mark.skipif(SANITIZED, reason="sanitized builds need the sanitizer runtimes")
@pytest.mark.parametrize("name", LIBRARIES)
def test_needs_only_the_c_library(name):
    # No C++ runtime to load and bind at import.
    needed = re.findall(r"\(NEEDED\).*\[(.*)\]", tool("readelf", "-d", str(library(name))))
    assert needed == ["libc.so.6"]

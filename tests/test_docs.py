"""The documentation shipped with the program: the manual page, the example settings files and
the Windows zip. What --help lists must be documented, so no option or key goes out unexplained."""

import io
import re
import shutil
import subprocess
import zipfile

import pytest

from larkpost_runner import REPO, is_windows_build, larkpost_binary, run_larkpost, skip_or_fail

MANUAL_PAGE = REPO / "docs" / "larkpost.1"
EXAMPLE_SETTINGS = [REPO / "docs" / "larkpost.ini.example",
                    REPO / "docs" / "windows" / "larkpost.ini"]


def manual_text():
    """The page's words as a reader sees them: no comments, font changes or escaped hyphens."""
    lines = [line for line in MANUAL_PAGE.read_text().splitlines() if not line.startswith('.\\"')]
    text = "\n".join(lines)
    text = re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", text)
    text = re.sub(r"\\[&%c]", "", text)
    return text.replace("\\-", "-").replace("\\e", "\\")


@pytest.fixture(scope="module")
def help_lists(tmp_path_factory):
    """The long options and the settings keys that `larkpost --help` names."""
    result = run_larkpost(tmp_path_factory.mktemp("help"), ["--help"])
    assert result.status == 0
    shown = result.stdout.decode("latin-1")
    options = set(re.findall(r"(?<![\w-])(--[a-z](?:[a-z0-9-]*[a-z0-9])?)(?![\w-])", shown))
    keys = set(re.findall(r"\bSetting ([A-Za-z][A-Za-z0-9]*)", shown))
    # Guards the patterns themselves: help that parsed to nothing would document nothing.
    assert {"--check", "--help", "--version"} <= options and keys, shown
    return options, keys


def test_manual_page_has_no_groff_warning():
    groff = shutil.which("groff")
    if not groff:
        skip_or_fail("groff is not installed (Debian package groff-base)", "TOOLS")
    result = subprocess.run([groff, "-man", "-ww", "-z", str(MANUAL_PAGE)], capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")


def test_manual_page_documents_what_help_lists(help_lists):
    options, keys = help_lists
    text = manual_text()
    missing = sorted(o for o in options
                     if not re.search(rf"(?<![\w-]){re.escape(o)}(?![\w-])", text))
    missing += sorted(k for k in keys if not re.search(rf"(?<!\w){k}=", text))
    assert missing == [], f"{MANUAL_PAGE.name} does not document {missing}"


@pytest.mark.parametrize("path", EXAMPLE_SETTINGS, ids=lambda p: str(p.relative_to(REPO)))
def test_example_settings_set_nothing_and_show_every_key(path, help_lists):
    _, keys = help_lists
    lines = [line.strip() for line in path.read_text().splitlines()]
    # Copied into place as it is, an example must change no default and hold no secret.
    assert [line for line in lines if line and not line.startswith(";")] == ["[SMTP]"]
    shown = {line[1:].split("=", 1)[0] for line in lines if re.match(r";[A-Za-z]+=", line)}
    assert keys - shown == set()


def test_windows_zip_holds_the_program_and_text_files_for_windows(run_larkpost, monkeypatch,
                                                                  tmp_path):
    if not is_windows_build():
        pytest.skip("the zip belongs to the Windows build")
    version = re.search(r"project\(larkpost VERSION ([\d.]+)", (REPO / "CMakeLists.txt").read_text())[1]
    # build-win32/larkpost-VERSION-windows-x86.zip, build-win64/larkpost-VERSION-windows-x64.zip
    packages = sorted(larkpost_binary().parent.glob(f"larkpost-{version}-windows-*.zip"))
    if len(packages) != 1:
        skip_or_fail(f"no single larkpost-{version}-windows-*.zip beside {larkpost_binary()} "
                     f"(scripts/build-windows.sh makes it): {packages}", "BIN")
    package = packages[0]
    with zipfile.ZipFile(package) as archive:
        assert sorted(archive.namelist()) == ["LICENSE.txt", "README.txt", "larkpost.exe", "larkpost.ini"]
        assert archive.read("README.txt").startswith(f"Larkpost {version}\r\n".encode())
        assert b"MIT License" in archive.read("LICENSE.txt")
        for name in ("README.txt", "larkpost.ini", "LICENSE.txt"):
            data = archive.read(name)
            assert data.count(b"\n") == data.count(b"\r\n") > 0, f"{name} has bare line ends"
            io.TextIOWrapper(io.BytesIO(data), encoding="ascii").read()  # any code page shows it
        archive.extract("larkpost.exe", tmp_path)
    # The zip's name says which Windows it is for: the program inside must be that one.
    exe = (tmp_path / "larkpost.exe").read_bytes()
    pe = int.from_bytes(exe[0x3C:0x40], "little")
    machine = {0x14C: "x86", 0x8664: "x64"}.get(int.from_bytes(exe[pe + 4:pe + 6], "little"))
    assert exe[pe:pe + 4] == b"PE\0\0" and package.name == f"larkpost-{version}-windows-{machine}.zip"
    # The program in the zip, stripped, is the one users run: it must still start.
    monkeypatch.setenv("LARKPOST_BIN", str(tmp_path / "larkpost.exe"))
    status, stdout = run_larkpost(["--version"])
    assert status == 0 and b"Larkpost " in stdout

"""What ships: the sdist holds what a build needs and nothing of a local
build, the declared licence, version and extras agree with the files, and on
a free-threaded interpreter importing the package keeps the GIL disabled."""

import importlib.metadata
import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig
import tarfile
import tomllib

import pytest

import morvik3

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    pytest.importorskip("build")
    out = tmp_path_factory.mktemp("dist")
    subprocess.run(
        [sys.executable, "-m", "build", "--sdist", "--no-isolation", "--outdir", str(out), str(ROOT)],
        check=True, capture_output=True,
    )
    (path,) = out.glob("morvik3-*.tar.gz")
    with tarfile.open(path) as archive:
        prefix = f"morvik3-{PROJECT['version']}/"
        return {name.removeprefix(prefix) for name in archive.getnames()}


def test_the_sdist_holds_what_a_build_needs(sdist):
    needed = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md"]
    needed += [str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".hpp")]
    needed += [str(p.relative_to(ROOT)) for p in (ROOT / "python" / "morvik3").rglob("*") if p.is_file() and "__pycache__" not in p.parts]
    assert "python/morvik3/data/nab/windows.json" in needed and "src/python/module.cpp" in needed
    assert sorted(set(needed) - sdist) == []


def test_the_sdist_holds_nothing_of_a_local_build(sdist):
    local = ("build/", ".venv", "dist/", "wheelhouse/", ".git/", ".pytest_cache/", ".hypothesis/", "demo-plots/")
    assert [name for name in sdist if name.startswith(local) or "__pycache__" in name or name.endswith(".so")] == []


def test_licence_version_and_extras_agree():
    licence = (ROOT / "LICENSE").read_text(encoding="utf-8")
    assert licence.startswith("MIT License\n") and " the morvik3 developers\n" in licence
    assert PROJECT["license"] == {"text": "MIT"}
    assert "License :: OSI Approved :: MIT License" in PROJECT["classifiers"]
    assert PROJECT["version"] == morvik3.__version__
    assert f"\n## {morvik3.__version__}\n" in (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    installed = importlib.metadata.metadata("morvik3")
    assert installed["Version"] == morvik3.__version__
    assert {"river", "sklearn"} <= set(installed.get_all("Provides-Extra"))
    kinds = {c.split(" :: ")[0] for c in installed.get_all("Classifier")}
    assert {"Development Status", "License", "Operating System", "Topic"} <= kinds


# The package's modules, and the libraries they use that declare free-threading
# support: (modules, the library they need, libraries hidden from them). pandas
# (2.3) declares none, so importing it turns the GIL on; morvik3.spark needs
# it, and scikit-learn loads it whenever it is installed, so morvik3.sklearn
# is imported as where the sklearn extra is installed without the spark one.
KEEP_THE_GIL_DISABLED = {
    "morvik3": ("morvik3", "morvik3", ()),
    "morvik3.cli": ("morvik3.cli.demo, morvik3.cli.evaluate, morvik3.cli.score", "morvik3", ()),
    "morvik3.sklearn": ("morvik3.sklearn", "sklearn", ("pandas",)),
    "morvik3.river": ("morvik3.river", "river", ()),
    "numpy": ("numpy", "numpy", ()),
    "tqdm": ("tqdm", "tqdm", ()),
    "matplotlib": ("matplotlib.pyplot", "matplotlib", ()),
    "scipy": ("scipy.stats", "scipy", ()),
    "pyarrow": ("pyarrow", "pyarrow", ()),
}


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="the interpreter has a GIL")
@pytest.mark.parametrize("name", KEEP_THE_GIL_DISABLED)
def test_importing_keeps_the_gil_disabled(name):
    modules, library, hidden = KEEP_THE_GIL_DISABLED[name]
    if importlib.util.find_spec(library) is None:
        pytest.skip(f"{library} is not installed")
    # A fresh interpreter: this one has imported much else, and PYTHON_GIL=0 would hide the answer.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = f"import sys; sys.modules.update(dict.fromkeys({hidden!r})); import {modules}; print(sys._is_gil_enabled())"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert (done.returncode, done.stdout.strip()) == (0, "False"), done.stderr

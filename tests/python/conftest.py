import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The synthetic recording generator lives in tools/ (it is not part of the package).
sys.path.insert(0, str(ROOT / "tools"))

SHARED_DATA = ROOT.parent / "shared" / "data"

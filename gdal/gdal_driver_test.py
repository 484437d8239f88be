#!/usr/bin/env python3
"""The DEMBASE plugin through Python's osgeo.gdal: windows across tile borders, read with
ReadAsArray at every level, equal the same windows of the tool's export; a layer made by
gdal.Translate equals the tool's import. Exits 77 (skipped) without python3-gdal.

Usage: gdal_driver_test.py DEMBASE_TOOL PLUGIN_DIR
"""
import os
import subprocess
import sys
import tempfile

# GDAL looks for plugins once, when osgeo.gdal is imported.
os.environ["GDAL_DRIVER_PATH"] = sys.argv[2]
try:
    import numpy as np
    from osgeo import gdal, osr
except ImportError:
    print("python3-gdal is not installed: skipped")
    sys.exit(77)

gdal.UseExceptions()
TOOL = sys.argv[1]
ROWS, COLS = 530, 600
WINDOWS = [(250, 250, 12, 9), (0, 254, 300, 3), (509, 0, 2, 10), (120, 100, 30, 40)]


def tool(*args):
    subprocess.run([TOOL, "-q", *args], check=True, stdout=subprocess.DEVNULL)


def make_tiff(path, dtype):
    r, c = np.mgrid[0:ROWS, 0:COLS]
    cells = np.round(1000 + 300 * np.sin(r / 40.0) * np.cos(c / 55.0) + r * 0.25, 2)
    cells[(r * 7 + c * 3) % 97 == 0] = -9999
    ds = gdal.GetDriverByName("GTiff").Create(path, COLS, ROWS, 1, dtype)
    ds.SetGeoTransform((500000, 10, 0, 4600000, 0, -10))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32633)
    ds.SetSpatialRef(srs)
    band = ds.GetRasterBand(1)
    band.SetNoDataValue(-9999)
    band.WriteArray(cells)
    ds = None


def main():
    failures = []
    with tempfile.TemporaryDirectory() as d:
        for name, dtype in (("int", gdal.GDT_Int32), ("float", gdal.GDT_Float32)):
            src, layer = f"{d}/{name}.tif", f"{d}/{name}"
            make_tiff(src, dtype)
            tool("import", src, layer)
            tool("pyramid", "--levels", "3", layer)
            for level in (1, 2, 3):
                tool("export", "--level", str(level), layer, f"{layer}_{level}.tif")
            ds = gdal.OpenEx(f"{layer}.dem", gdal.OF_RASTER, allowed_drivers=["DEMBASE"])
            band = ds.GetRasterBand(1)
            for level in (1, 2, 3):
                ours = band if level == 1 else band.GetOverview(level - 2)
                exported = gdal.Open(f"{layer}_{level}.tif")  # a band lives only as long as its dataset
                theirs = exported.GetRasterBand(1)
                for x, y, w, h in WINDOWS:
                    w, h = min(w, ours.XSize - x), min(h, ours.YSize - y)
                    if w <= 0 or h <= 0:
                        continue
                    if not np.array_equal(ours.ReadAsArray(x, y, w, h), theirs.ReadAsArray(x, y, w, h)):
                        failures.append(f"{name} level {level} window {x},{y} {w}x{h}")
            copy = gdal.Translate(f"{d}/{name}_copy.dem", src, format="DEMBASE")
            if not np.array_equal(copy.ReadAsArray(), ds.ReadAsArray()):
                failures.append(f"{name}: gdal.Translate -of DEMBASE differs from the import")
            copy = ds = None
    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

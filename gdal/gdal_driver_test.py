#!/usr/bin/env python3
"""The DEMBASE plugin through Python's osgeo.gdal: every level, whole and in a window across tile
borders, reads as the tool's export of it. Exits 77 (skipped) without python3-gdal.

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
    from osgeo import gdal
except ImportError:
    print("python3-gdal is not installed: skipped")
    sys.exit(77)

gdal.UseExceptions()


def tool(*args):
    subprocess.run([sys.argv[1], "-q", *args], check=True, stdout=subprocess.DEVNULL)


def main():
    failures = []
    with tempfile.TemporaryDirectory() as d:
        r, c = np.mgrid[0:530, 0:600]
        ds = gdal.GetDriverByName("GTiff").Create(f"{d}/src.tif", 600, 530, 1, gdal.GDT_Float32)
        ds.SetGeoTransform((500000, 10, 0, 4600000, 0, -10))
        ds.GetRasterBand(1).SetNoDataValue(-9999)
        ds.GetRasterBand(1).WriteArray(np.where((r * 7 + c * 3) % 97 == 0, -9999, np.sin(r / 40.0) * c))
        ds = None
        tool("import", f"{d}/src.tif", f"{d}/a")
        tool("pyramid", "--levels", "3", f"{d}/a")
        for level in (1, 2, 3):  # before the layer is opened here: the tool refuses a layer held open
            tool("export", "--level", str(level), f"{d}/a", f"{d}/{level}.tif")
        ds = gdal.OpenEx(f"{d}/a.dem", gdal.OF_RASTER, allowed_drivers=["DEMBASE"])
        for level in (1, 2, 3):
            band = ds.GetRasterBand(1)
            ours = band if level == 1 else band.GetOverview(level - 2)
            exported = gdal.Open(f"{d}/{level}.tif")  # a band lives only as long as its dataset
            theirs = exported.GetRasterBand(1)
            # Across the corner of the first four tiles, or at the far edge of a one-tile level.
            for window in ((), (min(252, ours.XSize - 9), min(252, ours.YSize - 7), 9, 7)):
                if not np.array_equal(ours.ReadAsArray(*window), theirs.ReadAsArray(*window)):
                    failures.append(f"level {level} window {window}")
        ds = exported = None
    for f in failures:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

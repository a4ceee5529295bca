#!/usr/bin/python3
"""The worked BD example of tst_report, computed apart from the program's own code.

SciPy's PchipInterpolator (monotone piecewise cubic Hermite) interpolates each curve and
integrates it exactly; BD-rate takes log10 of the rate over PSNR, BD-PSNR PSNR over log10 of
the rate, each averaged over the range both curves cover. Run it to reproduce the numbers
written into the test (Debian: python3-scipy).
"""
import numpy as np
from scipy.interpolate import PchipInterpolator

anchor_rate = [1523.6, 843.1, 478.9, 281.4]
anchor = {"Y": [40.12, 37.85, 35.52, 33.21], "U": [42.31, 40.95, 39.70, 38.62],
          "V": [43.02, 41.66, 40.38, 39.29]}
test_rate = [1410.2, 790.5, 452.3, 268.0]
test = {"Y": [40.05, 37.83, 35.55, 33.30], "U": [42.40, 41.00, 39.71, 38.60],
        "V": [43.10, 41.70, 40.40, 39.25]}


def mean_gap(xa, ya, xt, yt):
    oa, ot = np.argsort(xa), np.argsort(xt)
    fa = PchipInterpolator(np.asarray(xa)[oa], np.asarray(ya)[oa])
    ft = PchipInterpolator(np.asarray(xt)[ot], np.asarray(yt)[ot])
    low, high = max(min(xa), min(xt)), min(max(xa), max(xt))
    return (ft.integrate(low, high) - fa.integrate(low, high)) / (high - low)


for plane in "YUV":
    gap = mean_gap(anchor[plane], np.log10(anchor_rate), test[plane], np.log10(test_rate))
    print(f"BD-rate {plane} {(10 ** gap - 1) * 100:.10f} %")
print(f"BD-PSNR Y {mean_gap(np.log10(anchor_rate), anchor['Y'], np.log10(test_rate), test['Y']):.10f} dB")

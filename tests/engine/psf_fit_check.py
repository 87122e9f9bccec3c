# Fits a circular Gaussian plus a constant to each cutout with astropy.modeling and prints
# "NAME SIGMA" per cutout. Input: a text file with lines "NAME W H PATH", PATH holding
# W × H little-endian float64 values row by row.
import sys

import numpy as np
from astropy.modeling import fitting, models

for line in open(sys.argv[1]):
    name, w, h, path = line.split()
    w, h = int(w), int(h)
    data = np.fromfile(path, dtype="<f8").reshape(h, w)
    y, x = np.mgrid[0:h, 0:w]
    sky = np.median(np.concatenate([data[0], data[-1], data[:, 0], data[:, -1]]))
    py, px = np.unravel_index(np.argmax(data), data.shape)
    g = models.Gaussian2D(data[py, px] - sky, px, py, 2.0, 2.0)
    model = g + models.Const2D(sky)
    model.y_stddev_0.tied = lambda m: m.x_stddev_0
    fit = fitting.LevMarLSQFitter()(model, x, y, data, maxiter=500)
    print(name, abs(fit.x_stddev_0.value))

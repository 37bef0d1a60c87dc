"""Feed a few hundred activation-like tensors to tesrak and browse them.

Shape (2, 3, 32, 32): two batches of three channels. Each of the six channels
follows its own distribution family, with a disc in its centre that follows
another, so the grid shows how the sketches tell families apart:

    batch 0: normal, uniform, Laplace
    batch 1: log-normal, two-peaked, mostly zeros (like a ReLU output)

Run it, open the printed URL, and stop it with Ctrl+C.
"""

import errno
import math
import os
import sys

import numpy as np

import tesrak

SHAPE = (2, 3, 32, 32)
UPDATES = 400
COMPRESSION = 50


def normal(n, g):
    return g.standard_normal(n)


def uniform(n, g):
    return g.uniform(-math.sqrt(3), math.sqrt(3), n)


def laplace(n, g):
    return g.laplace(0.0, 1 / math.sqrt(2), n)


def log_normal(n, g):
    return g.lognormal(0.0, 1.0, n)


def two_peaked(n, g):
    side = np.where(g.random(n) < 0.5, -1.0, 1.0)
    return side * 0.866 + 0.5 * g.standard_normal(n)


def mostly_zeros(n, g):
    keep = g.random(n) < 0.1
    return np.where(keep, g.random(n) * 3, 0.0)


FAMILIES = [normal, uniform, laplace, log_normal, two_peaked, mostly_zeros]


def centre_disc(size=32, radius=9):
    y, x = np.mgrid[0:size, 0:size]
    return ((y - size / 2 + 0.5) ** 2 + (x - size / 2 + 0.5) ** 2) <= radius**2


def sample(g):
    """One tensor of SHAPE: channel k follows FAMILIES[k], its disc FAMILIES[k + 2]."""
    batches, channels, h, w = SHAPE
    disc = centre_disc(h).flatten()
    planes = []
    for k in range(batches * channels):
        main = FAMILIES[k](h * w, g)
        inner = FAMILIES[(k + 2) % len(FAMILIES)](h * w, g)
        # Each channel has its own scale, as real activations do.
        planes.append(np.where(disc, inner, main) * (1 + k))
    return np.stack(planes).reshape(SHAPE).astype(np.float32)


def main():
    g = np.random.default_rng(7)
    digest = tesrak.TensorDigest(list(SHAPE), COMPRESSION, dtype=np.float32)
    for _ in range(UPDATES):
        digest.update(sample(g))
    # Flushed, so that it comes before the server's line on standard error
    # also when the output goes to a pipe or a file.
    print(f"fed {UPDATES} tensors of shape {SHAPE}; median of cell 0: "
          f"{digest.cell_quantiles(0, [0.5])[0]:.4f}", flush=True)
    try:
        digest.visualize()  # prints the URL; serves until Ctrl+C
    except KeyboardInterrupt:
        print("\nstopped")
    except OSError as error:
        if f"(os error {errno.EADDRINUSE})" not in str(error):
            raise
        port = os.environ.get("TESRAK_PORT", "7777")
        sys.exit(f"port {port} is in use; pick another with TESRAK_PORT, "
                 f"for example: TESRAK_PORT={suggest_port(port)} ./scripts/demo.sh")


def suggest_port(taken):
    return int(taken) + 1 if taken.isdigit() and int(taken) < 65535 else 7778


if __name__ == "__main__":
    main()

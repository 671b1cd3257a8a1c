"""A wide-gamut RGB display profile made in code, so the colour tests need no
system profile package: Adobe RGB (1998)'s primaries and white, its 563/256
gamma, laid out as an ICC profile format version 2 matrix/TRC profile."""

from __future__ import annotations

import struct

import numpy as np

# CIE xy chromaticities of Adobe RGB (1998): red, green, blue and its D65 white.
PRIMARIES = ((0.6400, 0.3300), (0.2100, 0.7100), (0.1500, 0.0600))
WHITE = (0.3127, 0.3290)
GAMMA = 563 / 256  # stored exactly as u8Fixed8Number 0x0233

# The profile connection space's illuminant, as the ICC profile format fixes it.
D50 = (0.9642, 1.0, 0.8249)

BRADFORD = np.array([[0.8951, 0.2664, -0.1614],
                     [-0.7502, 1.7135, 0.0367],
                     [0.0389, -0.0685, 1.0296]])

DESCRIPTION = "Wide-gamut RGB (Adobe RGB (1998) primaries), made by the tests"
COPYRIGHT = "No copyright, use freely"


def xyz(xy: tuple[float, float], luminance: float = 1.0) -> np.ndarray:
    x, y = xy
    return np.array([x / y, 1.0, (1.0 - x - y) / y]) * luminance


def colorants() -> np.ndarray:
    """The columns are red, green and blue in XYZ, adapted from D65 to D50
    with the Bradford transform: a matrix/TRC profile's colorants are relative
    to the connection space's white, so that device white lands on D50."""
    white = xyz(WHITE)
    primaries = np.column_stack([xyz(p) for p in PRIMARIES])
    # Scale each primary so that full red + green + blue gives the white.
    native = primaries * np.linalg.solve(primaries, white)
    cone_ratio = (BRADFORD @ np.array(D50)) / (BRADFORD @ white)
    adapt = np.linalg.inv(BRADFORD) @ np.diag(cone_ratio) @ BRADFORD
    return adapt @ native


def _s15f16(value: float) -> bytes:
    return struct.pack(">i", round(value * 65536))


def _xyz_number(triple) -> bytes:
    return b"".join(_s15f16(v) for v in triple)


def _xyz_type(triple) -> bytes:
    return b"XYZ " + bytes(4) + _xyz_number(triple)


def _text_type(text: str) -> bytes:
    return b"text" + bytes(4) + text.encode("ascii") + b"\0"


def _description_type(text: str) -> bytes:
    # Version 2's textDescriptionType: the ASCII text, then an empty Unicode
    # and an empty Macintosh ScriptCode version (whose 67 bytes are always there).
    ascii_text = text.encode("ascii") + b"\0"
    return (b"desc" + bytes(4) + struct.pack(">I", len(ascii_text)) + ascii_text
            + struct.pack(">II", 0, 0) + struct.pack(">HB", 0, 0) + bytes(67))


def _gamma_curve(gamma: float) -> bytes:
    # One entry in a curveType is a pure power law, its exponent a u8Fixed8Number.
    return b"curv" + bytes(4) + struct.pack(">IH", 1, round(gamma * 256))


def wide_gamut_rgb() -> bytes:
    """The bytes of the profile: a 'mntr' RGB device to the XYZ connection
    space, gamma 563/256 on every channel, Adobe RGB (1998)'s colorants."""
    matrix = colorants()
    tags = [
        (b"desc", _description_type(DESCRIPTION)),
        (b"cprt", _text_type(COPYRIGHT)),
        # Version 2 keeps the display's own white here; the colorants are already D50-relative.
        (b"wtpt", _xyz_type(xyz(WHITE))),
        (b"rXYZ", _xyz_type(matrix[:, 0])),
        (b"gXYZ", _xyz_type(matrix[:, 1])),
        (b"bXYZ", _xyz_type(matrix[:, 2])),
        (b"rTRC", _gamma_curve(GAMMA)),
        (b"gTRC", _gamma_curve(GAMMA)),
        (b"bTRC", _gamma_curve(GAMMA)),
    ]
    # Every tag's data starts on a 4-byte boundary, the padding zeros.
    offset = 128 + 4 + 12 * len(tags)
    table, body = [struct.pack(">I", len(tags))], []
    for signature, data in tags:
        table.append(signature + struct.pack(">II", offset, len(data)))
        padded = data + bytes(-len(data) % 4)
        body.append(padded)
        offset += len(padded)
    size = offset

    header = b"".join([
        struct.pack(">I", size),
        bytes(4),                       # no preferred colour management module
        struct.pack(">I", 0x02100000),  # version 2.1.0
        b"mntr", b"RGB ", b"XYZ ",
        struct.pack(">6H", 2026, 1, 1, 0, 0, 0),  # fixed, so the bytes never change
        b"acsp",
        bytes(4),                       # no primary platform
        struct.pack(">I", 0),           # flags: not embedded-only, independent
        bytes(4), bytes(4),             # device manufacturer and model
        bytes(8),                       # device attributes
        struct.pack(">I", 0),           # perceptual rendering intent
        _xyz_number(D50),
        bytes(4),                       # creator
        bytes(16),                      # profile ID: version 2 has none
        bytes(28),                      # reserved
    ])
    assert len(header) == 128
    return header + b"".join(table) + b"".join(body)

"""The failure table of the program harness: start-up failures, each as the
options.txt and files of the working directory, the exit code, and the
message boxes in order (caption, text pattern). The desktop program
(run_program_test.py) and the page (page_cases.py) run every row; the page
also meets some rows through its panel. Also: bmp(), a BMP built byte by
byte, and place_files(), which lays a row's files in a folder."""
import os
import shutil
import struct

ERROR = r"Runtime error {:>3} at [0-9A-F]{{8}}"


def bmp(width, height, colour, bits=24):
    """A BMP of one colour (r, g, b): 24 bits a pixel, or 8 with a 256-entry
    palette (which the program refuses)."""
    if bits == 24:
        palette, row = b"", bytes((colour[2], colour[1], colour[0])) * width
    else:
        palette, row = bytes((colour[2], colour[1], colour[0], 0)) * 256, bytes(width)
    row += bytes(-len(row) % 4)
    pixels = row * height
    offset = 54 + len(palette)
    return (b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset) +
            struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(pixels), 2835, 2835,
                        256 if palette else 0, 0) + palette + pixels)


# A file entry is a name copied from the demo folder, or (name, bytes).
REPORTS = {
    "missing_options": (None, ("reflect.bmp", "background.bmp"), 2, [("Error", ERROR.format(2))]),
    "missing_reflect": ("640 480 0 10 20\n", ("background.bmp",), 1,
                        [("BMP Unit", r'Error opening "reflect\.bmp'),
                         ("Loading Textures", r"Unable to load reflect\.bmp")]),
    "negative_ball_count": ("640 480 0 -1 20\n", ("reflect.bmp", "background.bmp"), 201,
                            [("Error", ERROR.format(201))]),
    "grid_size_zero": ("640 480 0 10 0\n", ("reflect.bmp", "background.bmp"), 201, [("Error", ERROR.format(201))]),
    "eight_bit_reflect": ("640 480 0 10 20\n", (("reflect.bmp", bmp(16, 16, (200, 40, 40), bits=8)),
                                                "background.bmp"), 1,
                          [("BMP Unit", r"Unsupported bitmap: only 24 bits per pixel can be read"),
                           ("Loading Textures", r"Unable to load reflect\.bmp")]),
}


def place_files(folder, demo, files):
    for entry in files:
        if isinstance(entry, str):
            shutil.copy(os.path.join(demo, entry), folder)
        else:
            with open(os.path.join(folder, entry[0]), "wb") as f:
                f.write(entry[1])

"""Reference drawing of a quad mesh in numpy (placeholder: fills nothing yet)."""


def draw_mesh(image, mesh_width, mesh_height, coordinates, facecolors, matrix, extents):
    """Draws the mesh into `image`, a (rows, cols, 4) uint8 array (any strides)."""
    return None

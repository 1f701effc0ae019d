# Box detection. Klipper loads it for an empty [feedscan] section through load_config; a
# host that calls the extras' add_printer_objects at start uses that instead. The code is
# the compiled _feedscan next to this file, with the shared bridge library one folder up.
from ._feedscan import add_printer_objects, load_config

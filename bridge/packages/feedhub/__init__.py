# Filament box controller, loaded by Klipper for [feedhub]. The code is the compiled
# _feedhub next to this file, with the shared bridge library one folder up.
from ._feedhub import load_config

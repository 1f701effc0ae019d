# Slot feeders, loaded by Klipper for each [feedlane slotN]. The code is the compiled
# _feedlane next to this file, with the shared bridge library one folder up.
from ._feedlane import load_config_prefix

# RFID card readers, loaded by Klipper for each [feedtag card_reader_N]. The code is the
# compiled _feedtag next to this file, with the shared bridge library one folder up.
from ._feedtag import load_config_prefix

; What a user (or the front end) does on the default printer with two boxes before the
; demo print (config/demo.gcode), as make run does: map the tools to their slots, pull the
; spare red spool into the box (its tag is read on the way), and describe every spool the
; print uses as its tag would: PLA in red, green, blue and white. The print's pre-flight
; check then finds each tool's spool as the slicer planned it.
BOX_MAP_TOOL T=0 SLOT=1A
BOX_MAP_TOOL T=1 SLOT=1B
BOX_MAP_TOOL T=2 SLOT=1C
BOX_MAP_TOOL T=3 SLOT=1D
SAVE_VARIABLE VARIABLE=box_count VALUE=2
SAVE_VARIABLE VARIABLE=auto_reload_detect VALUE=1
RFID_READ SLOT=2A
BOX_SET_SLOT SLOT=1A FILAMENT=PLA COLOR=red
BOX_SET_SLOT SLOT=2A FILAMENT=PLA COLOR=red
BOX_SET_SLOT SLOT=1B FILAMENT=PLA COLOR=green
BOX_SET_SLOT SLOT=1C FILAMENT=PLA COLOR=blue
BOX_SET_SLOT SLOT=1D FILAMENT=PLA COLOR=white

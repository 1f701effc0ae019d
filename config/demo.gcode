; A short demo print on the default printer: heat, home, then a few extruded squares.
M104 S210
G28
G90
M83
G1 Z0.2 F600
; Wait for the nozzle without a temperature report every second.
G4 P180000
G1 X20 Y20 F6000
G1 X80 Y20 E2.4 F1800
G1 X80 Y80 E2.4
G1 X20 Y80 E2.4
G1 X20 Y20 E2.4
G1 Z0.4 F600
G1 X80 Y20 E2.4 F1800
G1 X80 Y80 E2.4
G1 X20 Y80 E2.4
G1 X20 Y20 E2.4
G1 Z0.6 F600
G1 X80 Y20 E2.4 F1800
G1 X80 Y80 E2.4
G1 X20 Y80 E2.4
G1 X20 Y20 E2.4
M400
M104 S0
SIM_STATE

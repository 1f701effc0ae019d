; A short demo print.
G4 P500
G4 P500

# Reads what a batch run sent to an MCU, with the host's own message parser, and sums the
# steps each stepper was told to take.
import os
import re
import sys


def decode(klipper, dictionary, serial_file):
    """The MCU commands of `serial_file` as text lines, as parsedump prints them."""
    klippy = os.path.join(klipper, 'klippy')
    if klippy not in sys.path:
        sys.path.insert(0, klippy)
    import msgproto
    with open(dictionary, 'rb') as f:
        parser = msgproto.MessageParser()
        parser.process_identify(f.read(), decompress=False)
    with open(serial_file, 'rb') as f:
        data = bytearray(f.read())
    lines = []
    while data:
        length = parser.check_packet(data)
        if length == 0:
            break
        if length < 0:
            data = data[-length:]
            continue
        lines.extend(parser.dump(data[:length])[1:])
        data = data[length:]
    return lines


def _fields(line):
    return dict(re.findall(r'(\w+)=(\S+)', line))


def stepper_oid(lines, step_pin):
    for line in lines:
        if line.startswith('config_stepper '):
            fields = _fields(line)
            # The dictionary may name a pin by its chip too (gpiochip0/gpio5 for gpio5).
            if fields.get('step_pin', '').split('/')[-1] == step_pin.split('/')[-1]:
                return int(fields['oid'])
    raise LookupError('no stepper with step pin %s' % step_pin)


def step_moves(lines, oid):
    """[(direction, steps)] in order, one entry per run of steps in one direction."""
    moves, direction = [], None
    for line in lines:
        fields = _fields(line)
        if fields.get('oid') != str(oid):
            continue
        if line.startswith('set_next_step_dir '):
            direction = int(fields['dir'])
        elif line.startswith('queue_step '):
            count = int(fields['count'])
            if moves and moves[-1][0] == direction:
                moves[-1] = (direction, moves[-1][1] + count)
            else:
                moves.append((direction, count))
    return moves

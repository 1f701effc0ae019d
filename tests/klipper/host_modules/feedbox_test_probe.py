# Test-only module of the real-host suite: what batch mode lacks to observe and drive the
# box. Loaded from a [feedbox_test_probe] section; never installed on a printer.
#
# - Every response line of the host goes to the file named by `responses`, because batch
#   mode registers no output handler and would drop them.
# - TEST_BUTTON MCU=<mcu name> PIN=<pin> STATE=0|1 reports a button level change the way
#   the MCU's buttons_state message does, through the host's own button handling. STATE
#   is the level the registered callback sees (after the configuration's `!`).
# - TEST_OBJECTS answers the names of the host's objects, one per line ("object NAME").
# - TEST_HALL DIAMETER=<mm> makes the hall width sensor read that diameter, as its ADC
#   reports would (without an MCU no report ever arrives: its readings stay 0 and its
#   diameter nominal).
# - TEST_STATUS OBJECT=<name> answers the object's status as one line of JSON
#   ("status {...}"), made as the host's API server makes it for a front end.
# - TEST_PRINT_STARTED makes print_stats report a running print, as a print job started
#   from the host's virtual SD card would (batch mode has no job to start).
# - TEST_COUPLED answers "coupled NAME ..." with the steppers that move with the extruder
#   (their step queue is the extruder's), as the host itself sees them.
# - TEST_SETTLE, the last line of every batch run, waits until each MCU's queue is written.
import json
import logging


class FeedboxTestProbe:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.responses_path = config.get('responses')
        self.responses = open(self.responses_path, 'a')
        gcode = self.printer.lookup_object('gcode')
        gcode.register_output_handler(self._record)
        gcode.register_command('TEST_BUTTON', self.cmd_TEST_BUTTON)
        gcode.register_command('TEST_MARK', self.cmd_TEST_MARK)
        gcode.register_command('TEST_HALL', self.cmd_TEST_HALL)
        gcode.register_command('TEST_OBJECTS', self.cmd_TEST_OBJECTS)
        gcode.register_command('TEST_STATUS', self.cmd_TEST_STATUS)
        gcode.register_command('TEST_PRINT_STARTED', self.cmd_TEST_PRINT_STARTED)
        gcode.register_command('TEST_COUPLED', self.cmd_TEST_COUPLED)
        gcode.register_command('TEST_SETTLE', self.cmd_TEST_SETTLE, when_not_ready=True)
        self.printer.register_event_handler('klippy:disconnect',
                                            self.responses.close)

    def _record(self, msg):
        self.responses.write(msg + '\n')
        self.responses.flush()

    def cmd_TEST_MARK(self, gcmd):
        # Separates the responses of a scenario's steps.
        self._record('== ' + gcmd.get('TEXT', ''))

    def cmd_TEST_OBJECTS(self, gcmd):
        for name, _obj in self.printer.lookup_objects():
            self._record('object ' + name)

    def cmd_TEST_STATUS(self, gcmd):
        obj = self.printer.lookup_object(gcmd.get('OBJECT'))
        eventtime = self.printer.get_reactor().monotonic()
        self._record('status ' + json.dumps(obj.get_status(eventtime), sort_keys=True))

    def cmd_TEST_PRINT_STARTED(self, gcmd):
        self.printer.lookup_object('print_stats').note_start()

    def cmd_TEST_COUPLED(self, gcmd):
        extruder_trapq = self.printer.lookup_object('extruder').get_trapq()
        steppers = self.printer.lookup_object('force_move').steppers
        names = sorted(name for name, stepper in steppers.items()
                       if name != 'extruder' and stepper.get_trapq() == extruder_trapq)
        gcmd.respond_info(' '.join(['coupled'] + names))

    def cmd_TEST_SETTLE(self, gcmd):
        # At the end of its input, batch mode closes each MCU's serial queue without waiting
        # for the queue's writer thread: on a busy machine the last queued messages (the end
        # of a move's steps) never reach the output file. Everything is generated and given
        # the time to be written first.
        if self.printer.get_state_message()[1] == 'ready':
            self.printer.lookup_object('toolhead').flush_step_generation()
        reactor = self.printer.get_reactor()
        mcus = [mcu for _name, mcu in self.printer.lookup_objects('mcu')]
        deadline = reactor.monotonic() + 10.
        while any(self._queued_bytes(mcu) for mcu in mcus):
            if reactor.monotonic() > deadline:
                raise gcmd.error('TEST_SETTLE: the MCU queues were not written within 10 s')
            reactor.pause(reactor.monotonic() + 0.01)

    @staticmethod
    def _queued_bytes(mcu):
        fields = dict(field.split('=', 1) for field in
                      mcu._serial.stats(0.).split() if '=' in field)
        return int(fields.get('ready_bytes', 0)) + int(fields.get('upcoming_bytes', 0))

    def cmd_TEST_HALL(self, gcmd):
        hall = self.printer.lookup_object('hall_filament_width_sensor')
        diameter = gcmd.get_float('DIAMETER', minval=0.)
        # Both ADC readings as the calibration maps them to the diameter, and the smoothed
        # diameter settled on it, as after many reports.
        raw = int(round(hall.rawdia1 + (diameter - hall.dia1) * (hall.rawdia2 - hall.rawdia1)
                        / (hall.dia2 - hall.dia1)))
        hall.lastFilamentWidthReading = raw // 2
        hall.lastFilamentWidthReading2 = raw - raw // 2
        hall.diameter = diameter

    def cmd_TEST_BUTTON(self, gcmd):
        mcu_name = gcmd.get('MCU')
        pin = gcmd.get('PIN')
        state = gcmd.get_int('STATE', minval=0, maxval=1)
        buttons = self.printer.lookup_object('buttons')
        mcu_buttons = buttons.mcu_buttons.get(mcu_name)
        if mcu_buttons is None:
            raise gcmd.error("No buttons on MCU '%s'" % (mcu_name,))
        names = [p for p, _pullup in mcu_buttons.pin_list]
        if pin not in names:
            raise gcmd.error("Pin '%s' is no button of '%s': %s"
                             % (pin, mcu_name, ' '.join(names)))
        bit = 1 << names.index(pin)
        logical = mcu_buttons.last_button
        logical = (logical | bit) if state else (logical & ~bit)
        raw = logical ^ mcu_buttons.invert
        reactor = self.printer.get_reactor()
        mcu_buttons.handle_buttons_state({
            'ack_count': mcu_buttons.ack_count & 0xff,
            'state': bytes([raw & 0xff]),
            '#receive_time': reactor.monotonic()})
        logging.info("TEST_BUTTON %s %s -> %d", mcu_name, pin, state)
        # The host runs button callbacks from the reactor; let them run before the next
        # line of the scenario.
        reactor.pause(reactor.monotonic() + 0.010)


def load_config(config):
    return FeedboxTestProbe(config)

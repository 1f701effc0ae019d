# Test-only module of the real-host suite: how late the host's event loop runs a timer
# that asks to run every millisecond. Everything a module does on the loop (and every
# blocking disk write) delays it. Loaded from a [feedbox_stall_probe] section.
#
# - STALL_PROBE_START forgets what was measured so far.
# - STALL_PROBE_REPORT answers "stall_probe ticks=N max_ms=X p99_ms=Y" for the time since.
PERIOD_S = 0.001


class FeedboxStallProbe:
    def __init__(self, config):
        self.printer = config.get_printer()
        self.reactor = self.printer.get_reactor()
        self.timer = self.reactor.register_timer(self._tick)
        self._reset()
        gcode = self.printer.lookup_object('gcode')
        gcode.register_command('STALL_PROBE_START', self.cmd_STALL_PROBE_START)
        gcode.register_command('STALL_PROBE_REPORT', self.cmd_STALL_PROBE_REPORT)
        self.printer.register_event_handler('klippy:ready', self._start)

    def _reset(self):
        # Whole milliseconds of lateness -> how often.
        self.histogram = {}
        self.max_late_s = 0.
        self.ticks = 0

    def _start(self):
        self.due = self.reactor.monotonic() + PERIOD_S
        self.reactor.update_timer(self.timer, self.due)

    def _tick(self, eventtime):
        now = self.reactor.monotonic()
        late = max(0., now - self.due)
        self.max_late_s = max(self.max_late_s, late)
        bucket = int(late * 1000.)
        self.histogram[bucket] = self.histogram.get(bucket, 0) + 1
        self.ticks += 1
        self.due = now + PERIOD_S
        return self.due

    def cmd_STALL_PROBE_START(self, gcmd):
        self._reset()

    def cmd_STALL_PROBE_REPORT(self, gcmd):
        seen, p99 = 0, 0
        for bucket in sorted(self.histogram):
            seen += self.histogram[bucket]
            if seen >= 0.99 * self.ticks:
                p99 = bucket + 1
                break
        gcmd.respond_info('stall_probe ticks=%d max_ms=%.2f p99_ms=%d'
                          % (self.ticks, self.max_late_s * 1000., p99))


def load_config(config):
    return FeedboxStallProbe(config)

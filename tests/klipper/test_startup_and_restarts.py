# The host on its pseudo-terminal, in real time: the box's start-up timers, and restarts
# that leave the host's memory and threads where they were.
import time

from scenario import HostScenario, option
import klipper_host
import mcu_output


def pin_of(sections, section, key):
    """The MCU-local pin of an option: '^!mcu_box1:gpio16' -> ('mcu_box1', 'gpio16')."""
    value = option(sections, section, key).lstrip('^~!')
    chip, _, pin = value.rpartition(':')
    return chip or 'mcu', pin


class StartUp(HostScenario):
    # The start-up run of the box begins 3 s after the host is ready.
    SETTLE_S = 8

    def start(self, suffix, outlet_clear, entry_mm):
        host = self.interactive(suffix=suffix)
        host.wait_ready()
        mcu, pin = pin_of(self.sections, 'feedhub', 'b_button_pin')
        host.command('TEST_HALL DIAMETER=%g' % entry_mm)
        host.command('TEST_BUTTON MCU=%s PIN=%s STATE=%d' % (mcu, pin, 1 if outlet_clear else 0))
        time.sleep(self.SETTLE_S)
        answer = host.command('STATUS')
        self.assertIn('// Klipper state: Ready', answer, host.log()[-3000:])
        return host

    def slot_steps(self, host):
        lines = mcu_output.decode(self.paths.klipper, self.paths.dictionary,
                                  host.folder + '/out.serial-mcu_box1')
        total = 0
        for slot in range(4):
            step_pin = option(self.sections, 'feedlane slot%d' % slot,
                              'step_pin').split(':')[-1]
            total += sum(count for _d, count in
                         mcu_output.step_moves(lines, mcu_output.stepper_oid(lines, step_pin)))
        return total

    def test_outlet_clear_and_entry_empty_moves_nothing_and_reports_nothing(self):
        host = self.start('-clear', outlet_clear=True, entry_mm=0)
        host.close()
        self.assertNotIn('ZKE_004', host.log())
        self.assertEqual(self.slot_steps(host), 0)
        saved = klipper_host.read_saved_variables(host.folder + '/' +
                                                  klipper_host.SAVED_VARIABLES)
        self.assertEqual(saved.get('last_load_slot', 'slot-1'), 'slot-1')
        self.assertNotIn('retry_step', saved)

    def test_filament_at_the_entry_is_probed_without_harm_to_the_host(self):
        host = self.start('-probe', outlet_clear=True, entry_mm=1.75)
        # The probing moves run in real time; a loaded machine takes longer.
        deadline = time.monotonic() + 60
        while 'ZKE_004_015' not in host.log() and time.monotonic() < deadline:
            time.sleep(0.5)
        host.close()
        # Without a box the sensors never change: the run fails, and says so, but the host
        # stays up and every move reached the box MCU as steps.
        self.assertIn('ZKE_004_015', host.log())
        self.assertNotIn('Transition to shutdown state', host.log())
        self.assertGreater(self.slot_steps(host), 0)


class Restarts(HostScenario):
    RESTARTS = 10
    # Memory the host may gain over ten restarts (the allocator keeps some); a leaked
    # printer costs about 6.5 MB each time.
    TOLERANCE_KB = 8 * 1024

    def restart(self, host, command):
        for _ in range(self.RESTARTS):
            host.command(command, timeout=30)
            host.wait_ready()
        return host.memory_and_threads()

    def test_restarts_keep_memory_and_threads_flat(self):
        host = self.interactive()
        host.wait_ready()
        # One restart first: the host's own caches fill on the first.
        host.command('RESTART', timeout=30)
        host.wait_ready()
        rss_kb, threads = host.memory_and_threads()
        for command in ('RESTART', 'FIRMWARE_RESTART'):
            after_kb, after_threads = self.restart(host, command)
            print('\n  %s x%d: %d kB / %d threads -> %d kB / %d threads'
                  % (command, self.RESTARTS, rss_kb, threads, after_kb, after_threads))
            self.assertLess(after_kb - rss_kb, self.TOLERANCE_KB, command)
            self.assertEqual(after_threads, threads, command)
        self.assertNotIn('Transition to shutdown state', host.log())

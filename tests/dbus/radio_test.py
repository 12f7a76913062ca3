'''The built-in radio and reboot drivers against ModemManager and logind mocks

Runs under dbus-run-session (run.sh): the session bus stands in for the system bus. The built
tool runs with the console front-end beside a firmware package, COM1: on the module simulator's
pty, "RIL1:"="radio:" and the module reset through the simulator's control hook.
'''

import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import dbus
import dbusmock

os.environ['DBUS_SYSTEM_BUS_ADDRESS'] = os.environ['DBUS_SESSION_BUS_ADDRESS']
HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.environ['KOV02TOOL']
SIM = os.environ['KOV02A_SIM']
MM_TEMPLATE = os.path.join(HERE, 'modemmanager.py')
SUCCESS_BOX = 'box: Successful | Reboot device/Reset module ! | yes/no'
FAILED_BOX = 'box: Update failed'


def eventually(check, limit=20.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(0.05)
    return check()


class Process:
    '''A child whose stdout lines are collected as they come; commands go to its stdin.'''

    def __init__(self, argv, cwd, env=None, stderr=None):
        self.lines = []
        self._new = queue.Queue()
        self.child = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=stderr, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.child.stdout:
            self.lines.append(line.rstrip('\n'))

    def send(self, line):
        self.child.stdin.write(line + '\n')
        self.child.stdin.flush()

    def wait_for(self, text, limit=60.0):
        found = eventually(lambda: any(text in line for line in self.lines), limit)
        assert found, f'no line with {text!r} in:\n' + '\n'.join(self.lines)
        return next(line for line in self.lines if text in line)

    def quit(self):
        '''Exit through the menu's command; the exit status (sanitizers' findings make it fail).'''
        if self.child.poll() is None:
            self.send('command 101')
            try:
                self.child.wait(30)
            except subprocess.TimeoutExpired:
                pass
        status = self.child.poll()
        self.stop()
        return status

    def stop(self, sig=signal.SIGKILL):
        if self.child.poll() is None:
            self.child.send_signal(sig)
        self.child.wait()
        for stream in (self.child.stdin, self.child.stdout, self.child.stderr):
            if stream:
                stream.close()


class Rig(dbusmock.DBusTestCase):
    '''A program folder with the package, a simulator, and the tool wired to both.'''

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='kov02-radio-')
        self.mocks = []
        self.tool = None
        for name, size in (('boot1_v3.bin', 200), ('boot2_v3_KOV02A.bin', 2500), ('flash_only.bin', 8000)):
            with open(os.path.join(self.dir, name), 'wb') as out:
                out.write(os.urandom(size))
        with open(os.path.join(self.dir, 'file_size.bin'), 'wb') as out:
            out.write(b'\x3f\xa0\x00')
        os.link(TOOL, os.path.join(self.dir, 'kov02tool')) if os.stat(TOOL).st_dev == os.stat(self.dir).st_dev \
            else shutil.copy2(TOOL, os.path.join(self.dir, 'kov02tool'))
        os.mkdir(os.path.join(self.dir, 'run'), 0o700)

    def tearDown(self):
        if self.tool:
            killed = self.tool.child.poll() == -signal.SIGKILL
            status = self.tool.quit()
            self.assertEqual(status, -signal.SIGKILL if killed else 0, self.stderr_text())
        if getattr(self, 'sim', None):
            self.sim.stop(signal.SIGTERM)
        for mock in self.mocks:
            mock.terminate()
            mock.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def start_sim(self, *options):
        control = os.path.join(self.dir, 'sim.sock')
        self.sim = Process([SIM, '--link', os.path.join(self.dir, 'module'), '--control', control, *options],
                           self.dir, stderr=subprocess.DEVNULL)
        self.pty = self.sim.wait_for('module ', 20).split('module ', 1)[1]
        self.sim.wait_for('ready', 20)
        return f'exec:{SIM} ctl --control {control} ril'

    def start_mock(self, template, parameters=None):
        mock, obj = self.spawn_server_template(template, parameters or {}, subprocess.DEVNULL, system_bus=True)
        self.mocks.append(mock)
        return obj

    def start_tool(self, radio, reboot=None, update=None):
        '''`radio`, `reboot` and `update`: values under Platform\\Radio, Kernel and Update.'''
        lines = ['REGEDIT4', '[HKEY_LOCAL_MACHINE\\Platform\\Debug]',
                 f'"Output"="file:{self.debug_log}"', '[HKEY_LOCAL_MACHINE\\Platform\\Devices]',
                 f'"COM1:"="{self.pty}"', '"RIL1:"="radio:"', '[HKEY_LOCAL_MACHINE\\Platform\\Radio]']
        lines += [f'"{name}"="{value}"' for name, value in radio.items()]
        if reboot:
            lines += ['[HKEY_LOCAL_MACHINE\\Platform\\Kernel]', f'"Reboot"="{reboot}"']
        lines += ['[HKEY_LOCAL_MACHINE\\Platform\\Update]']
        lines += [f'"{name}"=dword:{value:08x}' for name, value in (update or {}).items()]
        registry = os.path.join(self.dir, 'kov02tool.reg')
        with open(registry, 'w') as out:
            out.write('\n'.join(lines) + '\n')
        env = dict(os.environ, KOV02_UI='console', KOV02_REGISTRY=registry,
                   XDG_RUNTIME_DIR=os.path.join(self.dir, 'run'))
        with open(self.stderr_file, 'w') as stderr:
            self.tool = Process([os.path.join(self.dir, 'kov02tool')], self.dir, env, stderr=stderr)
        self.tool.send('show menu')
        self.tool.wait_for('Flash only = 118', 20)

    @property
    def stderr_file(self):
        return os.path.join(self.dir, 'stderr.txt')

    @property
    def debug_log(self):
        return os.path.join(self.dir, 'debug.log')

    def debug_lines(self):
        try:
            with open(self.debug_log, encoding='utf-8', errors='replace') as log:
                return log.read().splitlines()
        except FileNotFoundError:
            return []

    def stderr_text(self):
        with open(self.stderr_file, encoding='utf-8', errors='replace') as err:
            return err.read()

    def debug_index(self, text):
        '''The number of the first debug line holding `text`, waiting for it.'''
        self.assertTrue(eventually(lambda: any(text in line for line in self.debug_lines())),
                        f'no debug line with {text!r}:\n' + '\n'.join(self.debug_lines()))
        return next(i for i, line in enumerate(self.debug_lines()) if text in line)


class ModemManagerSuspension(Rig):
    # The simulator's behaviour for each test: the first image unanswered, unless a test names
    # its own (one simulator per test, started once).
    SIM_OPTIONS = {'test_killing_the_tool_mid_image_drops_the_inhibition': ('--silent-after', '1')}

    def setUp(self):
        super().setUp()
        options = self.SIM_OPTIONS.get(self._testMethodName, ('--withhold-ack', 'image:once'))
        self.reset = self.start_sim(*options)

    def start_mm(self):
        self.mm = self.start_mock(MM_TEMPLATE)
        self.mm.AddModem('UID-MODEM', f'ttyS9,{self.pty[len("/dev/"):]}', dbus_interface=dbusmock.MOCK_IFACE)
        self.mm.AddModem('UID-OTHER', 'ttyACM7', dbus_interface=dbusmock.MOCK_IFACE)

    def inhibited(self):
        return list(self.mm.Inhibited(dbus_interface=dbusmock.MOCK_IFACE))

    def run_update(self):
        self.tool.send('menu Tools/Update Firmware/Flash only')
        self.tool.wait_for('RIL has been suspended')

    def test_update_inhibits_the_modem_before_the_port_opens_and_lifts_it_after_failure_and_success(self):
        self.start_mm()
        self.start_tool({'Suspend': 'modemmanager:', 'Reset': self.reset}, update={'ChunkTimeout': 1500})
        for outcome in (FAILED_BOX, SUCCESS_BOX):
            self.run_update()
            self.assertEqual(self.inhibited(), ['UID-MODEM'])
            self.tool.wait_for(outcome, 60)
            self.tool.send('answer ok' if outcome == FAILED_BOX else 'answer no')
            self.assertTrue(eventually(lambda: self.inhibited() == []), self.debug_lines())
            self.tool.lines.clear()
        let_go = self.debug_index('RIL1: ModemManager let go of ' + self.pty + ' (modem UID-MODEM)')
        self.assertLess(let_go, self.debug_index('Open com port succeed!!'))
        self.debug_index('RIL1: ModemManager has ' + self.pty + ' back')

    def test_killing_the_tool_mid_image_drops_the_inhibition(self):
        self.start_mm()
        self.start_tool({'Suspend': 'modemmanager:', 'Reset': self.reset}, update={'ChunkTimeout': 60000})
        self.run_update()
        self.tool.wait_for('progress: image')
        self.assertEqual(self.inhibited(), ['UID-MODEM'])
        self.tool.child.send_signal(signal.SIGKILL)
        self.assertTrue(eventually(lambda: self.inhibited() == []))

    def test_without_modemmanager_the_update_runs(self):
        self.start_tool({'Suspend': 'modemmanager:', 'Reset': self.reset}, update={'ChunkTimeout': 1500})
        self.run_update()
        self.tool.wait_for(FAILED_BOX)
        self.debug_index('RIL1: ModemManager is not running: nothing to suspend')

    def test_refusals_fail_the_suspension_with_their_reason_lines(self):
        self.start_mm()
        self.start_tool({'Suspend': 'modemmanager:' + self.pty})
        refusals = (('InProgress', 'org.freedesktop.ModemManager1.Error.Core.InProgress', 0xAA,
                     'another program has it inhibited already'),
                    ('AccessDenied', 'org.freedesktop.DBus.Error.AccessDenied', 5,
                     'only root may do this here (see kov02tool.reg(5))'))
        for method, error, code, reason in refusals:
            self.mm.AddMethod('org.freedesktop.ModemManager1', 'InhibitDevice', 'sb', '',
                              f'raise dbus.exceptions.DBusException("no", name="{error}")',
                              dbus_interface=dbusmock.MOCK_IFACE)
            self.tool.send('menu System/Suspend RIL')
            self.tool.wait_for(f'Failed to suspend RIL action, error code: 0x{code:08X}')
            self.debug_index(f'RIL1: ModemManager refused to let go of {self.pty}: {reason}')


class LogindReboot(Rig):
    def setUp(self):
        super().setUp()
        self.reset = self.start_sim('--silent-after', '1')

    def reboot_calls(self, logind):
        return [list(args) for _, name, args in logind.GetCalls(dbus_interface=dbusmock.MOCK_IFACE)
                if name == 'Reboot']

    def test_reboot_by_what_logind_answers(self):
        refusals = {'no': 'logind says this user may not reboot (CanReboot: no)',
                    'na': 'logind says this user may not reboot (CanReboot: na)',
                    'challenge': 'rebooting needs an administrator',
                    None: 'logind is not running'}
        for answer in ('yes', 'no', 'na', 'challenge', None):
            with self.subTest(answer=answer):
                logind = self.start_mock('logind', {'CanReboot': answer}) if answer else None
                self.start_tool({}, reboot='logind:')
                self.tool.send('menu System/Reboot Device')
                if answer != 'yes':
                    self.tool.wait_for('Failed to call KernelIoControl() to reboot!')
                    self.debug_index('Reboot: ' + refusals[answer])
                if logind:
                    calls = [[False]] if answer == 'yes' else []
                    self.assertTrue(eventually(lambda: self.reboot_calls(logind) == calls), self.reboot_calls(logind))
                    mock = self.mocks.pop()
                    mock.terminate()
                    mock.wait()
                self.assertEqual(self.tool.quit(), 0, self.stderr_text())

    def test_update_holds_the_sleep_inhibitor_while_it_runs(self):
        logind = self.start_mock('logind')
        self.start_tool({'Reset': self.reset}, reboot='logind:', update={'ChunkTimeout': 2000})

        def inhibitors():
            return [tuple(i[:4]) for i in logind.ListInhibitors(dbus_interface='org.freedesktop.login1.Manager')]
        self.assertEqual(inhibitors(), [])
        self.tool.send('menu Tools/Update Firmware/Flash only')
        self.tool.wait_for('progress: image')
        self.assertEqual(inhibitors(), [('shutdown:sleep', 'KOV02Tool', 'Firmware update running', 'block')])
        self.tool.wait_for(FAILED_BOX)
        self.assertTrue(eventually(lambda: inhibitors() == []))


if __name__ == '__main__':
    unittest.main()

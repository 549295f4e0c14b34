'''python-dbusmock template: a stand-in ScreenCast portal backend for the Wayland tests.

The real xdg-desktop-portal frontend talks to it (picked by portals/snagreel-test.portal
through XDG_CURRENT_DESKTOP=snagreel-test), so the recorder goes through the same
frontend, request objects and permission store as on a desktop. It owns the "screen":
a GStreamer test pattern published as a PipeWire video source node.

Control interface org.freedesktop.impl.portal.desktop.snagreeltest.Control:
  Deny()          the next Start answers "cancelled", as if the user said no
  CloseSessions() every open session emits Closed, as when the desktop ends sharing
  StopScreen()    the screen node goes away (its PipeWire stream fails)
  StartScreen()   the screen node comes back
  GetState() -> s JSON: dialogs (Starts that would have shown the chooser), restored
                  (Starts that reused a restore token), sessions (open ones), starts
'''
import json
import os
import subprocess
import time

import dbus
from dbusmock import mockobject
from gi.repository import GLib

BUS_NAME = 'org.freedesktop.impl.portal.desktop.snagreeltest'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.impl.portal.ScreenCast'
SYSTEM_BUS = False

SESSION_IFACE = 'org.freedesktop.impl.portal.Session'
CONTROL_IFACE = 'org.freedesktop.impl.portal.desktop.snagreeltest.Control'
NODE_NAME = 'snagreel-test-screen'

STATE = {}


def reply(code=0, results=None):
    return (dbus.UInt32(code), dbus.Dictionary(results or {}, signature='sv'))


def screen_node():
    '''PipeWire id of the screen node, or None.'''
    try:
        dump = json.loads(subprocess.run(['pw-dump'], capture_output=True, text=True,
                                         timeout=5).stdout)
    except Exception:
        return None
    for o in dump:
        if o.get('type') == 'PipeWire:Interface:Node' and \
                o.get('info', {}).get('props', {}).get('node.name') == NODE_NAME:
            return o['id']
    return None


def start_screen():
    if STATE.get('screen') and STATE['screen'].poll() is None:
        return
    w, h = STATE['size']
    STATE['screen'] = subprocess.Popen(
        ['gst-launch-1.0', '-q', 'videotestsrc', 'is-live=true', 'pattern=ball', '!',
         'video/x-raw,format=BGRx,width=%d,height=%d,framerate=30/1' % (w, h), '!',
         'pipewiresink', 'mode=provide',
         'stream-properties=props,media.class=Video/Source,node.name=' + NODE_NAME],
        stdout=subprocess.DEVNULL)
    for _ in range(200):
        if screen_node() is not None:
            return
        time.sleep(0.05)
    raise RuntimeError('the test screen node did not appear')


def session_close(self):
    path = str(self.path)
    STATE['sessions'].pop(path, None)

    def remove():
        try:
            self.remove_from_connection()
        except Exception:
            pass
        mockobject.objects.pop(path, None)
        return False
    GLib.idle_add(remove)


def create_session(self, handle, session_handle, app_id, options):
    path = str(session_handle)
    STATE['sessions'][path] = {'restored': False, 'persist_mode': 0}
    self.AddObject(path, SESSION_IFACE, {'version': dbus.UInt32(1)},
                   [('Close', '', '', session_close)])
    return reply()


def select_sources(self, handle, session_handle, app_id, options):
    s = STATE['sessions'].setdefault(str(session_handle), {})
    s['persist_mode'] = int(options.get('persist_mode', 0))
    s['cursor_mode'] = int(options.get('cursor_mode', 0))
    # restore_data is what an earlier Start returned, kept by the frontend's store
    data = options.get('restore_data')
    s['restored'] = data is not None and str(data[0]) == 'snagreel-test'
    return reply()


def start(self, handle, session_handle, app_id, parent_window, options):
    STATE['starts'] += 1
    s = STATE['sessions'].get(str(session_handle), {})
    if STATE['deny']:
        STATE['deny'] = False
        STATE['dialogs'] += 1
        return reply(1)
    if s.get('restored'):
        STATE['restored'] += 1
    else:
        STATE['dialogs'] += 1
    node = screen_node()
    if node is None:
        return reply(2)
    w, h = STATE['size']
    results = {
        'streams': dbus.Array([dbus.Struct((dbus.UInt32(node), dbus.Dictionary({
            'position': dbus.Struct((dbus.Int32(0), dbus.Int32(0))),
            'size': dbus.Struct((dbus.Int32(w), dbus.Int32(h))),
            'source_type': dbus.UInt32(1)}, signature='sv')))], signature='(ua{sv})'),
        'persist_mode': dbus.UInt32(s.get('persist_mode', 0)),
    }
    if s.get('persist_mode', 0):
        results['restore_data'] = dbus.Struct((dbus.String('snagreel-test'), dbus.UInt32(1),
                                               dbus.String('TEST-1', variant_level=1)))
    return reply(0, results)


def deny(self):
    STATE['deny'] = True


def close_sessions(self):
    for path in list(STATE['sessions']):
        obj = mockobject.objects.get(path)
        if obj is not None:
            obj.EmitSignal(SESSION_IFACE, 'Closed', '', [])
        STATE['sessions'].pop(path, None)


def stop_screen(self):
    if STATE.get('screen'):
        STATE['screen'].terminate()
        STATE['screen'].wait()
        STATE['screen'] = None


def start_screen_method(self):
    start_screen()


def get_state(self):
    return dbus.String(json.dumps({k: STATE[k] for k in ('dialogs', 'restored', 'starts')} |
                                  {'sessions': len(STATE['sessions'])}))


def load(mock, parameters):
    size = os.environ.get('SNAGREEL_TEST_SCREEN_SIZE', '640x360').split('x')
    STATE.clear()
    STATE.update(size=(int(size[0]), int(size[1])), deny=False, dialogs=0, restored=0,
                 starts=0, sessions={}, screen=None)
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary({
        'AvailableSourceTypes': dbus.UInt32(1),
        'AvailableCursorModes': dbus.UInt32(1 | 2),
        'version': dbus.UInt32(4),
    }, signature='sv'))
    mock.AddMethod(MAIN_IFACE, 'CreateSession', 'oosa{sv}', 'ua{sv}', create_session)
    mock.AddMethod(MAIN_IFACE, 'SelectSources', 'oosa{sv}', 'ua{sv}', select_sources)
    mock.AddMethod(MAIN_IFACE, 'Start', 'oossa{sv}', 'ua{sv}', start)
    mock.AddMethod(CONTROL_IFACE, 'Deny', '', '', deny)
    mock.AddMethod(CONTROL_IFACE, 'CloseSessions', '', '', close_sessions)
    mock.AddMethod(CONTROL_IFACE, 'StopScreen', '', '', stop_screen)
    mock.AddMethod(CONTROL_IFACE, 'StartScreen', '', '', start_screen_method)
    mock.AddMethod(CONTROL_IFACE, 'GetState', '', 's', get_state)
    start_screen()

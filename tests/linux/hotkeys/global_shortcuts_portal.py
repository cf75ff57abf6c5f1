# SPDX-License-Identifier: GPL-3.0-or-later
'''A python3-dbusmock stand-in for the desktop portal's GlobalShortcuts, as
xdg-desktop-portal with its KDE and GNOME backends answers. Each Request's
Response goes out before the reply to the call that made it.

Parameters: registry (offer org.freedesktop.host.portal.Registry, default
true); no_key (ids bound without a trigger); bind_response (BindShortcuts'
response code, as GNOME 48 gives 2 on success); systemd (also stand in for the
systemd user manager's StartTransientUnit); kde_held (also stand in for
KDE's org.kde.kglobalaccel: id → the group holding its preferred key, so the
session's group got none; "orvomenu" is an older, inactive group of ours).
'''
import dbus
from gi.repository import GLib

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.GlobalShortcuts'
SYSTEM_BUS = False
MOCK_IFACE = 'org.freedesktop.DBus.Mock'


def load(mock, parameters):
    mock.options = parameters
    mock.held = set()
    mock.session = ''
    mock.calls = []
    if parameters.get('registry', True):
        mock.AddMethod('org.freedesktop.host.portal.Registry', 'Register', 'sa{sv}', '',
                       'self.calls.append("Register " + args[0])')
    if parameters.get('systemd'):
        mock.systemd = dbus.service.BusName('org.freedesktop.systemd1', mock.connection)
        mock.AddObject('/org/freedesktop/systemd1', 'org.freedesktop.systemd1.Manager', {}, [
            ('StartTransientUnit', 'ssa(sv)a(sa(sv))', 'o', lambda manager, name, _mode, properties, _aux:
             start_transient_unit(mock, manager, name, dict(properties)['PIDs']))])
    if 'kde_held' in parameters:
        mock.kglobalaccel = dbus.service.BusName('org.kde.kglobalaccel', mock.connection)
        mock.group = 'org.orvomenu.OrvoMenuorvomenu'  # as Plasma 5.27 names it
        mock.AddObject('/kglobalaccel', 'org.kde.KGlobalAccel', {}, [
            ('getComponent', 's', 'o', lambda _, name: f'/component/{name.replace(".", "_")}' if name in (
                'orvomenu', mock.group) else throw('org.kde.kglobalaccel.NoSuchComponent')),
            ('actionList', '(ai)', 'as', lambda _, keys: holder(mock, keys[0][0])),
            ('doRegister', 'as', '', lambda _, ids: mock.calls.append(f'doRegister {ids[0]} {ids[2]}')),
            ('setForeignShortcutKeys', 'asa(ai)', '', lambda _, ids, keys: mock.calls.append(
                f'setForeignShortcutKeys {ids[0]} {ids[1]} {[int(key[0][0]) for key in keys]}')),
        ])
        mock.AddObject('/component/orvomenu', 'org.kde.kglobalaccel.Component', {},
                       [('isActive', '', 'b', lambda _: False)])
        mock.AddObject(f'/component/{mock.group.replace(".", "_")}', 'org.kde.kglobalaccel.Component', {}, [
            ('isActive', '', 'b', lambda _: True),
            ('allShortcutInfos', '', 'a(ssssssaiai)', lambda _: [
                (id, '', mock.group, mock.group, '', '', [] if id in parameters['kde_held'] else [alt(id)], [])
                for id in sorted(mock.held)]),
        ])


def throw(name):
    raise dbus.exceptions.DBusException(name, name=name)


def alt(id):
    return 0x08000000 | ord(id[-1])  # Qt's Alt+N


def holder(mock, key):
    return next(([group, id, group, ''] for id, group in mock.options['kde_held'].items() if alt(id) == key), [])


def start_transient_unit(mock, manager, name, pids):
    mock.calls.append(f'StartTransientUnit {name} pids={",".join(str(pid) for pid in pids)}')
    job = '/org/freedesktop/systemd1/job/1'  # removed after the reply, as systemd does
    GLib.idle_add(manager.EmitSignal, 'org.freedesktop.systemd1.Manager', 'JobRemoved', 'uoss', [1, job, name, 'done'])
    return job


def triggers(shortcuts):
    return ''.join(f' {id}={properties.get("preferred_trigger", "")}' for id, properties in shortcuts)


def respond(mock, sender, options, response, results):
    path = f'{MAIN_OBJ}/request/{sender[1:].replace(".", "_")}/{options["handle_token"]}'
    signal = dbus.lowlevel.SignalMessage(path, 'org.freedesktop.portal.Request', 'Response')
    signal.set_destination(sender)
    signal.append(dbus.UInt32(response), dbus.Dictionary(results, signature='sv'), signature='ua{sv}')
    mock.connection.send_message(signal)
    return dbus.ObjectPath(path)


def held(mock):
    no_key = mock.options.get('no_key', [])
    shortcuts = [(id, {'trigger_description': '' if id in no_key else 'Alt+' + id[-1]}) for id in sorted(mock.held)]
    return {'shortcuts': dbus.Array(shortcuts, signature='(sa{sv})')}


@dbus.service.method(MAIN_IFACE, in_signature='a{sv}', out_signature='o', sender_keyword='sender')
def CreateSession(self, options, sender):
    shortcuts = options.get('shortcuts', [])
    self.calls.append('CreateSession' + triggers(shortcuts))
    self.session = f'{MAIN_OBJ}/session/{sender[1:].replace(".", "_")}/{options["session_handle_token"]}'
    return respond(self, sender, options, 0, {'session_handle': self.session})


@dbus.service.method(MAIN_IFACE, in_signature='oa{sv}', out_signature='o', sender_keyword='sender')
def ListShortcuts(self, _session, options, sender):
    self.calls.append('ListShortcuts')
    return respond(self, sender, options, 0, held(self))


@dbus.service.method(MAIN_IFACE, in_signature='oa(sa{sv})sa{sv}', out_signature='o', sender_keyword='sender')
def BindShortcuts(self, _session, shortcuts, _parent, options, sender):
    self.calls.append('BindShortcuts' + triggers(shortcuts))
    self.held |= {id for id, _ in shortcuts}
    return respond(self, sender, options, self.options.get('bind_response', 0), held(self))


@dbus.service.method(MOCK_IFACE, out_signature='as')
def Calls(self):
    '''The portal calls so far, each with the shortcuts it named.'''
    return self.calls


@dbus.service.method(MOCK_IFACE, in_signature='ss')
def Activate(self, id, session):
    '''The desktop's user presses shortcut id of session (the client's when empty).'''
    self.EmitSignal(MAIN_IFACE, 'Activated', 'osta{sv}', [session or self.session, id, 0, {}])

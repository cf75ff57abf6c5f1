# SPDX-License-Identifier: GPL-3.0-or-later
'''A python3-dbusmock stand-in for a tray's StatusNotifierWatcher: it takes
the items that register (GetMethodCalls lists them).'''

BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False


def load(mock, _parameters):
    mock.AddMethod(MAIN_IFACE, 'RegisterStatusNotifierItem', 's', '', '')

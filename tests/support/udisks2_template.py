'''UDisks2 stand-in for Varnelo's tests (python3-dbusmock template).

Drives whose medium comes and goes, block devices with a file system,
Filesystem.Mount / Unmount and Drive.Eject, and the errors a site meets.
A test drives it through org.freedesktop.DBus.Mock:

  AddDrive(name, optical) -> drive path
  InsertMedium(drive name, device, label, mount at, really) -> block path
      "really": Mount and Unmount run mount(8) and umount(8) on the device
  FailNext(method, D-Bus error name, message)
  GetEvents() -> lines "seconds method object details", in order
'''

import subprocess
import time

import dbus

from dbusmock import MOCK_IFACE, OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

DRIVE_IFACE = 'org.freedesktop.UDisks2.Drive'
BLOCK_IFACE = 'org.freedesktop.UDisks2.Block'
FS_IFACE = 'org.freedesktop.UDisks2.Filesystem'

STATE = {'events': [], 'fail': {}, 'media': {}}


def load(mock, _parameters):
    mock.AddObject(MAIN_OBJ + '/Manager', 'org.freedesktop.UDisks2.Manager',
                   {'Version': dbus.String('2.9.4', variant_level=1)}, [])


def event(method, path, details=''):
    STATE['events'].append(f'{time.time():.3f} {method} {path} {details}'.strip())


def check_failure(method):
    failure = STATE['fail'].pop(method, None)
    if failure:
        event(method + '-refused', '', failure[0])
        raise dbus.exceptions.DBusException(failure[1], name=failure[0])


def options_text(options):
    return ','.join(f'{k}={options[k]}' for k in sorted(options))


def bytes_of(text):
    return dbus.ByteArray(text.encode() + b'\0')


def run(args):
    done = subprocess.run(args, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise dbus.exceptions.DBusException(done.stderr.strip(), name='org.freedesktop.UDisks2.Error.Failed')


def fs_mount(self, options):
    medium = STATE['media'][self.path]
    event('Mount', self.path, options_text(options))
    check_failure('Mount')
    if medium['mounted']:
        raise dbus.exceptions.DBusException('already mounted', name='org.freedesktop.UDisks2.Error.AlreadyMounted')
    if medium['really']:
        run(['mount', '-o', str(options.get('options', 'rw')), medium['device'], medium['at']])
    medium['mounted'] = True
    self.UpdateProperties(FS_IFACE, {'MountPoints': dbus.Array([bytes_of(medium['at'])], signature='ay')})
    return medium['at']


def fs_unmount(self, options):
    medium = STATE['media'][self.path]
    event('Unmount', self.path, options_text(options))
    check_failure('Unmount')
    if medium['really'] and medium['mounted']:
        run(['umount', medium['at']])
    medium['mounted'] = False
    self.UpdateProperties(FS_IFACE, {'MountPoints': dbus.Array([], signature='ay')})


def drive_eject(self, options):
    event('Eject', self.path, options_text(options))
    check_failure('Eject')
    for path, medium in list(STATE['media'].items()):
        if medium['drive'] != self.path:
            continue
        if medium['mounted']:
            raise dbus.exceptions.DBusException('still mounted', name='org.freedesktop.UDisks2.Error.DeviceBusy')
        # the tray opens: the file system is gone with the disc
        mockobject.objects[MAIN_OBJ].EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                                                [dbus.ObjectPath(path), [BLOCK_IFACE, FS_IFACE]])
        mockobject.objects[MAIN_OBJ].RemoveObject(path)
        del STATE['media'][path]
    self.UpdateProperties(DRIVE_IFACE, {'MediaAvailable': dbus.Boolean(False)})


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='o')
def AddDrive(self, name, optical):
    path = MAIN_OBJ + '/drives/' + name
    self.AddObject(path, DRIVE_IFACE, {
        'Id': dbus.String(name),
        'Removable': dbus.Boolean(True),
        'MediaRemovable': dbus.Boolean(True),
        'MediaAvailable': dbus.Boolean(False),
        'Optical': dbus.Boolean(bool(optical)),
        'Ejectable': dbus.Boolean(True),
    }, [])
    mockobject.objects[path].AddMethod(DRIVE_IFACE, 'Eject', 'a{sv}', '', drive_eject)
    self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                    [dbus.ObjectPath(path), mockobject.objects[path].props])
    return path


@dbus.service.method(MOCK_IFACE, in_signature='ssssb', out_signature='o')
def InsertMedium(self, drive, device, label, at, really):
    drive_path = MAIN_OBJ + '/drives/' + drive
    path = MAIN_OBJ + '/block_devices/' + device.rsplit('/', 1)[-1]
    self.AddObject(path, BLOCK_IFACE, {
        'Device': bytes_of(device),
        'PreferredDevice': bytes_of(device),
        'Drive': dbus.ObjectPath(drive_path),
        'IdLabel': dbus.String(label),
        'IdType': dbus.String('ext4'),
        'IdUsage': dbus.String('filesystem'),
        'HintIgnore': dbus.Boolean(False),
        'HintSystem': dbus.Boolean(False),
        'HintAuto': dbus.Boolean(True),
        'ReadOnly': dbus.Boolean(False),
        'Size': dbus.UInt64(16 << 20),
    }, [])
    block = mockobject.objects[path]
    block.AddProperties(FS_IFACE, {'MountPoints': dbus.Array([], signature='ay')})
    block.AddMethod(FS_IFACE, 'Mount', 'a{sv}', 's', fs_mount)
    block.AddMethod(FS_IFACE, 'Unmount', 'a{sv}', '', fs_unmount)
    STATE['media'][path] = {'drive': drive_path, 'device': device, 'at': at, 'really': bool(really), 'mounted': False}
    event('MediumInserted', path, f'{device} {label}')
    mockobject.objects[drive_path].UpdateProperties(DRIVE_IFACE, {'MediaAvailable': dbus.Boolean(True)})
    self.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}', [dbus.ObjectPath(path), block.props])
    return path


@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='')
def FailNext(self, method, name, message):
    STATE['fail'][method] = (name, message)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def GetEvents(self):
    return dbus.Array(STATE['events'], signature='s')

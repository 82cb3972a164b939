#pragma once
// The ports present. Sources: the device map file SerialComm.ini beside the executable (section
// "SerialComm", one line per device, COM<n>=<device path or tcp://HOST:PORT>), then the kernel's
// serial devices (POSIX) or the registry key of COM ports (Windows).
#include "ModulePath.h"

#include <string>
#include <vector>

namespace platform {

struct SerialPortEntry {
    std::u16string name;  // "COM<n>", the text the port list parses its number from
    std::string device;   // the device path to open
};

// Map entries first, in file order, keeping their numbers; then the kernel's devices by a
// fixed numbering (ttyS<k> = COM<k+1>, ttyACM<k> = COM<k+101>, ttyUSB<k> = COM<k+201>, ...)
// so a device keeps its number from one run to the next. A kernel device already named in the
// map, or whose number the map already uses, is left out. On Windows the system names its serial
// ports: the map adds the network serial servers (tcp://) only, then come the registry's ports,
// but for those whose number the map already uses.
std::vector<SerialPortEntry> ListSerialPorts(const ProgramPlaces& places);

// The device maps' entries (the operator's own map first, then the program's), every kind of
// place, each number once.
std::vector<SerialPortEntry> MappedPorts(const ProgramPlaces& places);

// Parses the number out of a port name the way the Windows program does: drop the first three
// characters and leading white space, then decimal digits up to the first non-digit (none → 0).
int PortNumberFromName(std::u16string_view name);

// The device path of COM<number>, or empty when no such port is listed.
std::string DeviceForPort(const ProgramPlaces& places, int number);

}  // namespace platform

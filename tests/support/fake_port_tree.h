// A stand-in for /sys/class/tty and /dev in a temporary folder, for tests of the serial-port
// listing: tty entries with or without a device link, serial8250 placeholders, and device nodes
// that are links to pseudo-terminals (or missing).
#pragma once

#include <string>

class FakePortTree {
public:
    FakePortTree();   // an empty tree; ok() tells whether its folder exists
    ~FakePortTree();  // removes the whole folder
    FakePortTree(const FakePortTree&) = delete;
    FakePortTree& operator=(const FakePortTree&) = delete;

    bool ok() const { return !root_.empty(); }
    std::string sysClassTty() const { return root_ + "/sys/class/tty"; }
    std::string dev() const { return root_ + "/dev"; }

    // A hardware-backed tty: its sysfs entry with a device link and, unless node is empty, the
    // device node as a link to node. Answers the device path the listing gives for it.
    std::string addPort(const std::string& name, const std::string& node);
    // A port of the 8250 driver with the given port type ("0": nothing behind it).
    std::string addSerial8250(const std::string& name, const std::string& type, const std::string& node);
    // A tty without a device link, as virtual consoles are.
    void addVirtual(const std::string& name);

private:
    std::string root_;
};

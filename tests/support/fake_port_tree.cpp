#include "fake_port_tree.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

FakePortTree::FakePortTree() {
    std::string pattern = (fs::temp_directory_path() / "porttree-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return;
    std::error_code error;
    fs::create_directories(pattern + "/sys/class/tty", error);
    fs::create_directories(pattern + "/sys/bus/platform/drivers/serial8250", error);
    fs::create_directories(pattern + "/dev", error);
    if (!error) root_ = pattern;
}

FakePortTree::~FakePortTree() {
    std::error_code error;
    if (ok()) fs::remove_all(root_, error);
}

std::string FakePortTree::addPort(const std::string& name, const std::string& node) {
    std::error_code error;
    fs::create_directories(sysClassTty() + "/" + name + "/device", error);
    const std::string path = dev() + "/" + name;
    if (!node.empty()) fs::create_symlink(node, path, error);
    return path;
}

std::string FakePortTree::addSerial8250(const std::string& name, const std::string& type, const std::string& node) {
    const std::string path = addPort(name, node);
    std::error_code error;
    fs::create_directory_symlink(root_ + "/sys/bus/platform/drivers/serial8250",
                                 sysClassTty() + "/" + name + "/device/driver", error);
    std::ofstream(sysClassTty() + "/" + name + "/type") << type << "\n";
    return path;
}

void FakePortTree::addVirtual(const std::string& name) {
    std::error_code error;
    fs::create_directories(sysClassTty() + "/" + name, error);
}

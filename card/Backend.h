#pragma once

#include "card/DeviceEntry.h"

#include <any>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct DeviceSpec;

// What the backends list their devices from: the machine's own, unless a test hands a backend
// a stand-in of its own kind (each backend's header says which), or leaves it out.
struct DeviceSources {
    std::map<std::string, std::any> standIns; // by the backend's name
    std::vector<std::string> leftOut;         // backends not listed

    template <class T> const T* standIn(const std::string& backend) const {
        const auto it = standIns.find(backend);
        return it == standIns.end() ? nullptr : std::any_cast<T>(&it->second);
    }
};

// One kind of device the card control can drive, as its folder describes it: the device spec
// prefixes it owns and how it reads their settings, its lines of --help, and how it lists its
// devices as entries of the chooser. The core names no backend; it walks the table.
struct Backend {
    std::string name;                  // what tests and DeviceSources call it
    std::vector<std::string> prefixes; // of its device specs, before the colon
    std::string forms;                 // its specs' forms, for a message
    std::string help;                  // its lines under "Device specs:" in --help
    std::string moreHelp;              // a section of --help of its own, or empty
    std::string examples;              // its lines under "Examples:" in --help
    std::string absent;                // empty when this build has it; else why not, in words
    // Reads the settings that follow "prefix:" (none for the bare prefix) into the backend's
    // own settings; false with what was expected instead.
    bool (*parse)(const std::string& prefix, const std::string* settings, std::any& into,
                  std::string& why) = nullptr;
    // Adds its entries: every device it finds, and the one a spec of its names if the search
    // did not find it, so that opening it says what is wrong with it.
    void (*list)(const DeviceSources& sources, const DeviceSpec* named,
                 std::vector<std::unique_ptr<DeviceEntry>>& entries) = nullptr;
};

// The table of backends, in the order the chooser lists their devices: the simulator last.
const std::vector<const Backend*>& backends();

// The entries the program offers, backend by backend. named, when given, is the device the
// user named, which its backend lists even if its search did not find it.
std::vector<std::unique_ptr<DeviceEntry>> standardDeviceEntries(const DeviceSources& sources = {},
                                                                const DeviceSpec* named = nullptr);

#pragma once

#include <any>
#include <string>

struct Backend;

// A device named in one argument, the way the command line names an entry of the chooser with
// its settings: PREFIX or PREFIX:SETTINGS, the prefix one of a backend's, which reads the
// settings into its own kind of value.
struct DeviceSpec {
    const Backend* backend = nullptr;
    std::string prefix;
    std::any settings; // the backend's own
    std::string text;  // as given

    // The settings, when the spec names that backend.
    template <class T> const T* settingsOf(const Backend& b) const {
        return backend == &b ? std::any_cast<T>(&settings) : nullptr;
    }
};

// Parses a device spec; false with what was expected instead.
bool parseDeviceSpec(const std::string& text, DeviceSpec& spec, std::string& why);

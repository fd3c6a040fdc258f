#include "card/DeviceSpec.h"

#include "card/Backend.h"

bool parseDeviceSpec(const std::string& text, DeviceSpec& spec, std::string& why) {
    spec = {};
    spec.text = text;
    const std::size_t colon = text.find(':');
    const std::string prefix = text.substr(0, colon);
    const std::string settings =
        colon == std::string::npos ? std::string() : text.substr(colon + 1);
    std::string forms;
    for (const Backend* b : backends()) {
        for (const std::string& p : b->prefixes) {
            if (p != prefix)
                continue;
            spec.backend = b;
            spec.prefix = prefix;
            return b->parse(prefix, colon == std::string::npos ? nullptr : &settings, spec.settings,
                            why);
        }
        forms += (forms.empty() ? "" : ", ") + b->forms;
    }
    why = "\"" + text + "\" is not a device; expected " + forms;
    return false;
}

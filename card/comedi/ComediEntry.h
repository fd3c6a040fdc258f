#pragma once

#include "card/DeviceEntry.h"
#include "card/comedi/ComediDevice.h"

#include <string>

#include <functional>

// A digital I/O card of the data-acquisition library, at /dev/comediN.
class ComediEntry : public DeviceEntry {
public:
    using Library = std::function<std::unique_ptr<DioLibrary>()>;
    ComediEntry(std::string path, std::string board, Library library);
    QString name() const override;
    bool probe(QString& why) const override;
    QString heldBy() const override;
    std::unique_ptr<PortDevice> open(QString& why) override;
    bool takeSpec(const DeviceSpec& spec) override;

private:
    std::string path_;
    std::string board_;
    Library library_;
};

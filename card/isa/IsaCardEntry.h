#pragma once

#include "card/DeviceEntry.h"

#include <string>

// The ISA relay/photo card through the port helper, at an I/O base the user enters. standIn,
// for tests, is a file the helper serves in place of the I/O space.
class IsaCardEntry : public DeviceEntry {
public:
    explicit IsaCardEntry(std::string helper, std::string standIn = {});
    static QString cardName();
    QString name() const override { return cardName(); }
    bool probe(QString& why) const override;
    QString heldBy() const override;
    std::unique_ptr<PortDevice> open(QString& why) override;
    QWidget* createOptions(QWidget* parent) override;
    bool takeSpec(const DeviceSpec& spec) override;
    QString settings() const override;

private:
    std::string helper_;
    std::string standIn_;
    QString baseText_;
};

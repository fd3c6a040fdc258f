#include "card/DeviceSpec.h"

#include "card/isa/PortHelperDevice.h"

#include <QString>
#include <QStringList>

namespace {

using Kind = SimulatorFault::Kind;

struct FaultForm {
    const char* name;
    Kind kind;
    int values;    // how many numbers follow "=": N, N,M or K
    bool channels; // the numbers are channels 0-15, else a count K >= 1
};

const FaultForm kFaults[] = {
    {"relay-never-closes", Kind::RelayNeverCloses, 1, true},
    {"input-stuck-active", Kind::InputStuckActive, 1, true},
    {"input-never-active", Kind::InputNeverActive, 1, true},
    {"swap", Kind::SwappedWires, 2, true},
    {"write-fails-every", Kind::EveryKthWriteFails, 1, false},
    {"read-fails-every", Kind::EveryKthReadFails, 1, false},
    {"dead-after", Kind::DeadAfterK, 1, false},
    {"intermittent", Kind::Intermittent, 2, true}, // N, then P in percent
};

constexpr const char* kForms =
    "sim, sim:FAULT[,operate-ms=T], isa, isa:BASE, comedi:/dev/comediN, "
    "modbus-tcp:HOST[:PORT][,unit=N][,coils=A][,inputs=B] or "
    "modbus-rtu:DEVICE[,baud=B][,parity=N|E|O][,unit=N][,coils=A][,inputs=B]";
constexpr const char* kFaultForms =
    "relay-never-closes=N, input-stuck-active=N, input-never-active=N, swap=N,M, "
    "write-fails-every=K, read-fails-every=K, dead-after=K or intermittent=N,P";

bool number(const QString& text, int min, int max, int& value) {
    bool ok = false;
    value = text.toInt(&ok, 10);
    return ok && !text.startsWith(QLatin1Char('+')) && value >= min && value <= max;
}

bool parseSimulator(const QString& settings, SimulatorFault& fault, std::string& why) {
    fault = {};
    QStringList parts = settings.split(QLatin1Char(','));
    // A trailing operate-ms applies to any fault, and to healthy wiring alone.
    if (parts.last().startsWith(QLatin1String("operate-ms="))) {
        if (!number(parts.last().mid(11), 0, 10000, fault.operateMs)) {
            why = "operate-ms takes a whole number of milliseconds from 0 to 10000";
            return false;
        }
        parts.removeLast();
        if (parts.isEmpty())
            return true;
    }
    const QString head = parts.first();
    const QString name = head.section(QLatin1Char('='), 0, 0);
    for (const FaultForm& f : kFaults) {
        if (name != QLatin1String(f.name))
            continue;
        parts[0] = head.section(QLatin1Char('='), 1);
        if (!head.contains(QLatin1Char('=')) || parts.size() != f.values) {
            const std::string form =
                f.kind == Kind::Intermittent ? "a channel and a percentage: intermittent=N,P"
                : f.values == 2              ? "two channels: " + std::string(f.name) + "=N,M"
                                             : std::string(f.name) + (f.channels ? "=N" : "=K");
            why = std::string("the fault ") + f.name + " takes " + form;
            return false;
        }
        int values[2] = {0, 0};
        for (int i = 0; i < f.values; ++i) {
            const bool percent = f.kind == Kind::Intermittent && i == 1;
            const int min = percent ? 0 : f.channels ? 0 : 1;
            const int max = percent ? 100 : f.channels ? 15 : 1000000000;
            if (!number(parts[i], min, max, values[i])) {
                why = std::string(f.name) + ": \"" + parts[i].toStdString() + "\" is not " +
                      (percent      ? "a percentage from 0 to 100"
                       : f.channels ? "a channel from 0 to 15"
                                    : "a count from 1 to 1000000000");
                return false;
            }
        }
        if (f.kind == Kind::SwappedWires && values[0] == values[1]) {
            why = "swap needs two different channels";
            return false;
        }
        fault.kind = f.kind;
        if (f.kind == Kind::Intermittent) {
            fault.n = values[0];
            fault.percent = values[1];
        } else if (f.channels) {
            fault.n = values[0];
            fault.m = f.values == 2 ? values[1] : fault.m;
        } else {
            fault.k = values[0];
        }
        return true;
    }
    why = "unknown simulator fault \"" + head.toStdString() + "\"; expected " + kFaultForms +
          ", optionally followed by ,operate-ms=T";
    return false;
}

bool parseModbus(bool rtu, const QString& settings, ModbusSettings& m, std::string& why) {
    m = {};
    m.rtu = rtu;
    QStringList parts = settings.split(QLatin1Char(','));
    const QString where = parts.takeFirst();
    if (rtu) {
        if (!where.startsWith(QLatin1Char('/'))) {
            why = "modbus-rtu: needs the serial device, for example modbus-rtu:/dev/ttyUSB0";
            return false;
        }
        m.device = where.toStdString();
    } else {
        // HOST, HOST:PORT, [IPv6]:PORT; an IPv6 address alone has colons of its own.
        QString host = where, port;
        if (where.startsWith(QLatin1Char('['))) {
            host = where.section(QLatin1Char(']'), 0, 0).mid(1);
            port = where.section(QLatin1Char(']'), 1).mid(1);
        } else if (where.count(QLatin1Char(':')) == 1) {
            host = where.section(QLatin1Char(':'), 0, 0);
            port = where.section(QLatin1Char(':'), 1);
        }
        if (host.isEmpty()) {
            why = "modbus-tcp: needs the module's host, for example modbus-tcp:192.168.1.50";
            return false;
        }
        m.host = host.toStdString();
        if (!port.isEmpty() && !number(port, 1, 65535, m.port)) {
            why = "modbus-tcp: \"" + port.toStdString() + "\" is not a TCP port from 1 to 65535";
            return false;
        }
    }
    for (const QString& part : parts) {
        const QString key = part.section(QLatin1Char('='), 0, 0);
        const QString value = part.section(QLatin1Char('='), 1);
        bool ok = part.contains(QLatin1Char('='));
        if (key == QLatin1String("unit"))
            ok = ok && number(value, rtu ? 1 : 0, rtu ? 247 : 255, m.unit);
        else if (key == QLatin1String("coils"))
            ok = ok && number(value, 0, ModbusSettings::kMaxAddress, m.coils);
        else if (key == QLatin1String("inputs"))
            ok = ok && number(value, 0, ModbusSettings::kMaxAddress, m.inputs);
        else if (rtu && key == QLatin1String("baud"))
            ok = ok && number(value, 300, 1000000, m.baud);
        else if (rtu && key == QLatin1String("parity"))
            ok = ok && (value == QLatin1String("N") || value == QLatin1String("E") ||
                        value == QLatin1String("O"));
        else {
            why = "unknown Modbus setting \"" + part.toStdString() + "\"; expected unit=N, " +
                  "coils=A, inputs=B" + (rtu ? ", baud=B, parity=N|E|O" : "");
            return false;
        }
        if (!ok) {
            why = "\"" + part.toStdString() + "\" is out of range: unit " +
                  (rtu ? "1-247" : "0-255") + ", coils and inputs 0-" +
                  std::to_string(ModbusSettings::kMaxAddress) +
                  (rtu ? ", baud 300-1000000, parity N, E or O" : "");
            return false;
        }
        if (key == QLatin1String("parity"))
            m.parity = value.at(0).toLatin1();
    }
    return true;
}

} // namespace

bool parseDeviceSpec(const std::string& text, DeviceSpec& spec, std::string& why) {
    const QString s = QString::fromStdString(text);
    const QString kind = s.section(QLatin1Char(':'), 0, 0);
    const bool hasSettings = s.contains(QLatin1Char(':'));
    const QString settings = s.section(QLatin1Char(':'), 1);
    spec = {};
    spec.text = text;
    if (kind == QLatin1String("sim")) {
        spec.kind = DeviceSpec::Kind::Simulator;
        if (!hasSettings)
            return true;
        if (settings.isEmpty()) {
            why = std::string("sim: names no fault; expected sim or sim:FAULT with FAULT one of ") +
                  kFaultForms;
            return false;
        }
        return parseSimulator(settings, spec.fault, why);
    }
    if (kind == QLatin1String("isa")) {
        spec.kind = DeviceSpec::Kind::Isa;
        QString reason;
        if (hasSettings && !PortHelperDevice::parseBase(settings, spec.base, reason)) {
            why = "isa:BASE: " + reason.toStdString();
            return false;
        }
        return true;
    }
    if (kind == QLatin1String("comedi")) {
        spec.kind = DeviceSpec::Kind::Comedi;
        spec.path = settings.toStdString();
        if (!settings.startsWith(QLatin1Char('/'))) {
            why = "comedi: needs the device file, for example comedi:/dev/comedi0";
            return false;
        }
        return true;
    }
    if (kind == QLatin1String("modbus-tcp") || kind == QLatin1String("modbus-rtu")) {
        spec.kind = DeviceSpec::Kind::Modbus;
        return parseModbus(kind == QLatin1String("modbus-rtu"), settings, spec.modbus, why);
    }
    why = "\"" + text + "\" is not a device; expected " + kForms;
    return false;
}

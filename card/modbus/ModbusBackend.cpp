#include "card/modbus/ModbusBackend.h"

#include "card/modbus/ModbusSettings.h"

#include <QString>
#include <QStringList>

// Built with the library, or without it (see the folder's backend.cmake).
#ifdef LOOPTEST_WITH_MODBUS
#include "card/modbus/ModbusEntry.h"
#endif

namespace {

#ifdef LOOPTEST_WITH_MODBUS
const char* const kAbsent = "";
#else
const char* const kAbsent = "This build has no Modbus support (it needs libmodbus).";
#endif

bool number(const QString& text, int min, int max, int& value) {
    bool ok = false;
    value = text.toInt(&ok, 10);
    return ok && !text.startsWith(QLatin1Char('+')) && value >= min && value <= max;
}

bool parseSettings(bool rtu, const QString& settings, ModbusSettings& m, std::string& why) {
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
        else if (key == QLatin1String("verify"))
            ok = ok && (value == QLatin1String("on") || value == QLatin1String("off"));
        else if (rtu && key == QLatin1String("baud"))
            ok = ok && number(value, 300, 1000000, m.baud);
        else if (rtu && key == QLatin1String("parity"))
            ok = ok && (value == QLatin1String("N") || value == QLatin1String("E") ||
                        value == QLatin1String("O"));
        else {
            why = "unknown Modbus setting \"" + part.toStdString() + "\"; expected unit=N, " +
                  "coils=A, inputs=B, verify=on|off" + (rtu ? ", baud=B, parity=N|E|O" : "");
            return false;
        }
        if (!ok) {
            why = "\"" + part.toStdString() + "\" is out of range: unit " +
                  (rtu ? "1-247" : "0-255") + ", coils and inputs 0-" +
                  std::to_string(ModbusSettings::kMaxAddress) + ", verify on or off" +
                  (rtu ? ", baud 300-1000000, parity N, E or O" : "");
            return false;
        }
        if (key == QLatin1String("parity"))
            m.parity = value.at(0).toLatin1();
        if (key == QLatin1String("verify"))
            m.verify = value == QLatin1String("on");
    }
    return true;
}

bool parse(const std::string& prefix, const std::string* settings, std::any& into,
           std::string& why) {
    ModbusSettings m;
    if (!parseSettings(prefix == "modbus-rtu", QString::fromStdString(settings ? *settings : ""), m,
                       why))
        return false;
    into = m;
    return true;
}

void list([[maybe_unused]] const DeviceSources& sources, const DeviceSpec*,
          [[maybe_unused]] std::vector<std::unique_ptr<DeviceEntry>>& entries) {
#ifdef LOOPTEST_WITH_MODBUS
    entries.push_back(std::make_unique<ModbusEntry>());
#endif
}

} // namespace

const Backend& modbusBackend() {
    static const Backend backend{
        "modbus",
        {"modbus-tcp", "modbus-rtu"},
        "modbus-tcp:HOST[:PORT][,unit=N][,coils=A][,inputs=B][,verify=off] or "
        "modbus-rtu:DEVICE[,baud=B][,parity=N|E|O][,unit=N][,coils=A][,inputs=B][,verify=off]",
        "  modbus-tcp:HOST[:PORT][,SETTINGS]  a Modbus TCP module (port 502 unless given)\n"
        "  modbus-rtu:DEVICE[,SETTINGS]       a Modbus RTU module on a serial line\n",
        "Modbus settings, separated by commas:\n"
        "  unit=N           the module's unit id (default 1)\n"
        "  coils=A          relay r is coil A + r (default 0)\n"
        "  inputs=B         input i is discrete input B + i (default 0)\n"
        "  verify=on|off    read the coils back before each read-back, so that a run ends\n"
        "                   when another master drives the module (default on; off for a\n"
        "                   module whose coils cannot be read)\n"
        "  baud=B           RTU only: the line's speed (default 9600)\n"
        "  parity=N|E|O     RTU only: the parity (default N; 8 data bits, 1 stop bit)\n",
        "  looptest --headless --device modbus-tcp:192.168.1.50,unit=2 --duration 8h\n\n",
        kAbsent,
        parse,
        list,
    };
    return backend;
}

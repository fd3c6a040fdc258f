#pragma once

#include "card/CardControl.h"
#include "card/simulator/LoopbackSimulator.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// A card control for tests: records every call in order, answers like a healthy loop-back card
// by default, and lets a test fail or falsify any call.
class ScriptedCard : public CardControl {
public:
    enum class Op { Select, Active, Read, Write };
    struct Call {
        Op op;
        int port = -1;
        int data = 0;
        bool result = true;
        bool operator==(const Call&) const = default;
    };

    static Call write(int port, int data, bool result = true) {
        return {Op::Write, port, data, result};
    }
    static Call read(int port, int data, bool result = true) {
        return {Op::Read, port, data, result};
    }

    bool selectResult = true;
    // Decides a write's result; the default succeeds.
    std::function<bool(int port, int data)> onWrite;
    // Decides a read: may change data (the loop-back answer) and the result.
    std::function<bool(int port, std::int16_t& data)> onRead;

    std::vector<Call> calls;

    bool SelectDevice() override {
        calls.push_back({Op::Select, -1, 0, selectResult});
        return selectResult;
    }
    void setActive(bool active) override { calls.push_back({Op::Active, -1, active ? 1 : 0}); }
    bool ReadPort(std::int32_t port, std::int16_t& data) override {
        std::int16_t answer = 0;
        bool ok = loop_.read(port, answer);
        if (onRead)
            ok = onRead(port, answer);
        if (ok)
            data = answer;
        calls.push_back({Op::Read, port, ok ? answer : 0, ok});
        return ok;
    }
    bool WritePort(std::int32_t port, std::int16_t data) override {
        const bool ok = onWrite ? onWrite(port, data) : true;
        if (ok)
            loop_.write(port, data);
        calls.push_back({Op::Write, port, data, ok});
        return ok;
    }

    std::vector<Call> writes() const { return only(Op::Write); }
    std::vector<Call> reads() const { return only(Op::Read); }
    std::uint8_t relays(int port) const { return loop_.relays(port); }
    void clear() { calls.clear(); }

private:
    std::vector<Call> only(Op op) const {
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.op == op)
                out.push_back(c);
        return out;
    }
    LoopbackSimulator loop_;
};

inline const char* toString(ScriptedCard::Op op) {
    switch (op) {
    case ScriptedCard::Op::Select:
        return "Select";
    case ScriptedCard::Op::Active:
        return "Active";
    case ScriptedCard::Op::Read:
        return "Read";
    case ScriptedCard::Op::Write:
        return "Write";
    }
    return "?";
}

inline std::string describe(const std::vector<ScriptedCard::Call>& calls) {
    std::string s;
    for (const auto& c : calls)
        s += std::string(toString(c.op)) + "(" + std::to_string(c.port) + "," +
             std::to_string(c.data) + (c.result ? ")" : ")!") + " ";
    return s;
}

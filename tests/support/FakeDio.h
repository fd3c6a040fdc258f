#pragma once

#include <atomic>

#include "card/comedi/ComediDevice.h"

#include <cstdint>
#include <map>
#include <vector>

// A stand-in for the data-acquisition library: subdevices of chosen kinds and sizes, with
// channel levels. With loopBack, a card of a 16-output and a 16-input subdevice, wired as the
// program expects: input i follows output 15 - i. With failing, every bitfield call fails.
class FakeDio : public DioLibrary {
public:
    struct Sub {
        Kind kind;
        int channels;
    };
    std::vector<Sub> subs;
    bool opens = true;
    bool configureFails = false;
    bool failing = false;
    bool loopBack = false;
    std::vector<int>* locked = nullptr; // the subdevices reserved, in order
    int* configured = nullptr;          // counts the channels set up, past the fake's life
    bool lockFails = false;             // another program has reserved them
    // Relays set by another thread, as a card's other user would: read back in their place.
    std::atomic<int> relaysFromOutside{-1};
    std::map<std::pair<int, int>, bool> direction; // (subdevice, channel) -> output
    std::map<int, std::uint64_t> levels;           // subdevice -> channel levels
    struct Bitfield {
        int sub;
        unsigned mask, bits, base;
    };
    std::vector<Bitfield>* log = nullptr;

    static FakeDio* wired() {
        auto* dio = new FakeDio;
        dio->subs = {{Kind::DigitalOut, 16}, {Kind::DigitalIn, 16}};
        dio->loopBack = true;
        return dio;
    }

    bool open(const std::string&) override { return opens; }
    std::string boardName() const override { return "fake board"; }
    int subdevices() const override { return static_cast<int>(subs.size()); }
    Kind kind(int s) const override { return subs.at(s).kind; }
    int channels(int s) const override { return subs.at(s).channels; }
    bool configure(int s, int channel, bool output) override {
        direction[{s, channel}] = output;
        if (configured)
            ++*configured;
        return !configureFails;
    }
    bool bitfield(int s, unsigned mask, unsigned& bits, unsigned base) override {
        if (failing)
            return false;
        if (log)
            log->push_back({s, mask, bits, base});
        if (loopBack && s == 1) {
            const int outside = relaysFromOutside.load();
            const std::uint64_t relays = outside >= 0 ? std::uint64_t(outside) : levels[0];
            std::uint64_t in = 0;
            for (int i = 0; i < 16; ++i)
                in |= ((relays >> (15 - i)) & 1) << i;
            levels[1] = in;
        }
        std::uint64_t& level = levels[s];
        level = (level & ~(std::uint64_t(mask) << base)) | (std::uint64_t(bits & mask) << base);
        bits = static_cast<unsigned>(level >> base);
        return true;
    }
    std::string error() const override {
        return failing ? "the fake board is gone" : lockFails ? "Device or resource busy" : "";
    }
    bool lock(int s) override {
        if (locked && !lockFails)
            locked->push_back(s);
        return !lockFails;
    }
};

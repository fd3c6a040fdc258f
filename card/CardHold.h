#pragma once

#include <string>

// One card, one program: the program that opens a card holds it until it ends, and another
// program on the same card (any mode, any user) is refused before it writes anything, told who
// holds it. A hold is an open file description's write lock (F_OFD_SETLK) on a file named after
// the card in /run/lock (every user's, emptied at boot): the kernel lets it go when its holder
// ends, however it ends, so a crash leaves nothing to clear by hand. The holder writes who it is
// into the file, and removes the file as it lets go in order. Plain C++ and system calls only: the
// port helper holds the ISA card's ports with it.
class CardHold {
public:
    CardHold() = default;
    ~CardHold() { release(); }
    CardHold(CardHold&& other) noexcept
        : fd_(other.fd_)
        , path_(std::move(other.path_)) {
        other.fd_ = -1;
    }
    CardHold& operator=(CardHold&& other) noexcept;
    CardHold(const CardHold&) = delete;
    CardHold& operator=(const CardHold&) = delete;

    // Takes the hold of the card named key, at once or not at all; false with why, which names
    // the holder ("... looptest --headless (pid 4242, user ann) since 2026-12-10 09:14:03").
    bool take(const std::string& key, std::string& why);
    bool held() const { return fd_ >= 0; }
    void release();

    // Who holds key now, in words, or empty when nobody does. Takes nothing.
    static std::string holder(const std::string& key);

    // What the holds this program takes say of it: its name and mode ("looptest --headless"),
    // and the process a person would stop (the port helper names the program it serves).
    static void setProgram(const std::string& words, int pid = 0);

    // The folder of the holds' files: /run/lock, or /tmp where there is none (a bare chroot).
    static std::string folder();

    // The key of one I/O port of the ISA card, or of the byte at that address of a file
    // standing in for the ports (tests): the ports of two bases that overlap are one card's.
    static std::string portKey(unsigned address, const std::string& portFile = {});
    // The key of a device file, by the device it is (two names of one device are one key).
    static std::string deviceKey(const std::string& prefix, const std::string& path);

private:
    int fd_ = -1;
    std::string path_;
};

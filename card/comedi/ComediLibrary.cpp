// The comedilib adapter: each member is one library call. Built only with the library (see the
// folder's backend.cmake); without it the backend offers no device.
#include "card/comedi/ComediDevice.h"

#include <comedilib.h>

namespace {

class ComediLibrary : public DioLibrary {
public:
    ComediLibrary() { comedi_loglevel(0); }
    ~ComediLibrary() override {
        if (dev_)
            comedi_close(dev_);
    }
    ComediLibrary(const ComediLibrary&) = delete;
    ComediLibrary& operator=(const ComediLibrary&) = delete;

    bool open(const std::string& path) override {
        dev_ = comedi_open(path.c_str());
        return dev_ != nullptr;
    }
    std::string boardName() const override {
        const char* name = dev_ ? comedi_get_board_name(dev_) : nullptr;
        return name ? name : "unknown board";
    }
    int subdevices() const override { return dev_ ? comedi_get_n_subdevices(dev_) : 0; }
    Kind kind(int s) const override {
        switch (comedi_get_subdevice_type(dev_, static_cast<unsigned>(s))) {
        case COMEDI_SUBD_DI:
            return Kind::DigitalIn;
        case COMEDI_SUBD_DO:
            return Kind::DigitalOut;
        case COMEDI_SUBD_DIO:
            return Kind::DigitalInOut;
        default:
            return Kind::Other;
        }
    }
    int channels(int s) const override {
        return comedi_get_n_channels(dev_, static_cast<unsigned>(s));
    }
    bool configure(int s, int channel, bool output) override {
        return comedi_dio_config(dev_, static_cast<unsigned>(s), static_cast<unsigned>(channel),
                                 output ? COMEDI_OUTPUT : COMEDI_INPUT) >= 0;
    }
    bool bitfield(int s, unsigned mask, unsigned& bits, unsigned baseChannel) override {
        return comedi_dio_bitfield2(dev_, static_cast<unsigned>(s), mask, &bits, baseChannel) >= 0;
    }
    std::string error() const override { return comedi_strerror(comedi_errno()); }
    bool lock(int s) override { return comedi_lock(dev_, static_cast<unsigned>(s)) >= 0; }

private:
    comedi_t* dev_ = nullptr;
};

} // namespace

std::unique_ptr<DioLibrary> makeComediLibrary() {
    return std::make_unique<ComediLibrary>();
}

#include "comedi/comedilib_api.h"

#include <comedilib.h>

#include <cerrno>
#include <cstdlib>

namespace velmora {

namespace {

// The error of the comedilib call that just failed. comedilib keeps its own number, but some
// of its paths only leave errno behind.
int lastError()
{
    const int saved = errno;
    if (const int error = comedi_errno(); error != 0)
        return error;
    return saved != 0 ? saved : EIO;
}

class SystemComediDevice final : public ComediDevice {
public:
    explicit SystemComediDevice(comedi_t *device)
        : m_device(device)
    {}
    ~SystemComediDevice() override { comedi_close(m_device); }

    unsigned subdeviceCount() const override
    {
        const int n = comedi_get_n_subdevices(m_device);
        return n > 0 ? static_cast<unsigned>(n) : 0;
    }

    ComediSubdeviceType subdeviceType(unsigned subdevice) const override
    {
        switch (comedi_get_subdevice_type(m_device, subdevice)) {
        case COMEDI_SUBD_UNUSED:
            return ComediSubdeviceType::Unused;
        case COMEDI_SUBD_DI:
            return ComediSubdeviceType::DigitalInput;
        case COMEDI_SUBD_DIO:
            return ComediSubdeviceType::DigitalIO;
        default:
            return ComediSubdeviceType::Other;
        }
    }

    unsigned channelCount(unsigned subdevice) const override
    {
        const int n = comedi_get_n_channels(m_device, subdevice);
        return n > 0 ? static_cast<unsigned>(n) : 0;
    }

    std::string boardName() const override { return text(comedi_get_board_name(m_device)); }
    std::string driverName() const override { return text(comedi_get_driver_name(m_device)); }

    bool heldElsewhere(unsigned subdevice) const override
    {
        // comedilib answers from what it learned when the device was opened.
        const int flags = comedi_get_subdevice_flags(m_device, subdevice);
        if (flags < 0)
            return false;
        const bool held = (flags & (SDF_LOCKED | SDF_BUSY)) != 0;
        const bool ours = (flags & (SDF_LOCK_OWNER | SDF_BUSY_OWNER)) != 0;
        return held && !ours;
    }

    int dioConfig(unsigned subdevice, unsigned channel, bool output) override
    {
        const unsigned direction = output ? COMEDI_OUTPUT : COMEDI_INPUT;
        return comedi_dio_config(m_device, subdevice, channel, direction) < 0 ? lastError() : 0;
    }

    int dioBitfield(unsigned subdevice, unsigned baseChannel, std::uint32_t &bits) override
    {
        unsigned int value = 0;
        if (comedi_dio_bitfield2(m_device, subdevice, 0, &value, baseChannel) < 0)
            return lastError();
        bits = value;
        return 0;
    }

private:
    static std::string text(const char *s) { return s != nullptr ? s : std::string(); }

    comedi_t *m_device;
};

class SystemComediApi final : public ComediApi {
public:
    SystemComediApi()
    {
        // A scan opens every node there is, and some fail as a matter of course; the failures
        // are reported in the device list, not on the terminal. Someone who set
        // COMEDI_LOGLEVEL wants comedilib's own messages, so leave theirs alone.
        if (std::getenv("COMEDI_LOGLEVEL") == nullptr)
            comedi_loglevel(0);
    }

    std::unique_ptr<ComediDevice> open(const std::string &path, int &error) override
    {
        errno = 0;
        comedi_t *device = comedi_open(path.c_str());
        if (device == nullptr) {
            error = lastError();
            return nullptr;
        }
        error = 0;
        return std::make_unique<SystemComediDevice>(device);
    }

    std::string errorText(int error) override
    {
        const char *s = comedi_strerror(error);
        return s != nullptr ? s : "comedi error " + std::to_string(error);
    }
};

} // namespace

ComediApi &systemComediApi()
{
    static SystemComediApi api;
    return api;
}

} // namespace velmora

#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

// The subdevice types a card can be made of; every other comedi type is Other.
enum class ComediSubdeviceType { Unused, DigitalInput, DigitalIO, Other };

// One open comedi device node. Errors come back as the comedi error number (an errno value, or
// one of comedilib's own), never as exceptions. The destructor closes the device.
class ComediDevice {
public:
    virtual ~ComediDevice() = default;

    virtual unsigned subdeviceCount() const = 0;
    virtual ComediSubdeviceType subdeviceType(unsigned subdevice) const = 0;
    virtual unsigned channelCount(unsigned subdevice) const = 0; // 0 where it cannot be asked
    virtual std::string boardName() const = 0;
    virtual std::string driverName() const = 0;
    // True when another open file holds the subdevice, with comedi_lock or a running command,
    // as it was when this device was opened. The kernel still opens the node for anyone; it
    // refuses the instructions instead (EACCES for a lock, EBUSY for a command).
    virtual bool heldElsewhere(unsigned subdevice) const = 0;

    // Both return 0 on success, else the comedi error number.
    virtual int dioConfig(unsigned subdevice, unsigned channel, bool output) = 0;
    // Reads (never writes) up to 32 lines from `baseChannel` on; channel baseChannel + i lands
    // in bit i of `bits`.
    virtual int dioBitfield(unsigned subdevice, unsigned baseChannel, std::uint32_t &bits) = 0;

protected:
    ComediDevice() = default;
    ComediDevice(const ComediDevice &) = delete;
    ComediDevice &operator=(const ComediDevice &) = delete;
};

// The few entry points of comedilib the comedi cards need, so they can be tested without one.
class ComediApi {
public:
    virtual ~ComediApi() = default;

    // Null on failure, with `error` set to the comedi error number.
    virtual std::unique_ptr<ComediDevice> open(const std::string &path, int &error) = 0;
    virtual std::string errorText(int error) = 0;

protected:
    ComediApi() = default;
    ComediApi(const ComediApi &) = delete;
    ComediApi &operator=(const ComediApi &) = delete;
};

// The real comedilib; lives as long as the program.
ComediApi &systemComediApi();

} // namespace velmora

#pragma once

#include <memory>
#include <span>
#include <string>

namespace velmora {

// One open GPIO chip character device, with at most one request of input lines at a time.
// Calls that fail return the errno value; nothing throws. The destructor releases the request
// and closes the chip.
class GpioChip {
public:
    virtual ~GpioChip() = default;

    virtual std::string name() const = 0;  // "gpiochip0"
    virtual std::string label() const = 0; // what the driver calls the chip
    virtual unsigned lineCount() const = 0;

    // Empty where the line has no name, or no such line exists.
    virtual std::string lineName(unsigned offset) = 0;
    // Who holds the line now, read afresh from the kernel; empty while it is free.
    virtual std::string lineConsumer(unsigned offset) = 0;

    // Takes the lines as inputs, in this order, until release(); 0 or errno.
    virtual int requestInputs(std::span<const unsigned> offsets, const char *consumer) = 0;
    // One read of every requested line, in request order; `values` holds one per line.
    virtual int readValues(std::span<int> values) = 0;
    // Gives the requested lines back; does nothing when none are held.
    virtual void release() noexcept = 0;

protected:
    GpioChip() = default;
    GpioChip(const GpioChip &) = delete;
    GpioChip &operator=(const GpioChip &) = delete;
};

// Where chips come from; the system one talks to the kernel through libgpiod.
class GpioApi {
public:
    virtual ~GpioApi() = default;

    // Null on failure, with `error` set to the errno value.
    virtual std::unique_ptr<GpioChip> open(const std::string &path, int &error) = 0;

protected:
    GpioApi() = default;
    GpioApi(const GpioApi &) = delete;
    GpioApi &operator=(const GpioApi &) = delete;
};

GpioApi &systemGpioApi();

} // namespace velmora
